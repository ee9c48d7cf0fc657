#include <gtest/gtest.h>

#include "platform/text.h"

namespace tl::platform {
namespace {

TEST(Text, Utf8AndUtf16RoundTripIncludingSurrogatePairs) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\x84";  // A é € 📄
    const std::u16string units = Utf8ToUtf16(text);
    ASSERT_EQ(units.size(), 5u);
    EXPECT_EQ(units[3], 0xD83D);
    EXPECT_EQ(units[4], 0xDCC4);
    EXPECT_EQ(Utf16ToUtf8(units), text);
    EXPECT_EQ(Utf8ToUtf16LeBytes("Ab"), std::string("A\0b\0", 4));
}

TEST(Text, InvalidInputBecomesReplacementCharacter) {
    // Unpaired surrogates in names taken from a disk.
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
    // A truncated sequence at the end, an overlong form, a stray continuation byte.
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("x\xE2\x82")), "x\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
    EXPECT_FALSE(IsValidUtf8("\x80"));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate encoded in UTF-8
    EXPECT_TRUE(IsValidUtf8("plain \xC3\xA4"));
    // An odd trailing byte of UTF-16LE is dropped, not read past.
    const std::uint8_t odd[] = {'h', 0, 'i'};
    EXPECT_EQ(Utf16LeBytesToUtf8(odd), "h");
}

TEST(Text, CodePointsAndCaseFolding) {
    EXPECT_EQ(Utf8ToUtf32("A\xC3\xA9\xF0\x9F\x93\x84"), (std::u32string{U'A', U'\u00E9', U'\U0001F4C4'}));
    EXPECT_EQ(Utf8ToUtf32("x\xC3"), (std::u32string{U'x', U'\uFFFD'}));
    EXPECT_EQ(FoldCase(U'Q'), U'q');
    EXPECT_EQ(FoldCase(U'q'), U'q');
    EXPECT_EQ(FoldCase(U'['), U'[');
    EXPECT_EQ(FoldCase(U'\u00C9'), U'\u00E9');  // É
    EXPECT_EQ(FoldCase(U'\u03C2'), U'\u03C3');  // final sigma folds with sigma
    EXPECT_EQ(FoldCase(U'\u017F'), U's');        // long s
    EXPECT_EQ(FoldCase(U'\u0401'), U'\u0451');  // Ё
    EXPECT_EQ(FoldCase(U'\u00D7'), U'\u00D7');  // × is no letter
    EXPECT_EQ(FoldCase(char32_t{0x110000}), char32_t{0x110000});
}

TEST(Text, TrimCharsCutsOnlyTheEnds) {
    EXPECT_EQ(TrimChars("  a b \t\r\n", kLineBlanks), "a b");
    EXPECT_EQ(TrimChars(" \t ", kLineBlanks), "");
    EXPECT_EQ(TrimChars("", " "), "");
    EXPECT_EQ(TrimChars("x", " "), "x");
    EXPECT_EQ(TrimChars(std::string_view("\0 NO NAME \0", 11), std::string_view(" \0", 2)), "NO NAME");
}

TEST(Text, CodePagesConvertEveryByte) {
    // CP437: 0x81 is u-umlaut, 0xE1 is sharp s, box drawing 0xC4.
    EXPECT_EQ(CodePageToUtf8("\x81\xE1\xC4", "CP437"), "\xC3\xBC\xC3\x9F\xE2\x94\x80");
    // CP1252 leaves 0x81 unmapped: one replacement character, the rest survives.
    EXPECT_EQ(CodePageToUtf8("a\x81" "b", "CP1252"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(CodePageToUtf8("ok\xFF", "NO-SUCH-CODEPAGE"), "ok\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tl::platform
