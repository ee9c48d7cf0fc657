#include "app/wildcard_match.h"

#include <string>

#include "platform/text.h"

namespace tl {
namespace {

std::u32string Characters(std::string_view utf8, bool ignoreCase) {
    std::u32string text = platform::Utf8ToUtf32(utf8);
    if (ignoreCase)
        for (char32_t& c : text) c = platform::FoldCase(c);
    return text;
}

}  // namespace

bool WildcardMatch(std::string_view patternText, std::string_view nameText, bool ignoreCase) {
    const std::u32string pattern = Characters(patternText, ignoreCase);
    const std::u32string name = Characters(nameText, ignoreCase);
    constexpr std::size_t kNone = std::u32string::npos;
    std::size_t p = 0, n = 0;
    // Where to go back to on a mismatch: the pattern just after the last
    // "*" met, and the name position that "*" is to swallow next.
    std::size_t starPattern = kNone, starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == U'*') {
            while (p < pattern.size() && pattern[p] == U'*') ++p;  // "**" is "*"
            if (p == pattern.size()) return true;
            starPattern = p;
            starName = n;
        } else if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starPattern != kNone) {
            // The last "*" takes one more character; earlier ones never need
            // to, since what follows them has matched already.
            p = starPattern;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') ++p;
    return p == pattern.size();
}

}  // namespace tl
