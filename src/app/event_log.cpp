#include "app/event_log.h"

#include <cstdio>
#include <system_error>

#include "app/app_messages.h"
#include "app/text_format.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr std::string_view kCrLfUtf16 = std::string_view("\r\0\n\0", 4);

void WriteToStandardError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

CEventLog::CEventLog(AppSettings& settings, WindowSource logWindow, Options options)
    : settings_(settings),
      logWindow_(std::move(logWindow)),
      fileOverride_(std::move(options.fileOverride)),
      debugOutput_(options.debugOutput ? std::move(*options.debugOutput) : DebugOutput(WriteToStandardError)),
      textCopyFolder_(platform::SystemTempFolder()),
      opener_(platform::OpenWithApplication) {
    std::lock_guard lock(mutex_);
    OpenFileLocked();
}

CEventLog::~CEventLog() = default;

std::string CEventLog::FormatLine(int level, std::string_view message, const std::optional<std::string>& timestamp) {
    std::string_view tag;
    switch (level) {
    case kLogDebug: tag = "DBG: "; break;
    case kLogError: tag = "ERR: "; break;
    case kLogCritical: tag = "CRITICALERR: "; break;
    default: break;
    }
    std::string line;
    line.reserve((timestamp ? timestamp->size() + 3 : 0) + tag.size() + message.size());
    if (timestamp) {
        line += *timestamp;
        line += " - ";
    }
    line += tag;
    line += message;
    return line;
}

std::filesystem::path CEventLog::LogFilePathLocked() const {
    if (fileOverride_) return *fileOverride_;
    return settings_.LogFileName();
}

bool CEventLog::OpenFileLocked() {
    if (file_.IsOpen()) return true;
    if (!fileOverride_ && !settings_.LogToFile()) return false;
    const std::filesystem::path path = LogFilePathLocked();
    if (path.empty()) return false;
    const auto disposition = settings_.ClearLogOnStart() ? platform::AppendFile::Disposition::CreateAlways
                                                         : platform::AppendFile::Disposition::OpenAlways;
    if (!file_.Open(path, disposition)) return false;
    openPath_ = path;
    return true;
}

bool CEventLog::OpenFile() {
    std::lock_guard lock(mutex_);
    return OpenFileLocked();
}

void CEventLog::RotateIfFullLocked(std::size_t nextBytes) {
    const std::uint64_t limit = static_cast<std::uint64_t>(settings_.MaxLogSizeKB()) * 1024;
    if (limit == 0 || file_.Size() + nextBytes <= limit || file_.Size() == 0) return;
    file_.Close();
    std::error_code ec;
    std::filesystem::path old = openPath_;
    old += ".1";
    std::filesystem::rename(openPath_, old, ec);
    // A file that could not be renamed is begun again rather than grown past the limit.
    file_.Open(openPath_, platform::AppendFile::Disposition::CreateAlways);
}

void CEventLog::Write(int level, std::string_view message) {
    try {
        std::lock_guard lock(mutex_);
        std::optional<std::string> timestamp;
        if (settings_.LogTimestamps()) {
            lastTime_ = platform::Now();
            timestamp = platform::FormatLocalShortDate(lastTime_) + " " + platform::FormatLocalTime(lastTime_);
        }
        // Names from a disk reach lines raw: escape sequences in them would
        // drive the terminal that shows the log.
        std::string line = FormatLine(level, EscapeControls(message), timestamp);
        lines_.push_back(line);
        if (lines_.size() > kMemoryLines) {
            lines_.pop_front();
            ++dropped_;
        }

        if (!file_.IsOpen() && !OpenFileLocked()) {
            // A file that cannot be opened switches "Save log in file" off;
            // the settings carry that to the next start.
            if (settings_.LogToFile() && !fileOverride_) settings_.SetLogToFile(false);
            fileOverride_.reset();
        } else {
            std::string bytes = platform::Utf8ToUtf16LeBytes(line);
            bytes.append(kCrLfUtf16);
            RotateIfFullLocked(bytes.size());
            file_.Append(bytes);  // a failed write is ignored
        }

        if (const platform::WindowId window = logWindow_ ? logWindow_() : 0; window != 0)
            platform::PostAppMessage(window, msg::kLogLine, 0, 0, line);

        if (debugOutput_ && settings_.LogToDebugger()) {
            line += "\r\n";
            debugOutput_(line);
        }
    } catch (...) {
        // Nothing can report it: this is the log, and a line it cannot
        // write must not fail the code that logs.
    }
}

bool CEventLog::ShowAsText(std::string_view failureText) {
    std::vector<std::string> lines;
    std::filesystem::path folder;
    std::function<bool(const std::filesystem::path&)> opener;
    {
        std::lock_guard lock(mutex_);
        lines.assign(lines_.begin(), lines_.end());
        folder = textCopyFolder_;
        opener = opener_;
    }
    const std::filesystem::path path = folder / "Recovery log file.txt";
    platform::AppendFile file;
    if (!file.Open(path, platform::AppendFile::Disposition::CreateAlways)) {
        LogError(failureText);
        return false;
    }
    std::string bytes;
    for (const auto& line : lines) {
        bytes += platform::Utf8ToUtf16LeBytes(line);
        bytes.append(kCrLfUtf16);
    }
    file.Append(bytes);
    file.Close();
    if (opener) opener(path);
    return true;
}

std::vector<std::string> CEventLog::Lines() const {
    std::lock_guard lock(mutex_);
    return std::vector<std::string>(lines_.begin(), lines_.end());
}

std::size_t CEventLog::LineCount() const {
    std::lock_guard lock(mutex_);
    return dropped_ + lines_.size();
}

void CEventLog::SetDebugOutput(DebugOutput output) {
    std::lock_guard lock(mutex_);
    debugOutput_ = std::move(output);
}

void CEventLog::SetTextCopyFolder(std::filesystem::path folder) {
    std::lock_guard lock(mutex_);
    textCopyFolder_ = std::move(folder);
}

void CEventLog::SetOpener(std::function<bool(const std::filesystem::path&)> opener) {
    std::lock_guard lock(mutex_);
    opener_ = std::move(opener);
}

}  // namespace tl
