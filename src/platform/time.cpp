#include "platform/time.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>

namespace tl::platform {

FileTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromUnix(ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec));
}

FileTime FromUnix(std::int64_t seconds, std::uint32_t nanoseconds) {
    const std::int64_t s = seconds + kUnixEpochInFileTimeSeconds;
    if (s < 0) return 0;
    return static_cast<FileTime>(s) * kFileTimeTicksPerSecond + nanoseconds / 100;
}

UnixTime ToUnix(FileTime ft) {
    const auto s = static_cast<std::int64_t>(ft / kFileTimeTicksPerSecond) - kUnixEpochInFileTimeSeconds;
    return {s, static_cast<std::uint32_t>((ft % kFileTimeTicksPerSecond) * 100)};
}

namespace {

// The fields of a DOS date and time, or nothing for an impossible one
// (month 0, day 0, ...). The fine-resolution byte counts 10 ms units, 0..199.
std::optional<std::tm> DosFields(std::uint16_t date, std::uint16_t time) {
    std::tm tm{};
    tm.tm_year = 80 + (date >> 9);
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = (time & 0x1F) * 2;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday == 0 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return std::nullopt;
    return tm;
}

std::optional<FileTime> WithTens(time_t t, std::uint8_t tenthsOfMs10) {
    if (t == static_cast<time_t>(-1)) return std::nullopt;
    const unsigned extraMs = tenthsOfMs10 <= 199 ? tenthsOfMs10 * 10u : 0u;
    return FromUnix(t + extraMs / 1000, (extraMs % 1000) * 1'000'000u);
}

}  // namespace

std::optional<FileTime> FromDosDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t tenthsOfMs10) {
    std::optional<std::tm> tm = DosFields(date, time);
    return tm ? WithTens(mktime(&*tm), tenthsOfMs10) : std::nullopt;
}

std::optional<FileTime> FromDosDateTimeAtOffset(std::uint16_t date, std::uint16_t time, std::uint8_t tenthsOfMs10,
                                                int offsetMinutes) {
    std::optional<std::tm> tm = DosFields(date, time);
    if (!tm) return std::nullopt;
    const time_t t = timegm(&*tm);
    return WithTens(t == static_cast<time_t>(-1) ? t : t - time_t{offsetMinutes} * 60, tenthsOfMs10);
}

void ToDosDateTime(FileTime ft, std::uint16_t& date, std::uint16_t& time) {
    const time_t t = static_cast<time_t>(ToUnix(ft).seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    int year = tm.tm_year + 1900;
    if (year < 1980) {
        date = (1 << 5) | 1;  // 1980-01-01
        time = 0;
        return;
    }
    if (year > 2107) {
        date = static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31);
        time = static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29);
        return;
    }
    date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    time = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

namespace {

std::string FormatLocal(FileTime ft, const char* format) {
    const time_t t = static_cast<time_t>(ToUnix(ft).seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    char buf[128];
    const std::size_t n = loc ? strftime_l(buf, sizeof buf, format, &tm, loc) : strftime(buf, sizeof buf, format, &tm);
    if (loc) freelocale(loc);
    return std::string(buf, n);
}

}  // namespace

std::string FormatLocalShortDate(FileTime ft) { return FormatLocal(ft, "%x"); }
std::string FormatLocalTime(FileTime ft) { return FormatLocal(ft, "%X"); }

bool SetFileTimes(const std::filesystem::path& path, FileTime modified, FileTime accessed) {
    const UnixTime m = ToUnix(modified);
    const UnixTime a = ToUnix(accessed);
    timespec times[2] = {{static_cast<time_t>(a.seconds), static_cast<long>(a.nanoseconds)},
                         {static_cast<time_t>(m.seconds), static_cast<long>(m.nanoseconds)}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::uint64_t TickCountMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::string FormatUtcIso8601(FileTime ft) {
    const auto t = static_cast<std::time_t>(ToUnix(ft).seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace tl::platform
