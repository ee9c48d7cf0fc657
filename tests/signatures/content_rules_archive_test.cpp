#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "content_scan.h"
#include "signatures/content/scanner_support.h"
#include "signatures/content_rules.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

using content::GetBE16;
using content::GetBE32;
using test::ByteVector;
using test::Join;
using test::Document;
using test::Noise;
using State = EndScanner::State;

struct Real {
    const char* name;
    std::int16_t type;
    bool concatenates;  // two copies back to back are one file of the format
};
constexpr Real kReal[] = {
    {"text.gz", 1204, true},  {"multi.gz", 1204, true},       {"text.bz2", 1205, true},        {"text.xz", 1206, true},
    {"text.zst", 1207, true}, {"picture.psd", 1310, false}, {"picture_raw.psd", 1310, false},
};

TEST(ContentRulesArchive, RealFilesEndAfterTheirLastByte) {
    for (const Real& r : kReal) {
        const ByteVector file = Document(r.name);
        ASSERT_GT(file.size(), 64u) << r.name;
        // Zeros after an xz stream could be padding before another one: they
        // are read for 64 KiB before the file is known to have ended.
        const ByteVector noise = Noise(4096), zeros(128 * 1024, 0);
        for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
            const auto where = std::string(r.name) + " in pieces of " + std::to_string(piece);
            for (const ByteVector* after : {&noise, &zeros}) {
                const auto o = test::ScanContent(r.type, file, *after, piece);
                EXPECT_EQ(o.state, State::Found) << where;
                EXPECT_EQ(o.size, file.size()) << where << (after == &zeros ? " before zeros" : " before noise");
            }
            // Closed right at its end (the volume ends, the next block lies elsewhere).
            EXPECT_EQ(test::ScanContent(r.type, file, {}, piece).size, file.size()) << where << " with nothing after";
            // A file cut short has no end.
            const ByteVector cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() * 2 / 3));
            EXPECT_FALSE(test::ScanContent(r.type, cut, {}, piece).size) << where << " cut";
            const auto twice = test::ScanContent(r.type, Join(file, file), noise, piece);
            EXPECT_EQ(twice.size, r.concatenates ? 2 * file.size() : file.size()) << where << " twice";
        }
    }
}

// A gzip member made by zlib with every optional header field.
ByteVector GzipWithAllFields(const std::string& text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    static Bytef extra[] = {'A', 'p', 4, 0, 1, 2, 3, 4};
    static char name[] = "report.txt", comment[] = "found again";
    gz_header header{};
    header.extra = extra;
    header.extra_len = sizeof extra;
    header.name = reinterpret_cast<Bytef*>(name);
    header.comment = reinterpret_cast<Bytef*>(comment);
    header.hcrc = 1;
    EXPECT_EQ(deflateSetHeader(&z, &header), Z_OK);
    ByteVector out(deflateBound(&z, text.size()) + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(ContentRulesArchive, GzipHeaderFieldsAreWalkedAndChecked) {
    std::string text;
    for (int i = 0; i < 200; ++i) text += "Line " + std::to_string(i * 7919) + " of the lost report.\n";
    const ByteVector member = GzipWithAllFields(text);
    ASSERT_EQ(member[3], 2 | 4 | 8 | 16);
    for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}})
        EXPECT_EQ(test::ScanContent(1204, member, Noise(512), piece).size, member.size()) << piece;
    // The header CRC follows "found again\0", ahead of the deflate stream.
    const std::size_t hcrc = 10 + 2 + 8 + sizeof "report.txt" + sizeof "found again";
    ByteVector bad = member;
    bad[hcrc] ^= 1;
    EXPECT_EQ(test::ScanContent(1204, bad, Noise(512), 7).state, State::GaveUp);
}

TEST(ContentRulesArchive, DamagedStreamsGiveUpOrFindNoEnd) {
    const ByteVector gz = Document("text.gz"), multi = Document("multi.gz"), bz2 = Document("text.bz2");
    const ByteVector xz = Document("text.xz"), zst = Document("text.zst"), psd = Document("picture.psd");
    ASSERT_FALSE(gz.empty() || multi.empty() || bz2.empty() || xz.empty() || zst.empty() || psd.empty());
    // The first block of the zstd frame, after the magic and the frame header.
    const std::uint8_t fhd = zst[4];
    const bool single = fhd & 0x20;
    const std::size_t fcs[] = {single ? 1u : 0u, 2, 4, 8}, dict[] = {0, 1, 2, 4};
    const std::size_t block = 5 + (single ? 0 : 1) + dict[fhd & 3] + fcs[fhd >> 6];
    ASSERT_LT(block + 3, zst.size());
    // The layer section's length in the PSD: after the header, the colour
    // data and the resources.
    const std::size_t resources = 26 + 4 + GetBE32(psd.data() + 26);
    const std::size_t layers = resources + 4 + GetBE32(psd.data() + resources);
    const std::size_t compression = layers + 4 + GetBE32(psd.data() + layers);
    ASSERT_EQ(GetBE16(psd.data() + compression), 1);

    struct Case {
        const char* what;
        std::int16_t type;
        ByteVector file;
        std::optional<State> state;  // nothing: still searching, with no end
    };
    auto flipped = [](ByteVector v, std::size_t at, std::uint8_t bits) {
        v[at] ^= bits;
        return v;
    };
    auto set = [](ByteVector v, std::size_t at, std::uint8_t bits) {
        v[at] |= bits;
        return v;
    };
    auto bigEndian = [](ByteVector v, std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        return v;
    };
    auto blockHeader = [](ByteVector v, std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 3; ++i) v[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        return v;
    };
    auto half = [](const ByteVector& v) { return ByteVector(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2)); };
    const Case cases[] = {
        // The first deflate block of reserved type 3.
        {"gzip, corrupt deflate", 1204, set(gz, 10, 0x06), State::GaveUp},
        {"gzip, trailer CRC", 1204, flipped(gz, gz.size() - 8, 0x01), State::GaveUp},
        {"gzip, trailer length", 1204, flipped(gz, gz.size() - 1, 0x80), State::GaveUp},
        {"gzip, second member's CRC", 1204, flipped(multi, multi.size() - 8, 0x01), State::GaveUp},
        {"bzip2, stream CRC", 1205, flipped(bz2, bz2.size() - 2, 0x10), State::GaveUp},
        // A cut stream, then a whole one: the end found is the second's, whose CRC is not the first's.
        {"bzip2, cut then whole", 1205, Join(half(bz2), bz2), State::GaveUp},
        // Its footer passes, but the index does not describe the stream it ends.
        {"xz, cut then whole", 1206, Join(half(xz), xz), std::nullopt},
        {"xz, footer CRC", 1206, flipped(xz, xz.size() - 12, 0x01), std::nullopt},
        {"xz, index CRC", 1206, flipped(xz, xz.size() - 13, 0x01), std::nullopt},
        {"zstd, reserved block type", 1207, set(zst, block, 0x06), State::GaveUp},
        {"zstd, raw block over 128 KiB", 1207, blockHeader(zst, block, 131073u << 3), State::GaveUp},
        {"psd, layer section past the end", 1310, bigEndian(psd, layers, 0x7FFFFFF0), std::nullopt},
        {"psd, row longer than PackBits allows", 1310, bigEndian(psd, compression + 2, 0xFFFF0000), State::GaveUp},
        {"psd, ZIP image data", 1310, flipped(psd, compression + 1, 0x03), State::GaveUp},
    };

    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{512}, std::size_t{7}}) {
            const auto o = test::ScanContent(c.type, c.file, Noise(8192), piece);
            EXPECT_FALSE(o.size) << c.what << " in pieces of " << piece;
            EXPECT_EQ(o.state, c.state.value_or(State::Searching)) << c.what << " in pieces of " << piece;
        }
    }
}

TEST(ContentRulesArchive, PaddingAndSkippableFramesBelongToTheFile) {
    const ByteVector xz = Document("text.xz"), zst = Document("text.zst");
    const ByteVector four(4, 0), noise = Noise(4096);
    // Stream padding joins two xz streams; after the last one it is not the file's.
    EXPECT_EQ(test::ScanContent(1206, Join(Join(xz, four), xz), noise, 7).size, 2 * xz.size() + 4);
    EXPECT_EQ(test::ScanContent(1206, Join(xz, four), noise, 7).size, xz.size());
    // A skippable frame (here 5 bytes of data) after a zstd frame, then another frame.
    ByteVector skippable = {0x5A, 0x2A, 0x4D, 0x18, 5, 0, 0, 0, 'n', 'o', 't', 'e', 's'};
    EXPECT_EQ(test::ScanContent(1207, Join(zst, skippable), noise, 1).size, zst.size() + skippable.size());
    EXPECT_EQ(test::ScanContent(1207, Join(Join(zst, skippable), zst), noise, 7).size,
              2 * zst.size() + skippable.size());
}

TEST(ContentRulesArchive, PsdReachesAsFarAsItsImageData) {
    // A picture bigger than its type's default size is followed as far as
    // its header allows, and no further than its image data can go.
    for (const char* name : {"picture_raw.psd", "picture.psd"}) {
        const ByteVector psd = Document(name);
        CFoundObject record;
        record.Init();
        record.TypeId = 1310;
        const auto scanner = ApplyContentRules(record, psd);
        ASSERT_TRUE(scanner) << name;
        EXPECT_GE(scanner->Reach(), psd.size()) << name;
        if (std::string(name) == "picture_raw.psd") {
            EXPECT_EQ(scanner->Reach(), psd.size());  // raw rows: the bound is the end
        }
    }
}

}  // namespace
}  // namespace tl
