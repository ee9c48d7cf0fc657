#include "app/find_criteria.h"

#include <algorithm>

#include "app/event_log.h"
#include "app/wildcard_match.h"
#include "filesystems/found_object.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr platform::FileTime kDay = 24ull * 60 * 60 * platform::kFileTimeTicksPerSecond;

}  // namespace

void FindCriteria::SetPattern(std::string_view utf8) {
    if (utf8.empty()) {
        Pattern.assign(1, '*');  // (not = "*": GCC 12 warns falsely on that)
        return;
    }
    std::u16string units = platform::Utf8ToUtf16(utf8);
    if (units.size() > kPatternUnits) {
        units.resize(kPatternUnits);
        if (units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
        Pattern = platform::Utf16ToUtf8(units);
    } else {
        Pattern = std::string(utf8);
    }
}

void FindCriteria::SetSize(std::int32_t mode, std::int32_t number, std::uint64_t unit, std::int32_t compare) {
    SizeMode = mode >= kAnySize && mode <= kSpecifiedSize ? mode : kAnySize;
    SizeNumber = number;
    switch (SizeMode) {
    case kSmall: SizeBytes = 102400; SizeCompare = kLess; break;
    case kMedium: SizeBytes = 1048576; SizeCompare = kLess; break;
    case kLarge: SizeBytes = 1048576; SizeCompare = kGreater; break;
    case kSpecifiedSize:
        // At most 2^31 - 1 times 2^30: no overflow in 64 bits.
        SizeBytes = static_cast<std::uint64_t>(std::max(number, 0)) * unit;
        SizeCompare = compare;
        break;
    default: SizeBytes = 0; break;
    }
    if (SizeMode != kAnySize) FilesOnly = 1;
}

void FindCriteria::SetDates(std::int32_t mode, platform::FileTime now, platform::FileTime from, platform::FileTime to) {
    DateMode = mode >= kAnyDate && mode <= kDateRange ? mode : kAnyDate;
    const auto back = [&](std::uint64_t days) {
        DateTo = now;
        DateFrom = now > days * kDay ? now - days * kDay : 0;
    };
    switch (DateMode) {
    case kPastWeek: back(7); break;
    case kPast28Days: back(28); break;
    case kPastYear: back(365); break;
    case kDateRange: DateFrom = from; DateTo = to; break;
    default: break;
    }
}

bool FindMatches(const FindCriteria& c, const CFoundObject& o, CEventLog* log) {
    if (c.DeletedOnly && !o.IsDeleted()) return false;
    if (c.FilesOnly && o.IsFolder()) return false;
    try {
        if (!WildcardMatch(c.Pattern.empty() ? std::string_view("*") : std::string_view(c.Pattern), o.Name, true))
            return false;
    } catch (...) {
        if (log) log->LogWarning("Filter.Except2");
        return false;
    }
    if (c.DateMode != FindCriteria::kAnyDate && (o.CreationTime < c.DateFrom || o.CreationTime > c.DateTo))
        return false;
    if (c.SizeMode != FindCriteria::kAnySize && !o.IsFolder() && o.Size != CFoundObject::kUnknownSize) {
        if (c.SizeCompare < 0) return o.Size < c.SizeBytes;
        if (c.SizeCompare > 0) return o.Size > c.SizeBytes;
        return o.Size == c.SizeBytes;
    }
    return true;
}

}  // namespace tl
