// The one settings record of the program: a flat binary record of 95612
// bytes, stored byte for byte as one binary value of the settings store.
// All integers are little-endian 32-bit words; text fields are NUL-terminated
// UTF-16LE in fixed arrays; the first word is the wrapping sum of all others.
// Bytes that no field names keep whatever they were loaded with.
//
// Worker threads read single fields while the main thread edits them: every
// word is read and written atomically, and text fields take the record's lock.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/settings_store.h"
#include "platform/time.h"

namespace tl {

static_assert(std::endian::native == std::endian::little, "the settings record is stored little-endian");

// Values of the defaults that depend on the machine and the moment.
struct SettingsDefaults {
    std::string destinationFolder;  // "$HOME/Recovered Files"
    std::string tempFolder;         // the system temporary folder
    platform::FileTime now = 0;     // for the next update check
    std::int32_t workAreaRight = 1920;
    std::int32_t workAreaBottom = 1080;

    static SettingsDefaults ForThisMachine();
};

struct WindowRect {
    std::int32_t left = 0, top = 0, width = 0, height = 0;
    bool operator==(const WindowRect&) const = default;
};

class AppSettings {
public:
    static constexpr std::size_t kSize = 95612;
    static constexpr std::size_t kWords = kSize / 4;
    static_assert(kSize % 4 == 0);

    enum class FieldKind { U32, I32, FileTime, Rect, Text };
    struct FieldInfo {
        std::string_view name;
        std::uint32_t offset;
        FieldKind kind;
        std::uint32_t textUnits = 0;  // capacity of a text field in UTF-16 units, terminator included
        std::int64_t min = 0, max = 0;  // accepted range of integers (min == max: the type's own range)
        bool readOnly = false;
    };

    // Offsets of the named fields.
    enum Offset : std::uint32_t {
        kChecksum = 0x0000,
        kStartupRescan = 0x0024,
        kLanguageIndex = 0x002C,
        kShowButtons = 0x0038,
        kShowLog = 0x003C,
        kShowStatusBar = 0x0040,
        kShowToolbar = 0x0044,
        kShowSplash = 0x0048,
        kConfirmExit = 0x004C,
        kConfirmScanAbort = 0x0050,
        kConfirmRecoveryAbort = 0x0054,
        kConfirmOverwrite = 0x0058,
        kNoTryOpenWarning = 0x005C,
        kCustomTempFolder = 0x0060,
        kLogToFile = 0x0064,
        kLogToDebugger = 0x0068,
        kClearLogOnStart = 0x006C,
        kLogTimestamps = 0x0070,
        kMaxLogSizeKB = 0x0074,
        kUpdateCheckDays = 0x0078,
        kNextUpdateCheck = 0x007C,
        kAutoPilot = 0x0084,
        kKeepFolderStructure = 0x0088,
        kForceProcessExit = 0x008C,
        kShowFileNames = 0x0090,
        kSectorsAfterFileSystem = 0x0094,
        kContinueQueuedVolumes = 0x0098,
        kScanEntireDrive = 0x009C,
        kRetryCount = 0x00A8,
        kRetryPauseMs = 0x00AC,
        kWindowRect = 0x0560,
        kDestinationFolder = 0x0570,
        kTempFolder = 0x2570,
        kLogFileName = 0x4570,
        kReservedText = 0x4D70,
    };
    static constexpr std::uint32_t kFolderUnits = 4096;
    static constexpr std::uint32_t kLogFileNameUnits = 1024;

    // Every named field, in offset order.
    static std::span<const FieldInfo> Fields();
    static const FieldInfo* FindField(std::string_view name);  // ASCII case ignored

    AppSettings();  // every byte zero
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    // The defaults of every field, every other byte zero, and the checksum of
    // the result.
    void Reset(const SettingsDefaults& defaults);

    // Reads the record from the store; false (and the record unchanged) when
    // the value is missing, not binary, of another size, or fails its checksum.
    bool Load(const platform::SettingsStore& store, std::string_view key, std::string_view valueName);
    bool Save(platform::SettingsStore& store, std::string_view key, std::string_view valueName) const;

    // The whole record as stored, and a record replaced by stored bytes.
    std::string Bytes() const;
    bool AssignBytes(std::string_view bytes);  // false when the size is not kSize

    // The wrapping sum of the 23902 words after the first.
    std::uint32_t ComputeChecksum() const;

    std::uint32_t GetU32(std::uint32_t offset) const;
    void SetU32(std::uint32_t offset, std::uint32_t value);
    std::int32_t GetI32(std::uint32_t offset) const { return static_cast<std::int32_t>(GetU32(offset)); }
    void SetI32(std::uint32_t offset, std::int32_t value) { SetU32(offset, static_cast<std::uint32_t>(value)); }
    platform::FileTime GetFileTime(std::uint32_t offset) const;
    void SetFileTime(std::uint32_t offset, platform::FileTime value);
    // UTF-8 view of a text field of `units` UTF-16 units.
    std::string GetText(std::uint32_t offset, std::uint32_t units) const;
    // Stores `utf8`, cut to units - 1 UTF-16 units, NUL-filled to the end.
    void SetText(std::uint32_t offset, std::uint32_t units, std::string_view utf8);

    // A named field as text ("1", "-1", "C:\...", "left,top,width,height").
    std::string FieldText(const FieldInfo& field) const;
    // Parses and stores a named field; on failure returns the reason and
    // changes nothing.
    std::optional<std::string> SetFieldFromText(const FieldInfo& field, std::string_view value);

    // Named accessors of the fields other parts read.
    std::uint32_t Checksum() const { return GetU32(kChecksum); }
    std::uint32_t StartupRescan() const { return GetU32(kStartupRescan); }
    std::int32_t LanguageIndex() const { return GetI32(kLanguageIndex); }
    void SetLanguageIndex(std::int32_t v) { SetI32(kLanguageIndex, v); }
    bool ShowSplash() const { return GetU32(kShowSplash) != 0; }
    bool ConfirmExit() const { return GetU32(kConfirmExit) != 0; }
    bool ConfirmScanAbort() const { return GetU32(kConfirmScanAbort) != 0; }
    bool ConfirmRecoveryAbort() const { return GetU32(kConfirmRecoveryAbort) != 0; }
    bool NoTryOpenWarning() const { return GetU32(kNoTryOpenWarning) != 0; }
    bool CustomTempFolder() const { return GetU32(kCustomTempFolder) != 0; }
    bool LogToFile() const { return GetU32(kLogToFile) != 0; }
    void SetLogToFile(bool on) { SetU32(kLogToFile, on ? 1 : 0); }
    bool LogToDebugger() const { return GetU32(kLogToDebugger) != 0; }
    bool ClearLogOnStart() const { return GetU32(kClearLogOnStart) != 0; }
    bool LogTimestamps() const { return GetU32(kLogTimestamps) != 0; }
    void SetLogTimestamps(bool on) { SetU32(kLogTimestamps, on ? 1 : 0); }
    std::uint32_t MaxLogSizeKB() const { return GetU32(kMaxLogSizeKB); }
    bool AutoPilot() const { return GetU32(kAutoPilot) != 0; }
    bool KeepFolderStructure() const { return GetU32(kKeepFolderStructure) != 0; }
    bool ForceProcessExit() const { return GetU32(kForceProcessExit) != 0; }
    bool ShowFileNames() const { return GetU32(kShowFileNames) != 0; }
    bool SectorsAfterFileSystem() const { return GetU32(kSectorsAfterFileSystem) != 0; }
    bool ContinueQueuedVolumes() const { return GetU32(kContinueQueuedVolumes) != 0; }
    bool ScanEntireDrive() const { return GetU32(kScanEntireDrive) != 0; }
    std::uint32_t RetryCount() const { return GetU32(kRetryCount); }
    std::uint32_t RetryPauseMs() const { return GetU32(kRetryPauseMs); }
    WindowRect GetWindowRect() const;
    void SetWindowRect(const WindowRect& r);
    std::string DestinationFolder() const { return GetText(kDestinationFolder, kFolderUnits); }
    void SetDestinationFolder(std::string_view v) { SetText(kDestinationFolder, kFolderUnits, v); }
    std::string TempFolder() const { return GetText(kTempFolder, kFolderUnits); }
    void SetTempFolder(std::string_view v) { SetText(kTempFolder, kFolderUnits, v); }
    std::string LogFileName() const { return GetText(kLogFileName, kLogFileNameUnits); }
    void SetLogFileName(std::string_view v) { SetText(kLogFileName, kLogFileNameUnits, v); }

private:
    std::atomic_ref<std::uint32_t> Word(std::uint32_t offset) const;

    mutable std::mutex textMutex_;  // keeps a text field whole between its words
    alignas(8) mutable std::array<std::uint32_t, kWords> words_{};
};

}  // namespace tl
