#include <gtest/gtest.h>

#include <string>

#include "app/wildcard_match.h"

namespace tl {
namespace {

struct Case {
    const char* pattern;
    const char* name;
    bool exact;    // WildcardMatch(pattern, name, false)
    bool anyCase;  // WildcardMatch(pattern, name, true)
};

TEST(WildcardMatch, StarsQuestionMarksAndCase) {
    const Case cases[] = {
        // "*" takes any run, none included; without one the whole name must fit.
        {"*", "", true, true},
        {"*.doc", "report.doc", true, true},
        {"*.doc", "report.docx", false, false},
        {"a*b*c", "aXXbYYc", true, true},
        {"a*b*c", "acb", false, false},
        {"a**b", "ab", true, true},
        {"", "a", false, false},
        {"abc", "abcd", false, false},
        // A mismatch goes back to the last star: the first fit is not the one.
        {"*ab", "aab", true, true},
        {"*.txt", "notes.txt.txt", true, true},
        {"a*b?d", "abxbcd", true, true},
        {"*ab", "aba", false, false},
        // "?" is one character: not one byte, nor one UTF-16 unit.
        {"Q?.TXT", "Q.TXT", false, false},
        {"*?", "", false, false},
        {"R?sum?.doc", "R\xC3\xA9sum\xC3\xA9.doc", true, true},
        {"?.pdf", "\xF0\x9F\x93\x84.pdf", true, true},
        {"??.pdf", "\xF0\x9F\x93\x84.pdf", false, false},
        {"a?b", "a\xE2\x82" "b", false, false},  // two bad bytes are two characters
        // Case: letters fold beyond ASCII (Ü/ü, Greek with its final sigma, Ё/ё
        // which lie 0x50 apart); characters 0x20 apart that are no case pair do not.
        {"*.DOC", "report.doc", false, true},
        {"\xC3\x9C" "BER*", "\xC3\xBC" "ber.txt", false, true},
        {"\xCE\xA3\xCE\x9F\xCE\xA3", "\xCF\x83\xCE\xBF\xCF\x82", false, true},
        {"\xD0\x81*", "\xD1\x91lka.doc", false, true},
        {"a[1].doc", "a{1}.doc", false, false},
        {"x@y", "x`y", false, false},
        {"a_b", "a\x7F" "b", false, false},
        {"\xC3\x97", "\xC3\xB7", false, false},  // × and ÷
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WildcardMatch(c.pattern, c.name, false), c.exact) << c.pattern << " / " << c.name;
        EXPECT_EQ(WildcardMatch(c.pattern, c.name, true), c.anyCase) << c.pattern << " / " << c.name << " (any case)";
    }
}

TEST(WildcardMatch, HostilePatternsReturn) {
    // Only the last star is returned to: these take pattern length times
    // name length steps, not exponentially many.
    const std::string longName(20000, 'a');
    EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*b", longName, false));
    EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a", longName, false));
    std::string manyStars;
    for (int i = 0; i < 1000; ++i) manyStars += "*a";
    manyStars += "*b";
    EXPECT_FALSE(WildcardMatch(manyStars, std::string(5000, 'A'), true));
    EXPECT_TRUE(WildcardMatch(manyStars, std::string(5000, 'A') + "B", true));
}

}  // namespace
}  // namespace tl
