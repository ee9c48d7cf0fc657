#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filesystems/lznt1.h"

namespace tl {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A chunk header: compressed or not, the data's length.
Bytes Header(bool compressed, std::size_t length) {
    const unsigned h = (compressed ? 0x8000u : 0u) | 0x3000u | static_cast<unsigned>(length - 1);
    return {static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8)};
}

Bytes Chunk(bool compressed, const Bytes& data) {
    Bytes c = Header(compressed, data.size());
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string Text(const Bytes& b, std::size_t from, std::size_t n) { return std::string(b.begin() + from, b.begin() + from + n); }

// Literals, an overlapping back-reference, an uncompressed chunk and the end
// marker, each chunk in its 4096-byte slot and zeros wherever none reaches.
TEST(Lznt1, ChunksFillTheirSlotsInOrder) {
    // 'a', then "10 bytes from 1 back": eleven a's.
    const Bytes in = Join({Chunk(true, {0x02, 'a', 0x07, 0x00}), Chunk(false, Bytes(4096, 'U')), {0, 0}, {0xFF, 0xFF}});
    Bytes out(3 * 4096, 0xEE);
    ASSERT_TRUE(lznt1::Decompress(in, out));
    EXPECT_EQ(Text(out, 0, 12), std::string(11, 'a') + '\0');
    EXPECT_EQ(out[4095], 0);
    EXPECT_EQ(Text(out, 4096, 4096), std::string(4096, 'U'));
    EXPECT_EQ(Text(out, 8192, 4096), std::string(4096, '\0')) << "after the end marker";
    // Once the unit is full, what follows in its last cluster is not read.
    Bytes full(4096, 0xEE);
    EXPECT_TRUE(lznt1::Decompress(Join({Chunk(true, {0x02, 'a', 0x07, 0x00}), {0x33, 0xB3, 0x01}}), full));
}

// With more than 16 bytes out, the offset field takes a fifth bit from the
// length field.
TEST(Lznt1, BackReferenceFieldsFollowThePosition) {
    Bytes data = {0x00};
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<std::uint8_t>('A' + i));
    data.push_back(0x00);
    for (int i = 8; i < 16; ++i) data.push_back(static_cast<std::uint8_t>('A' + i));
    // The 17th literal, then 5 bytes from 17 back: offset field 16 at the
    // top 5 bits, length field 2.
    data.insert(data.end(), {0x02, 'Q', 0x02, 0x80});
    Bytes out(4096, 0xEE);
    ASSERT_TRUE(lznt1::Decompress(Chunk(true, data), out));
    EXPECT_EQ(Text(out, 0, 22), "ABCDEFGHIJKLMNOPQABCDE");
    EXPECT_EQ(out[22], 0);
}

// Damaged data: false, nothing written outside the output, and the chunks
// before the damage kept.
TEST(Lznt1, DamagedDataFailsWithinItsBounds) {
    const Bytes good = Chunk(true, {0x02, 'a', 0x07, 0x00});
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"a reference before any byte", Chunk(true, {0x01, 0x00, 0x00})},
        {"a reference before the chunk", Chunk(true, {0x02, 'a', 0x00, 0x10})},
        {"a chunk longer than the data", Join({Header(true, 200), {0x00, 'a', 'b'}})},
        {"a reference past the slot", Chunk(true, {0x02, 'a', 0xFF, 0x0F})},
        {"a header cut in half", {0x03}},
    };
    for (const auto& [what, chunk] : cases) {
        Bytes out(2 * 4096, 0xEE);
        const bool ok = lznt1::Decompress(Join({good, chunk}), out);
        if (chunk.size() == 1) {
            EXPECT_TRUE(ok) << what << ": the data simply ends";
            continue;
        }
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(Text(out, 0, 11), std::string(11, 'a')) << what;
        EXPECT_EQ(Text(out, 4096, 4096), std::string(4096, '\0')) << what;
    }
    // Outputs shorter than a chunk: nothing is written past them.
    Bytes small(100, 0xEE);
    EXPECT_FALSE(lznt1::Decompress(Chunk(false, Bytes(4096, 'U')), small));
    Bytes tiny(5, 0xEE);
    EXPECT_FALSE(lznt1::Decompress(good, tiny));
    EXPECT_TRUE(lznt1::Decompress({}, tiny));
    EXPECT_EQ(Text(tiny, 0, 5), std::string(5, '\0'));
}

}  // namespace
}  // namespace tl
