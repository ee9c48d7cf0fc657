// What the find bar searches for: a name pattern, a date range, a size bound
// and two switches. The bar stores its controls here when Search is pressed;
// FindMatches tests one found object against them. The command line's
// search and recover commands select found files through the same test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/time.h"

namespace tl {

class CEventLog;
struct CFoundObject;

struct FindCriteria {
    static constexpr std::size_t kPatternUnits = 2048;  // UTF-16 units the name field holds

    enum DateModeValue : std::int32_t {
        kAnyDate = 0,
        kPastWeek = 1,
        kPast28Days = 2,
        kPastYear = 3,
        kDateRange = 4,  // the dates of the two pickers
    };
    enum SizeModeValue : std::int32_t {
        kAnySize = 0,
        kSmall = 1,          // less than 100 KB
        kMedium = 2,         // less than 1 MB
        kLarge = 3,          // greater than 1 MB
        kSpecifiedSize = 4,  // SizeNumber times a unit, compared by SizeCompare
    };
    enum SizeCompareValue : std::int32_t { kLess = -1, kEqual = 0, kGreater = 1 };
    // Units of the size list.
    static constexpr std::uint64_t kUnitB = 1, kUnitKB = 1024, kUnitMB = 1048576, kUnitGB = 1073741824;

    std::string Pattern = "*";  // UTF-8; empty is taken as "*"
    std::int32_t DateMode = kAnyDate;
    platform::FileTime DateFrom = 0;
    platform::FileTime DateTo = 0;
    std::int32_t SizeMode = kAnySize;
    std::int32_t SizeNumber = 0;
    std::uint64_t SizeBytes = 0;
    std::int32_t SizeCompare = kEqual;
    std::int32_t DeletedOnly = 1;  // "Search for deleted files only"
    std::int32_t FilesOnly = 1;    // "Ignore folders (search for files only)"

    // The name field: an empty text becomes "*"; a longer text than the
    // field holds is cut to its 2048 UTF-16 units (a whole character at the
    // cut).
    void SetPattern(std::string_view utf8);
    // The size controls. Modes 1 to 3 set their fixed bounds; mode 4 takes
    // `number` (a negative one counts as 0) times `unit` bytes, compared by
    // `compare`; mode 0 tests no size. Any size test searches files only, as
    // the bar then checks "Ignore folders" and disables it. A mode outside
    // 0..4 tests no size.
    void SetSize(std::int32_t mode, std::int32_t number = 0, std::uint64_t unit = kUnitKB,
                 std::int32_t compare = kEqual);
    // The date controls: modes 1 to 3 reach back 7, 28 or 365 days from
    // `now` up to `now`; mode 4 takes `from` and `to` as they are; mode 0
    // (and any mode outside 0..4) tests no date.
    void SetDates(std::int32_t mode, platform::FileTime now, platform::FileTime from = 0, platform::FileTime to = 0);
};

// True when `object` meets `criteria`: deleted when only deleted objects are
// searched, not a folder when only files are, a name that fits the pattern
// regardless of case, a creation time inside the range when dates are
// tested, and a size that keeps the bound when sizes are (an unknown size
// always does; folders are not sized). A failure inside the name test is
// logged as a warning to `log` (when given) and the object does not match.
bool FindMatches(const FindCriteria& criteria, const CFoundObject& object, CEventLog* log);

}  // namespace tl
