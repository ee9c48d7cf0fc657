// The process-wide event log: the newest lines of the run in memory, each new line
// posted to the log pane, appended to the log file when the user asked for
// one, and copied to the debugger output (standard error here).
//
// Log file: UTF-16LE, no byte-order mark, each line ending in CR LF. It is
// opened (truncated when "Clear log file on startup" is on) when the log is
// created. When it reaches "Maximum log file size" it is renamed to
// "<name>.1" (replacing an older one) and a fresh file is begun, so the disk
// holds at most twice the limit and always the newest lines.
//
// Lines come from every thread: one lock keeps each line whole and in one
// order in the memory list, the file, the notifications and standard error.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_settings.h"
#include "platform/files.h"
#include "platform/notify.h"
#include "platform/time.h"

namespace tl {

enum LogLevel : int {
    kLogDebug = 1,
    kLogError = 2,
    kLogInfo = 4,
    kLogCritical = 8,
    kLogWarning = 10,
};

class CEventLog {
public:
    using WindowSource = std::function<platform::WindowId()>;
    using DebugOutput = std::function<void(std::string_view)>;

    // Choices of the front end that hold for one run and are not settings.
    struct Options {
        // A log file chosen on the command line: replaces the one of the
        // settings for this run (the settings stay as they are).
        std::optional<std::filesystem::path> fileOverride;
        // Where debugger output goes; unset: standard error; empty: nowhere.
        std::optional<DebugOutput> debugOutput;
    };

    // `logWindow` names the current log pane (0: none); the settings give the
    // file options each time they are needed.
    CEventLog(AppSettings& settings, WindowSource logWindow, Options options = {});
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    void LogDebug(std::string_view message) { Write(kLogDebug, message); }
    void LogError(std::string_view message) { Write(kLogError, message); }
    void LogInfo(std::string_view message) { Write(kLogInfo, message); }
    void LogWarning(std::string_view message) { Write(kLogWarning, message); }
    // Formats and distributes one line; never fails towards its caller.
    void Write(int level, std::string_view message);

    // Opens the log file when "Save log in file" is on; true when a file is open.
    bool OpenFile();
    // Writes the lines held in memory into "Recovery log file.txt" in the
    // temporary folder and opens it with its application. `failureText` is the
    // already translated "Can't create temporary file" line.
    bool ShowAsText(std::string_view failureText);

    // The lines held in memory: the newest kMemoryLines of the run, so that a
    // scan logging every file it finds does not grow the memory without end.
    // The log file keeps them all, and every line is posted as a notification.
    static constexpr std::size_t kMemoryLines = 10000;
    std::vector<std::string> Lines() const;
    // Every line logged in the run, those no longer held included.
    std::size_t LineCount() const;

    // Where debugger output goes; empty for nowhere.
    void SetDebugOutput(DebugOutput output);
    // Where ShowAsText writes and how it opens the file (tests replace them).
    void SetTextCopyFolder(std::filesystem::path folder);
    void SetOpener(std::function<bool(const std::filesystem::path&)> opener);

    // The text of a line as the log writes it, without the line end.
    static std::string FormatLine(int level, std::string_view message, const std::optional<std::string>& timestamp);

private:
    bool OpenFileLocked();
    std::filesystem::path LogFilePathLocked() const;
    void RotateIfFullLocked(std::size_t nextBytes);

    AppSettings& settings_;
    WindowSource logWindow_;
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
    std::size_t dropped_ = 0;
    platform::FileTime lastTime_ = 0;
    platform::AppendFile file_;
    std::filesystem::path openPath_;
    std::optional<std::filesystem::path> fileOverride_;
    DebugOutput debugOutput_;
    std::filesystem::path textCopyFolder_;
    std::function<bool(const std::filesystem::path&)> opener_;
};

}  // namespace tl
