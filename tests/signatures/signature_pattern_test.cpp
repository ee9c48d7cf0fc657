#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "signatures/signature_pattern.h"

namespace tl {
namespace {

using Block = std::array<std::uint8_t, 512>;

Block ZeroBlock() { return Block{}; }

const PatternElement& Only(const SignaturePattern& p) { return p.Elements.at(0); }
std::uint8_t DataAt(const SignaturePattern& p, std::size_t i) { return Only(p).Data[i]; }
std::uint8_t MaskAt(const SignaturePattern& p, std::size_t i) { return Only(p).Data[512 + i]; }

TEST(PatternText, ItemsValuesAndLength) {
    auto p = ParsePatternText("0='PK',2=#3,3=$04");
    ASSERT_TRUE(p);
    EXPECT_EQ(Only(*p).Kind, kPatternMasked);
    EXPECT_EQ(Only(*p).Offset, 0);
    EXPECT_EQ(Only(*p).Length, 4);
    Block b = ZeroBlock();
    std::memcpy(b.data(), "PK\x03\x04", 4);
    EXPECT_TRUE(p->Matches(b.data(), 512));
    b[3] = 5;
    EXPECT_FALSE(p->Matches(b.data(), 512));

    p = ParsePatternText("0=#255,511=#1");
    EXPECT_EQ(Only(*p).Length, 512);
    EXPECT_EQ(DataAt(*p, 0), 255);
    EXPECT_EQ(DataAt(*p, 511), 1);
    EXPECT_EQ(MaskAt(*p, 1), 0);  // positions between items are not compared

    p = ParsePatternText("0='abc',600=#1");
    EXPECT_EQ(Only(*p).Length, 3);

    // Blanks vanish, leading commas go, an item without '=' sits at offset 0.
    p = ParsePatternText(" ,, 'A B' , 5 = x1f ");
    EXPECT_EQ(Only(*p).Length, 6);
    EXPECT_EQ(DataAt(*p, 0), 'A');
    EXPECT_EQ(DataAt(*p, 1), 'B');
    EXPECT_EQ(DataAt(*p, 5), 0x1F);
    EXPECT_EQ(p->SourceText, " ,, 'A B' , 5 = x1f ");
}

TEST(PatternText, QuirksOfQuotedTextAndNumbers) {
    // The inner text is read as a number too when it begins with x, # or $.
    auto p = ParsePatternText("0='x1'");
    EXPECT_EQ(DataAt(*p, 0), 0x01);
    EXPECT_EQ(DataAt(*p, 1), 0x31);
    p = ParsePatternText("4=\"#65\"");
    EXPECT_EQ(DataAt(*p, 4), 65);
    EXPECT_EQ(DataAt(*p, 5), '6');
    // Hexadecimal: upper-cased, "0X" skipped, digits up to the first other character.
    p = ParsePatternText("0=$0xfFz9,1=x,2=xxx2A,3=$G");
    EXPECT_EQ(DataAt(*p, 0), 0xFF);
    EXPECT_EQ(DataAt(*p, 1), 0);
    EXPECT_EQ(DataAt(*p, 2), 0x2A);
    EXPECT_EQ(MaskAt(*p, 3), 0xFF);
    EXPECT_EQ(DataAt(*p, 3), 0);
    // A quoted text reaching position 512 is ignored as a whole.
    p = ParsePatternText("500='ABCDEFGHIJKL'");
    EXPECT_EQ(Only(*p).Length, 1024);
    p = ParsePatternText("500='ABCDEFGHIJK'");
    EXPECT_EQ(Only(*p).Length, 511);
    // Non-ASCII characters give their low 8 bits (U+00E9 -> E9, U+20AC -> AC).
    p = ParsePatternText("0='\xC3\xA9\xE2\x82\xAC'");
    EXPECT_EQ(DataAt(*p, 0), 0xE9);
    EXPECT_EQ(DataAt(*p, 1), 0xAC);
}

TEST(PatternText, HostileTextsNeverWriteOutsideTheBlock) {
    EXPECT_FALSE(ParsePatternText(""));
    // Texts that set nothing match every block (length 1024, no mask byte).
    for (const char* text : {"   ", ",,,", "'", "\"", "0='", "='", "5=abc", "-1=#1", "-600='AB'",
                             "99999999999999999999=#1", "0=#99999999999999999999", "0=$FFFFFFFFFFFFFFFFFFFF",
                             "511='AB'", "512=#1", "0=#256", "0=#-1", "0='a,b'"}) {
        auto p = ParsePatternText(text);
        ASSERT_TRUE(p) << text;
        const auto& e = Only(*p);
        ASSERT_EQ(e.Data.size(), 1024u) << text;
        EXPECT_EQ(e.Length, 1024) << text;
        Block b = ZeroBlock();
        EXPECT_TRUE(p->Matches(b.data(), 512)) << text;
        EXPECT_TRUE(p->Matches(b.data(), 0)) << text;
    }
}

TEST(PatternElement, FixedKindsWithRepeat) {
    Block b = ZeroBlock();
    b[10] = b[11] = b[12] = 0x7E;
    const std::uint8_t v = 0x7E;
    auto e = PatternElement::Make(kPatternByte, std::span<const std::uint8_t>(&v, 1), 10, 0, 2);
    EXPECT_TRUE(e.Holds(b.data(), 512));
    e.Repeat = 3;
    EXPECT_FALSE(e.Holds(b.data(), 512));
    // A word compared at p, p+1, p+2 (advancing one byte, not two).
    b[20] = b[21] = b[22] = b[23] = 0xAB;
    const std::uint8_t w[] = {0xAB, 0xAB};
    EXPECT_TRUE(PatternElement::Make(kPatternWord, w, 20, 0, 2).Holds(b.data(), 512));
    EXPECT_FALSE(PatternElement::Make(kPatternWord, w, 20, 0, 3).Holds(b.data(), 512));
    // The bound: a read at or beyond the readable length does not hold.
    EXPECT_TRUE(PatternElement::Make(kPatternWord, w, 20, 0, 2).Holds(b.data(), 24));
    EXPECT_FALSE(PatternElement::Make(kPatternWord, w, 20, 0, 2).Holds(b.data(), 23));
    // Ranges.
    const std::uint8_t range[] = {0x10, 0x20};
    b[30] = 0x20;
    EXPECT_TRUE(PatternElement::Make(kPatternByteRange, range, 30, 2, 0).Holds(b.data(), 512));
    b[30] = 0x21;
    EXPECT_FALSE(PatternElement::Make(kPatternByteRange, range, 30, 2, 0).Holds(b.data(), 512));
    const std::uint8_t wrange[] = {0x00, 0x01, 0xFF, 0x01};  // 0x100 .. 0x1FF
    b[40] = 0x80;
    b[41] = 0x01;
    EXPECT_TRUE(PatternElement::Make(kPatternWordRange, wrange, 40, 4, 0).Holds(b.data(), 512));
    b[41] = 0x02;
    EXPECT_FALSE(PatternElement::Make(kPatternWordRange, wrange, 40, 4, 0).Holds(b.data(), 512));
    // Qword and dword.
    std::memcpy(b.data() + 100, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    EXPECT_TRUE(PatternElement::Make(kPatternQword, std::span<const std::uint8_t>(b.data() + 100, 8), 100, 0, 0).Holds(b.data(), 512));
    EXPECT_TRUE(PatternElement::Make(kPatternDword, std::span<const std::uint8_t>(b.data() + 104, 4), 104, 0, 0).Holds(b.data(), 512));
    EXPECT_FALSE(PatternElement::Make(kPatternDword, std::span<const std::uint8_t>(b.data() + 104, 4), 105, 0, 0).Holds(b.data(), 512));
}

TEST(PatternElement, SearchesAndMasks) {
    Block b = ZeroBlock();
    const std::uint8_t pk[] = {'P', 'K'};
    auto search = PatternElement::Make(kPatternSearch, pk, 0, 2, 0);
    b[509] = 'P';
    b[510] = 'K';
    EXPECT_TRUE(search.Holds(b.data(), 512));
    b[509] = 0;
    b[511] = 'K';  // "PK" at 510: beyond the last start position
    EXPECT_FALSE(search.Holds(b.data(), 512));
    std::memcpy(b.data() + 5, "ABC", 3);
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_TRUE(PatternElement::Make(kPatternSearchNoCase, abc, 0, 3, 0).Holds(b.data(), 512));
    EXPECT_FALSE(PatternElement::Make(kPatternSearch, abc, 0, 3, 0).Holds(b.data(), 512));
    EXPECT_FALSE(PatternElement::Make(kPatternSearchNoCase, abc, 0, 3, 0).Holds(b.data(), 7));

    // Masked absence: where the mask is set, data & mask & byte must be zero.
    std::uint8_t dm[1024] = {};
    dm[0] = 0x80;
    dm[512] = 0xFF;
    auto absent = PatternElement::Make(kPatternMaskedAbsent, dm, 0, 1, 0);
    b[0] = 0x7F;
    EXPECT_TRUE(absent.Holds(b.data(), 512));
    b[0] = 0x80;
    EXPECT_FALSE(absent.Holds(b.data(), 512));

    // Offset -1: anywhere in the block.
    auto anywhere = PatternElement::Make(kPatternBytes, abc, -1, 3, 0);
    std::memcpy(b.data() + 300, "abc", 3);
    EXPECT_TRUE(anywhere.Holds(b.data(), 512));
    EXPECT_FALSE(anywhere.Holds(b.data(), 302));
    EXPECT_FALSE(PatternElement::Make(kPatternBytes, abc, -2, 3, 0).Holds(b.data(), 512));
    // Offsets beyond the block never read past it, even with more bytes readable.
    std::vector<std::uint8_t> big(2048, 'a');
    EXPECT_FALSE(PatternElement::Make(kPatternBytes, abc, 600, 3, 0).Holds(big.data(), big.size()));
}

TEST(PatternSerialization, RoundTripAndHostileBlocks) {
    SignaturePattern p;
    const std::uint8_t w[] = {1, 2};
    p.Elements.push_back(PatternElement::Make(kPatternWord, w, 7, 0, 1));
    p.Elements.push_back(ParsePatternText("0='MZ'")->Elements[0]);
    const std::size_t size = p.Serialize({});
    EXPECT_EQ(size, 20u + 34 + 32 + 1024);
    std::vector<std::uint8_t> bytes(size);
    ASSERT_EQ(p.Serialize(bytes), size);
    std::size_t consumed = 0;
    std::string error;
    auto back = SignaturePattern::Deserialize(bytes, consumed, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(consumed, size);
    ASSERT_EQ(back->Elements.size(), 2u);
    EXPECT_EQ(back->Elements[0].Offset, 7);
    EXPECT_EQ(back->Elements[0].Repeat, 1);
    EXPECT_EQ(back->Elements[1].Data, p.Elements[1].Data);  // the mask survives

    // Each kind of damage is refused with a reason.
    const auto refuse = [&](std::vector<std::uint8_t> damaged) {
        std::string why;
        std::size_t n = 0;
        EXPECT_FALSE(SignaturePattern::Deserialize(damaged, n, why));
        EXPECT_FALSE(why.empty());
    };
    refuse(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 19));
    refuse(std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));  // BlockSize beyond the bytes
    auto d = bytes;
    d[16] = 3;  // one element more than present
    refuse(d);
    d = bytes;
    d[20 + 4] = 35;  // ElementSize disagrees with Length
    refuse(d);
    d = bytes;
    d[20 + 14] = 3;  // Length disagrees with ElementSize
    refuse(d);
    d = bytes;
    d[20] = 3;  // unknown kind
    refuse(d);
    d = bytes;
    d[4] = static_cast<std::uint8_t>(size + 1);  // BlockSize larger than its elements
    d.push_back(0);
    refuse(d);
}

}  // namespace
}  // namespace tl
