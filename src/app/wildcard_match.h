// Name patterns of the view filter and the search: "*" stands for any run of
// characters (none included), "?" for exactly one character; every other
// character stands for itself. There is no escape: a name with a literal "*"
// or "?" is matched by the wildcards themselves.
#pragma once

#include <string_view>

namespace tl {

// True when the whole of `name` fits `pattern`. Both are UTF-8 and compared
// character by character (code points, not bytes: "?" matches "é" and "📄").
// With `ignoreCase`, letters match regardless of case ("*.DOC" finds
// "report.doc", "ÜBER*" finds "über.txt"); without, characters must be equal.
//
// Only the last "*" is ever returned to, so the work is bounded by the
// pattern's length times the name's, whatever the pattern
// ("*a*a*a*a*a*a*a*b" over a long name included).
bool WildcardMatch(std::string_view pattern, std::string_view name, bool ignoreCase);

}  // namespace tl
