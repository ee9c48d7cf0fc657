// Time: 64-bit file times (100 ns units since 1601-01-01, UTC) everywhere in
// records; conversions to and from Unix time, DOS date/time and local text.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace tl::platform {

using FileTime = std::uint64_t;

inline constexpr FileTime kFileTimeTicksPerSecond = 10'000'000;
// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11'644'473'600;

FileTime Now();
FileTime FromUnix(std::int64_t seconds, std::uint32_t nanoseconds = 0);
// Seconds and nanoseconds since 1970; times before 1970 give negative seconds.
struct UnixTime { std::int64_t seconds; std::uint32_t nanoseconds; };
UnixTime ToUnix(FileTime ft);

// DOS date and time as FAT stores them, read as local time like the systems
// that write them. Returns nullopt for an impossible date (month 0, day 0, ...).
std::optional<FileTime> FromDosDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t tenthsOfMs10 = 0);
// The same date and time written with their offset from UTC (exFAT keeps it,
// in minutes east of UTC), read exactly whatever the local zone is.
std::optional<FileTime> FromDosDateTimeAtOffset(std::uint16_t date, std::uint16_t time, std::uint8_t tenthsOfMs10,
                                                int offsetMinutes);
// The inverse; times outside 1980..2107 are clamped to the nearest bound.
void ToDosDateTime(FileTime ft, std::uint16_t& date, std::uint16_t& time);

// The user's short date and time of day, in the LC_TIME locale of the
// environment (falls back to the C locale), for local time.
std::string FormatLocalShortDate(FileTime ft);
std::string FormatLocalTime(FileTime ft);

// "2024-05-01T12:00:00Z": the time in UTC as ISO 8601 gives it.
std::string FormatUtcIso8601(FileTime ft);

// Sets the modification and access times of a file (Linux keeps no settable
// creation time). Returns false on failure.
bool SetFileTimes(const std::filesystem::path& path, FileTime modified, FileTime accessed);

// Milliseconds of a monotonic clock, for durations and time-outs.
std::uint64_t TickCountMs();

}  // namespace tl::platform
