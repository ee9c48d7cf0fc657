#include "app/app_settings.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "platform/files.h"
#include "platform/text.h"

namespace tl {
namespace {

using K = AppSettings::FieldKind;
using O = AppSettings::Offset;

constexpr std::int64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();

constexpr AppSettings::FieldInfo Flag(std::string_view name, std::uint32_t offset) {
    return {name, offset, K::U32, 0, 0, 1};
}
constexpr AppSettings::FieldInfo U32(std::string_view name, std::uint32_t offset, std::int64_t min = 0,
                                     std::int64_t max = kU32Max) {
    return {name, offset, K::U32, 0, min, max};
}

constexpr AppSettings::FieldInfo kFields[] = {
    {"Checksum", O::kChecksum, K::U32, 0, 0, kU32Max, true},
    Flag("StartupRescan", O::kStartupRescan),
    {"LanguageIndex", O::kLanguageIndex, K::I32, 0, -1, kI32Max},
    Flag("ShowButtons", O::kShowButtons),
    Flag("ShowLog", O::kShowLog),
    Flag("ShowStatusBar", O::kShowStatusBar),
    Flag("ShowToolbar", O::kShowToolbar),
    Flag("ShowSplash", O::kShowSplash),
    Flag("ConfirmExit", O::kConfirmExit),
    Flag("ConfirmScanAbort", O::kConfirmScanAbort),
    Flag("ConfirmRecoveryAbort", O::kConfirmRecoveryAbort),
    Flag("ConfirmOverwrite", O::kConfirmOverwrite),
    Flag("NoTryOpenWarning", O::kNoTryOpenWarning),
    Flag("CustomTempFolder", O::kCustomTempFolder),
    Flag("LogToFile", O::kLogToFile),
    Flag("LogToDebugger", O::kLogToDebugger),
    Flag("ClearLogOnStart", O::kClearLogOnStart),
    Flag("LogTimestamps", O::kLogTimestamps),
    U32("MaxLogSizeKB", O::kMaxLogSizeKB, 1, 102400),
    {"UpdateCheckDays", O::kUpdateCheckDays, K::I32, 0, -1, kI32Max},
    {"NextUpdateCheck", O::kNextUpdateCheck, K::FileTime, 0, 0, 0},
    Flag("AutoPilot", O::kAutoPilot),
    Flag("KeepFolderStructure", O::kKeepFolderStructure),
    Flag("ForceProcessExit", O::kForceProcessExit),
    Flag("ShowFileNames", O::kShowFileNames),
    Flag("SectorsAfterFileSystem", O::kSectorsAfterFileSystem),
    Flag("ContinueQueuedVolumes", O::kContinueQueuedVolumes),
    Flag("ScanEntireDrive", O::kScanEntireDrive),
    U32("RetryCount", O::kRetryCount, 0, 1000000),
    U32("RetryPauseMs", O::kRetryPauseMs, 0, 1000000),
    {"WindowRect", O::kWindowRect, K::Rect, 0, kI32Min, kI32Max},
    {"DestinationFolder", O::kDestinationFolder, K::Text, AppSettings::kFolderUnits},
    {"TempFolder", O::kTempFolder, K::Text, AppSettings::kFolderUnits},
    {"LogFileName", O::kLogFileName, K::Text, AppSettings::kLogFileNameUnits},
};

constexpr std::string_view kProductName = "Documents Tessa-Loft";

template <class T>
std::optional<T> ParseInteger(std::string_view text) {
    T value{};
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

SettingsDefaults SettingsDefaults::ForThisMachine() {
    SettingsDefaults d;
    d.destinationFolder = (platform::HomeFolder() / "Recovered Files").string();
    d.tempFolder = platform::SystemTempFolder().string();
    d.now = platform::Now();
    return d;
}

std::span<const AppSettings::FieldInfo> AppSettings::Fields() { return kFields; }

const AppSettings::FieldInfo* AppSettings::FindField(std::string_view name) {
    for (const auto& f : kFields)
        if (platform::EqualsIgnoreAsciiCase(f.name, name)) return &f;
    return nullptr;
}

AppSettings::AppSettings() = default;

std::atomic_ref<std::uint32_t> AppSettings::Word(std::uint32_t offset) const {
    return std::atomic_ref<std::uint32_t>(words_[offset / 4]);
}

std::uint32_t AppSettings::GetU32(std::uint32_t offset) const { return Word(offset).load(std::memory_order_relaxed); }

void AppSettings::SetU32(std::uint32_t offset, std::uint32_t value) {
    Word(offset).store(value, std::memory_order_relaxed);
}

platform::FileTime AppSettings::GetFileTime(std::uint32_t offset) const {
    std::lock_guard lock(textMutex_);
    return GetU32(offset) | (static_cast<platform::FileTime>(GetU32(offset + 4)) << 32);
}

void AppSettings::SetFileTime(std::uint32_t offset, platform::FileTime value) {
    std::lock_guard lock(textMutex_);
    SetU32(offset, static_cast<std::uint32_t>(value));
    SetU32(offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::string AppSettings::GetText(std::uint32_t offset, std::uint32_t units) const {
    std::lock_guard lock(textMutex_);
    std::u16string text;
    for (std::uint32_t i = 0; i < units; i += 2) {
        const std::uint32_t w = GetU32(offset + i * 2);
        const auto lo = static_cast<char16_t>(w & 0xFFFF);
        const auto hi = static_cast<char16_t>(w >> 16);
        if (lo == 0) break;
        text += lo;
        if (i + 1 >= units || hi == 0) break;
        text += hi;
    }
    return platform::Utf16ToUtf8(text);
}

void AppSettings::SetText(std::uint32_t offset, std::uint32_t units, std::string_view utf8) {
    std::u16string text = platform::Utf8ToUtf16(utf8);
    if (text.size() > units - 1) {
        text.resize(units - 1);
        // Do not leave the first half of a surrogate pair at the cut.
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    text.resize(units, u'\0');
    std::lock_guard lock(textMutex_);
    for (std::uint32_t i = 0; i < units; i += 2)
        SetU32(offset + i * 2, static_cast<std::uint32_t>(text[i]) | (static_cast<std::uint32_t>(text[i + 1]) << 16));
}

WindowRect AppSettings::GetWindowRect() const {
    return {GetI32(kWindowRect), GetI32(kWindowRect + 4), GetI32(kWindowRect + 8), GetI32(kWindowRect + 12)};
}

void AppSettings::SetWindowRect(const WindowRect& r) {
    SetI32(kWindowRect, r.left);
    SetI32(kWindowRect + 4, r.top);
    SetI32(kWindowRect + 8, r.width);
    SetI32(kWindowRect + 12, r.height);
}

std::uint32_t AppSettings::ComputeChecksum() const {
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < kWords; ++i)
        sum += std::atomic_ref<std::uint32_t>(words_[i]).load(std::memory_order_relaxed);
    return sum;
}

std::string AppSettings::Bytes() const {
    std::array<std::uint32_t, kWords> copy;
    for (std::size_t i = 0; i < kWords; ++i)
        copy[i] = std::atomic_ref<std::uint32_t>(words_[i]).load(std::memory_order_relaxed);
    return std::string(reinterpret_cast<const char*>(copy.data()), kSize);
}

bool AppSettings::AssignBytes(std::string_view bytes) {
    if (bytes.size() != kSize) return false;
    std::lock_guard lock(textMutex_);
    for (std::size_t i = 0; i < kWords; ++i) {
        std::uint32_t w;
        std::memcpy(&w, bytes.data() + i * 4, 4);
        std::atomic_ref<std::uint32_t>(words_[i]).store(w, std::memory_order_relaxed);
    }
    return true;
}

void AppSettings::Reset(const SettingsDefaults& d) {
    AssignBytes(std::string(kSize, '\0'));
    SetU32(kStartupRescan, 1);
    SetI32(kLanguageIndex, -1);
    SetU32(0x0034, 1);
    SetU32(kShowButtons, 1);
    SetU32(kShowLog, 1);
    SetU32(kShowStatusBar, 1);
    SetU32(kShowToolbar, 1);
    SetU32(kShowSplash, 1);
    SetU32(kConfirmExit, 1);
    SetU32(kConfirmScanAbort, 1);
    SetU32(kConfirmRecoveryAbort, 1);
    SetU32(kConfirmOverwrite, 1);
    SetU32(kLogToDebugger, 1);
    SetU32(kClearLogOnStart, 1);
    SetU32(kMaxLogSizeKB, 10240);
    constexpr std::int32_t kUpdateDays = 30;
    SetI32(kUpdateCheckDays, kUpdateDays);
    SetFileTime(kNextUpdateCheck,
                d.now + static_cast<platform::FileTime>(kUpdateDays) * 24 * 60 * 60 * platform::kFileTimeTicksPerSecond);
    SetU32(kContinueQueuedVolumes, 1);
    SetU32(kScanEntireDrive, 1);
    SetU32(0x00A4, 1);
    SetU32(kRetryCount, 3);
    SetU32(kRetryPauseMs, 0);
    SetU32(0x00B0, 10485760);
    SetU32(0x00B4, 1);
    SetWindowRect({d.workAreaRight / 2 - 400, d.workAreaBottom / 2 - 300, 800, 600});
    SetDestinationFolder(d.destinationFolder);
    SetTempFolder(d.tempFolder);
    SetLogFileName(std::string(kProductName) + ".log");
    SetText(kReservedText, 16, "*");
    SetU32(kChecksum, ComputeChecksum());
}

bool AppSettings::Load(const platform::SettingsStore& store, std::string_view key, std::string_view valueName) {
    const auto value = store.GetValue(key, valueName);
    if (!value || value->type != platform::ValueType::Binary || value->data.size() != kSize) return false;
    std::uint32_t stored;
    std::memcpy(&stored, value->data.data(), 4);
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < kWords; ++i) {
        std::uint32_t w;
        std::memcpy(&w, value->data.data() + i * 4, 4);
        sum += w;
    }
    if (sum != stored) return false;
    return AssignBytes(value->data);
}

bool AppSettings::Save(platform::SettingsStore& store, std::string_view key, std::string_view valueName) const {
    return store.SetValue(key, valueName, platform::ValueType::Binary, Bytes());
}

std::string AppSettings::FieldText(const FieldInfo& field) const {
    switch (field.kind) {
    case FieldKind::U32: return std::to_string(GetU32(field.offset));
    case FieldKind::I32: return std::to_string(GetI32(field.offset));
    case FieldKind::FileTime: return std::to_string(GetFileTime(field.offset));
    case FieldKind::Rect: {
        const WindowRect r = GetWindowRect();
        return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.width) + "," +
               std::to_string(r.height);
    }
    case FieldKind::Text: return GetText(field.offset, field.textUnits);
    }
    return {};
}

std::optional<std::string> AppSettings::SetFieldFromText(const FieldInfo& field, std::string_view value) {
    if (field.readOnly) return std::string(field.name) + " is computed and cannot be set";
    const auto outOfRange = [&] {
        return std::string(field.name) + " takes a whole number from " + std::to_string(field.min) + " to " +
               std::to_string(field.max);
    };
    switch (field.kind) {
    case FieldKind::U32:
    case FieldKind::I32: {
        const auto v = ParseInteger<std::int64_t>(value);
        if (!v || *v < field.min || *v > field.max) return outOfRange();
        SetU32(field.offset, static_cast<std::uint32_t>(*v));
        return std::nullopt;
    }
    case FieldKind::FileTime: {
        const auto v = ParseInteger<std::uint64_t>(value);
        if (!v) return std::string(field.name) + " takes a file time (100 ns units since 1601)";
        SetFileTime(field.offset, *v);
        return std::nullopt;
    }
    case FieldKind::Rect: {
        std::int32_t parts[4];
        std::size_t start = 0;
        for (int i = 0; i < 4; ++i) {
            const std::size_t comma = value.find(',', start);
            const bool last = i == 3;
            if (last != (comma == std::string_view::npos)) return std::string(field.name) + " takes left,top,width,height";
            const auto v = ParseInteger<std::int32_t>(value.substr(start, last ? std::string_view::npos : comma - start));
            if (!v) return std::string(field.name) + " takes left,top,width,height";
            parts[i] = *v;
            start = comma + 1;
        }
        SetWindowRect({parts[0], parts[1], parts[2], parts[3]});
        return std::nullopt;
    }
    case FieldKind::Text:
        if (!platform::IsValidUtf8(value)) return std::string(field.name) + " must be UTF-8 text";
        if (platform::Utf8ToUtf16(value).size() > field.textUnits - 1)
            return std::string(field.name) + " holds at most " + std::to_string(field.textUnits - 1) + " UTF-16 units";
        SetText(field.offset, field.textUnits, value);
        return std::nullopt;
    }
    return std::string("unknown field kind");
}

}  // namespace tl
