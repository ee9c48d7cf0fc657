#include <gtest/gtest.h>

#include <cstdint>

#include "app/text_format.h"

namespace tl {
namespace {

TEST(TextFormat, TranslatorSpecifiersFormatWithTheArgumentsOwnTypes) {
    const std::int64_t big = 5'000'000'000;
    EXPECT_EQ(TryFormatPrintf("Volume %s at position %I64d not read, retry %d", std::string("sdb1"), big, 2),
              "Volume sdb1 at position 5000000000 not read, retry 2");
    EXPECT_EQ(TryFormatPrintf("Image_Create: Can't read sector: 0x%I64x", std::uint64_t{0x1F4}),
              "Image_Create: Can't read sector: 0x1f4");
    EXPECT_EQ(TryFormatPrintf("Drive %C: Medium removed!", 'E'), "Drive E: Medium removed!");
    EXPECT_EQ(TryFormatPrintf("%5.1f%% done, %-4s|", 12.25, "ab"), " 12.2% done, ab  |");
    EXPECT_EQ(TryFormatPrintf("no placeholders"), "no placeholders");
}

TEST(TextFormat, PlaceholdersThatDoNotFitAreRefused) {
    EXPECT_FALSE(TryFormatPrintf("%s %s", 3));               // two where one was expected
    EXPECT_FALSE(TryFormatPrintf("%d", std::string("x")));   // kind differs
    EXPECT_FALSE(TryFormatPrintf("%s", 1, 2));               // too few placeholders
    EXPECT_FALSE(TryFormatPrintf("%n", 1));                   // never
    EXPECT_FALSE(TryFormatPrintf("%*d", 3, 4));               // width from an argument
    EXPECT_FALSE(TryFormatPrintf("trailing %", 1));
    EXPECT_FALSE(TryFormatPrintf("%q"));
    EXPECT_FALSE(TryFormatPrintf("%s", static_cast<const void*>(nullptr)));
}

}  // namespace
}  // namespace tl
