#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "content_scan.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

using test::ByteVector;
using State = EndScanner::State;

// Every real file ends exactly where it ends, whatever follows it and
// wherever the pieces split its headers.
TEST(ContentRulesVideo, RealFilesEndExactly) {
    const std::pair<const char*, std::int16_t> documents[] = {
        {"video.mp4", 1504},    {"video.mov", 1502},    {"video.3gp", 1503},   {"audio.m4a", 1407},
        {"picture.heic", 1307}, {"picture.avif", 1308}, {"picture.jp2", 1311}, {"video.avi", 1501},
        {"video.mkv", 1505},    {"video.webm", 1505},   {"video.flv", 1506},   {"video.wmv", 1507},
    };
    for (const auto& [name, type] : documents) {
        const ByteVector file = test::Document(name), noise = test::Noise(4096);
        ASSERT_GT(file.size(), 512u) << name;
        ByteVector copy = file;
        copy.insert(copy.end(), noise.begin(), noise.end());
        const std::pair<const char*, ByteVector> afters[] = {
            {"noise", noise}, {"zeros", ByteVector(4096, 0)}, {"a second copy", copy}};
        for (const auto& [what, after] : afters)
            for (std::size_t piece : {512, 7, 1}) {
                const test::ScanOutcome out = test::ScanContent(type, file, after, piece);
                EXPECT_EQ(out.state, State::Found) << name << " before " << what << ", pieces of " << piece;
                EXPECT_EQ(out.size, file.size()) << name << " before " << what << ", pieces of " << piece;
            }
    }
}

void PutBE32(ByteVector& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.at(at + i) = static_cast<std::uint8_t>(x >> (24 - 8 * i));
}
void PutBE64(ByteVector& v, std::size_t at, std::uint64_t x) {
    PutBE32(v, at, static_cast<std::uint32_t>(x >> 32));
    PutBE32(v, at + 4, static_cast<std::uint32_t>(x));
}
std::uint32_t BE32(const ByteVector& v, std::size_t at) {
    return (std::uint32_t{v.at(at)} << 24) | (std::uint32_t{v.at(at + 1)} << 16) | (std::uint32_t{v.at(at + 2)} << 8) |
           v.at(at + 3);
}

// The offset of a top-level box.
std::size_t BoxAt(const ByteVector& file, const char* type) {
    for (std::size_t at = 0; at + 8 <= file.size() && BE32(file, at) >= 8; at += BE32(file, at))
        if (std::memcmp(file.data() + at + 4, type, 4) == 0) return at;
    ADD_FAILURE() << "no box " << type;
    return 0;
}
// Gives a box the 64-bit size `size` (its header grows by eight bytes).
void LongBox(ByteVector& file, std::size_t at, std::uint64_t size) {
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at) + 8, 8, 0);
    PutBE32(file, at, 1);
    PutBE64(file, at + 8, size);
}
// The offset of a Flash video's n-th tag.
std::size_t FlvTagAt(const ByteVector& file, int n) {
    std::size_t at = 13;
    for (int i = 0; i < n; ++i) at += 11 + (BE32(file, at) & 0xFFFFFF) + 4;
    return at;
}
// The first place of `bytes` in the file.
std::size_t Find(const ByteVector& file, const std::string& bytes) {
    const ByteVector pattern = test::Bytes(bytes);
    const auto it = std::search(file.begin(), file.end(), pattern.begin(), pattern.end());
    EXPECT_NE(it, file.end());
    return static_cast<std::size_t>(it - file.begin());
}
// Where a Matroska file's Segment size lies (8 bytes as the writer puts it).
std::size_t SegmentSizeAt(const ByteVector& file) { return Find(file, "\x18\x53\x80\x67") + 4; }
// The Data object's size field of an ASF file.
std::size_t AsfDataSizeAt(const ByteVector& file) { return static_cast<std::size_t>(GetU64(file.data() + 16)) + 16; }

enum class After { Noise, Zeros, Nothing, Copy };
using Size = std::optional<std::uint64_t>;

// A damaged copy of a real file: the damage returns the size the rule must
// hold at the close, if any.
struct Damage {
    const char* what;
    const char* document;
    std::int16_t type;
    After after;
    State state;
    std::function<Size(ByteVector&)> damage;
};

const Damage kDamages[] = {
    {"box size 0 (to the end of the file)", "video.mp4", 1504, After::Noise, State::GaveUp,
     [](ByteVector& f) { return PutBE32(f, BoxAt(f, "moov"), 0), Size{}; }},
    {"box size below its header", "video.mp4", 1504, After::Noise, State::GaveUp,
     [](ByteVector& f) { return PutBE32(f, BoxAt(f, "mdat"), 5), Size{}; }},
    {"64-bit box size", "video.mp4", 1504, After::Noise, State::Found,
     [](ByteVector& f) { return LongBox(f, BoxAt(f, "mdat"), BE32(f, BoxAt(f, "mdat")) + 8u), Size{f.size()}; }},
    {"64-bit box size that overflows", "video.mp4", 1504, After::Noise, State::GaveUp,
     [](ByteVector& f) { return LongBox(f, BoxAt(f, "mdat"), ~std::uint64_t{0} - 4), Size{}; }},
    {"cut short in its data", "video.mp4", 1504, After::Nothing, State::Searching,
     [](ByteVector& f) { return f.resize(BoxAt(f, "mdat") + 1000), Size{}; }},
    {"only a type box and free space", "video.mp4", 1504, After::Noise, State::GaveUp,
     [](ByteVector& f) { return f.resize(BoxAt(f, "mdat")), Size{}; }},
    {"a vendor's box after the movie", "video.mp4", 1504, After::Zeros, State::Found,
     [](ByteVector& f) {
         const std::uint8_t box[] = {0, 0, 0, 12, 's', 'e', 'f', 'd', 1, 2, 3, 4};
         return f.insert(f.end(), std::begin(box), std::end(box)), Size{f.size()};
     }},
    {"a movie that begins with its 'wide' box", "video.mov", 1502, After::Copy, State::Found,
     [](ByteVector& f) { return f.erase(f.begin(), f.begin() + BoxAt(f, "wide")), Size{f.size()}; }},
    {"a codestream box that runs to the end of the file", "picture.jp2", 1311, After::Noise, State::Found,
     [](ByteVector& f) { return PutBE32(f, BoxAt(f, "jp2c"), 0), Size{f.size()}; }},
    // Extension chunks are hand-made: only AVIs over a gigabyte have them.
    {"an extension chunk", "video.avi", 1501, After::Noise, State::Found,
     [](ByteVector& f) {
         const std::string chunk("RIFF\x08\0\0\0AVIXLIST", 16);
         return f.insert(f.end(), chunk.begin(), chunk.end()), Size{f.size()};
     }},
    {"an extension chunk past the end", "video.avi", 1501, After::Noise, State::Searching,
     [](ByteVector& f) {
         const std::string chunk("RIFF\0\0\1\0AVIXLIST", 16);
         return f.insert(f.end(), chunk.begin(), chunk.end()), Size{};
     }},
    {"a Segment of unknown size", "video.mkv", 1505, After::Copy, State::Found,
     [](ByteVector& f) { return PutBE64(f, SegmentSizeAt(f), 0x01FFFFFFFFFFFFFF), Size{f.size()}; }},
    {"a Cluster of unknown size", "video.webm", 1505, After::Noise, State::GaveUp,
     [](ByteVector& f) {
         PutBE64(f, SegmentSizeAt(f), 0x01FFFFFFFFFFFFFF);
         const std::size_t at = Find(f, "\x1F\x43\xB6\x75") + 4;
         const int length = __builtin_clz(std::uint32_t{f.at(at)}) - 23;
         f.at(at) = static_cast<std::uint8_t>(0xFF >> (length - 1));
         for (int i = 1; i < length; ++i) f.at(at + i) = 0xFF;
         return Size{};
     }},
    {"a Segment size past the end", "video.mkv", 1505, After::Noise, State::Searching,
     [](ByteVector& f) { return PutBE64(f, SegmentSizeAt(f), 0x0100000001000000), Size{}; }},
    {"a tag whose back-pointer disagrees", "video.flv", 1506, After::Noise, State::Found,
     [](ByteVector& f) {
         const std::size_t tag = FlvTagAt(f, 5);
         return PutBE32(f, FlvTagAt(f, 6) - 4, 12345), Size{tag};
     }},
    {"a tag past the end", "video.flv", 1506, After::Nothing, State::Searching,
     [](ByteVector& f) { return f.resize(FlvTagAt(f, 7) + 20), Size{}; }},
    {"no index objects", "video.wmv", 1507, After::Noise, State::Found,
     [](ByteVector& f) {
         f.resize(AsfDataSizeAt(f) - 16 + GetU64(f.data() + AsfDataSizeAt(f)));
         return Size{f.size()};
     }},
    {"a Data object of size 0", "video.wmv", 1507, After::Noise, State::GaveUp,
     [](ByteVector& f) { return PutU64(f.data() + AsfDataSizeAt(f), 0), Size{}; }},
    {"a Data object size that overflows", "video.wmv", 1507, After::Noise, State::GaveUp,
     [](ByteVector& f) { return PutU64(f.data() + AsfDataSizeAt(f), ~std::uint64_t{0} - 100), Size{}; }},
};

TEST(ContentRulesVideo, DamagedFiles) {
    for (const Damage& d : kDamages) {
        ByteVector file = test::Document(d.document);
        const Size size = d.damage(file);
        const ByteVector after = d.after == After::Noise ? test::Noise(600)
                                 : d.after == After::Zeros ? ByteVector(600, 0)
                                 : d.after == After::Copy  ? file
                                                           : ByteVector{};
        for (std::size_t piece : {512, 7, 1}) {
            const test::ScanOutcome out = test::ScanContent(d.type, file, after, piece);
            EXPECT_EQ(out.state, d.state) << d.what << ", pieces of " << piece;
            EXPECT_EQ(out.size, size) << d.what << ", pieces of " << piece;
        }
    }
}

// The rule shown only the file's first bytes, as for a file at the end of
// the chunk in memory.
std::unique_ptr<EndScanner> RuleOnFirstBytes(std::int16_t type, std::span<const std::uint8_t> file) {
    CFoundObject record;
    record.Init();
    record.TypeId = type;
    return ApplyContentRules(record, file.first(std::min<std::size_t>(file.size(), 4096)));
}

// An AVI followed from its first bytes: when the volume ends right after
// it (or a few bytes after), the size its header states is its size.
TEST(ContentRulesVideo, AviAtTheEndOfTheVolume) {
    const ByteVector avi = test::Document("video.avi");
    for (std::size_t slack : {0, 5})
        for (std::size_t piece : {512, 7, 1}) {
            ByteVector bytes = avi;
            bytes.resize(avi.size() + slack, 0);
            const auto scanner = RuleOnFirstBytes(1501, bytes);
            ASSERT_TRUE(scanner);
            for (std::size_t at = 0; at < bytes.size(); at += piece)
                EXPECT_EQ(scanner->Feed(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at))), State::Searching);
            EXPECT_EQ(scanner->Size(), avi.size()) << slack << " bytes after, pieces of " << piece;
        }
}

// A long recording states lengths past its type's default size in its
// first bytes: it is followed at least that far.
TEST(ContentRulesVideo, LongFilesAreFollowedAsFarAsTheyReach) {
    constexpr std::uint64_t kLong = std::uint64_t{8} << 30;
    ByteVector mp4 = test::Document("video.mp4"), mkv = test::Document("video.mkv"), wmv = test::Document("video.wmv");
    const std::size_t mdat = BoxAt(mp4, "mdat");
    LongBox(mp4, mdat, kLong);
    PutBE64(mkv, SegmentSizeAt(mkv), 0x0100000000000000 | kLong);
    PutU64(wmv.data() + AsfDataSizeAt(wmv), kLong);
    const std::tuple<ByteVector*, std::int16_t, std::uint64_t> rows[] = {
        {&mp4, 1504, mdat + kLong},
        {&mkv, 1505, SegmentSizeAt(mkv) + 8 + kLong},
        {&wmv, 1507, AsfDataSizeAt(wmv) - 16 + kLong},
    };
    for (const auto& [file, type, end] : rows) {
        const auto scanner = RuleOnFirstBytes(type, *file);
        ASSERT_TRUE(scanner) << type;
        EXPECT_GE(scanner->Reach(), end) << type;
    }
}

}  // namespace
}  // namespace tl
