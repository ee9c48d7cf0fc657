#include <gtest/gtest.h>

#include "content_scan.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

using test::ByteVector;
using test::Noise;
using State = EndScanner::State;

struct RealFile {
    const char* name;
    std::int16_t type;
    bool sample;  // of make_samples.sh, else of make_documents.sh
};

constexpr RealFile kCompoundFiles[] = {
    {"letter.doc", 109, false}, {"sheet.xls", 101, false}, {"slides.ppt", 105, false},
    {"sample.doc", 109, true},  {"sample.xls", 101, true}, {"sample.ppt", 105, true},
};
constexpr RealFile kTiffFiles[] = {
    {"picture.tif", 1305, false},       {"picture_strips.tif", 1305, false}, {"picture_mm.tif", 1305, false},
    {"picture_tiled.tif", 1305, false}, {"pages.tif", 1305, false},          {"sample.tif", 1305, true},
    {"sample_mm.tif", 1305, true},
};

ByteVector Load(const RealFile& f) { return f.sample ? test::Sample(f.name) : test::Document(f.name); }

test::ScanOutcome Scan(std::int16_t type, const ByteVector& file, const ByteVector& after, std::size_t piece = 512) {
    return test::ScanContent(type, file, after, piece);
}

// The entry of `tag` in the first directory of a little-endian TIFF.
std::uint8_t* TiffEntry(ByteVector& f, std::uint16_t tag) {
    const std::uint32_t ifd = GetU32(f.data() + 4);
    for (std::uint16_t i = 0; i < GetU16(f.data() + ifd); ++i) {
        std::uint8_t* e = f.data() + ifd + 2 + 12 * i;
        if (GetU16(e) == tag) return e;
    }
    ADD_FAILURE() << "no tag " << tag;
    return f.data();
}

// A little-endian TIFF of one directory, written directory last (as the
// common library does), laid out again directory first (as cameras and
// other writers do): the directory and its values move to offset 8, the
// picture's pieces after them (without the pad byte that kept the
// directory on a word boundary), and every offset follows.
ByteVector DirectoryFirst(const ByteVector& f) {
    static constexpr std::uint8_t kSize[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    const std::uint32_t ifd = GetU32(f.data() + 4);
    const std::uint32_t moved = static_cast<std::uint32_t>(f.size() - ifd);
    const auto place = [&](std::uint32_t at) { return at >= ifd ? at - ifd + 8 : at + moved; };
    ByteVector out(f.begin(), f.begin() + 8);
    out.insert(out.end(), f.begin() + ifd, f.end());
    out.insert(out.end(), f.begin() + 8, f.begin() + ifd);
    PutU32(out.data() + 4, 8);
    EXPECT_EQ(GetU32(out.data() + 10 + 12 * GetU16(out.data() + 8)), 0u) << "one directory only";
    std::vector<std::uint32_t> at, length;
    for (std::uint16_t i = 0; i < GetU16(out.data() + 8); ++i) {
        std::uint8_t* e = out.data() + 10 + 12 * i;
        const std::uint16_t tag = GetU16(e), type = GetU16(e + 2);
        const std::uint32_t count = GetU32(e + 4);
        std::uint8_t* values = e + 8;
        if (std::uint64_t{count} * kSize[type] > 4) {
            PutU32(e + 8, place(GetU32(e + 8)));
            values = out.data() + GetU32(e + 8);
        }
        if (tag == 279 || tag == 325)
            for (std::uint32_t k = 0; k < count; ++k)
                length.push_back(type == 3 ? GetU16(values + 2 * k) : GetU32(values + 4 * k));
        if (tag == 273 || tag == 324) {
            EXPECT_EQ(type, 4) << "offsets as LONG";
            for (std::uint32_t k = 0; k < count; ++k) {
                PutU32(values + 4 * k, place(GetU32(values + 4 * k)));
                at.push_back(GetU32(values + 4 * k));
            }
        }
    }
    EXPECT_EQ(at.size(), length.size());
    std::size_t end = 0;
    for (std::size_t k = 0; k < at.size() && k < length.size(); ++k) end = std::max<std::size_t>(end, at[k] + length[k]);
    EXPECT_LE(out.size() - end, 1u);
    out.resize(end);
    return out;
}

// A compound file of one FAT sector written again in 4096-byte sectors (as
// version 4 files are): a 4096-byte header, each sector's bytes at the same
// sector number, the FAT's 128 entries followed by free ones.
ByteVector LargeSectors(const ByteVector& f) {
    EXPECT_EQ(GetU32(f.data() + 44), 1u) << "one FAT sector";
    ByteVector out(f.size() / 512 * 4096, 0);
    for (std::size_t s = 0; s < f.size() / 512; ++s) std::copy_n(f.begin() + s * 512, 512, out.begin() + s * 4096);
    PutU16(out.data() + 26, 4);
    PutU16(out.data() + 30, 12);
    const std::uint32_t fat = GetU32(f.data() + 76);
    std::fill_n(out.begin() + (fat + 1) * 4096 + 512, 4096 - 512, 0xFF);
    return out;
}

// A compound file of 110 FAT sectors, one more than the header lists, as a
// large file is written: the data, the FAT in one run (or after the DIFAT
// sector), the DIFAT sector, the directory. Past the first 256 KiB, the FAT
// sector the DIFAT names lies behind the scan when the DIFAT is read.
ByteVector LargeCompound(bool difatFirst) {
    constexpr std::uint32_t kData = 13900, kFat = 110, kEnd = 0xFFFFFFFE;
    const std::uint32_t difat = difatFirst ? kData : kData + kFat, fat = difatFirst ? kData + 1 : kData;
    const std::uint32_t directory = kData + kFat + 1;
    ByteVector f((directory + 2) * 512, 0);
    const auto sector = [&](std::uint32_t n) { return f.data() + (n + 1) * 512; };
    static constexpr std::uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy_n(kMagic, 8, f.begin());
    PutU16(f.data() + 24, 0x3E);
    PutU16(f.data() + 26, 3);
    PutU16(f.data() + 28, 0xFFFE);
    PutU16(f.data() + 30, 9);
    PutU16(f.data() + 32, 6);
    PutU32(f.data() + 44, kFat);
    PutU32(f.data() + 48, directory);
    PutU32(f.data() + 56, 4096);
    PutU32(f.data() + 60, kEnd);
    PutU32(f.data() + 68, difat);
    PutU32(f.data() + 72, 1);
    for (std::uint32_t i = 0; i < 109; ++i) PutU32(f.data() + 76 + 4 * i, fat + i);
    std::fill_n(sector(difat), 512, 0xFF);
    PutU32(sector(difat), fat + 109);
    PutU32(sector(difat) + 508, kEnd);
    // The FAT: one stream over the data sectors, the FAT's and DIFAT's own marks.
    std::fill_n(sector(fat), kFat * 512, 0xFF);
    const auto entry = [&](std::uint32_t n, std::uint32_t v) { PutU32(sector(fat + n / 128) + 4 * (n % 128), v); };
    for (std::uint32_t n = 0; n < kData; ++n) entry(n, n + 1 < kData ? n + 1 : kEnd);
    for (std::uint32_t n = 0; n < kFat; ++n) entry(fat + n, 0xFFFFFFFD);
    entry(difat, 0xFFFFFFFC);
    entry(directory, kEnd);
    PutU16(sector(directory) + 66, 5);  // the root entry
    return f;
}

TEST(ContentRulesStructured, RealFilesEndAtTheirLastByte) {
    std::vector<std::pair<std::string, std::pair<std::int16_t, ByteVector>>> files;
    for (const RealFile& f : kCompoundFiles) files.push_back({f.name, {f.type, Load(f)}});
    for (const RealFile& f : kTiffFiles) files.push_back({f.name, {f.type, Load(f)}});
    files.push_back({"letter.doc in 4096-byte sectors", {109, LargeSectors(test::Document("letter.doc"))}});
    files.push_back({"110 FAT sectors, DIFAT after the FAT", {100, LargeCompound(false)}});
    files.push_back({"110 FAT sectors, DIFAT before the FAT", {100, LargeCompound(true)}});
    for (const char* name : {"picture.tif", "picture_strips.tif"})
        files.push_back({std::string(name) + " directory first", {1305, DirectoryFirst(test::Document(name))}});
    for (const auto& [name, typed] : files) {
        const auto& [type, file] = typed;
        ASSERT_GT(file.size(), 512u) << name;
        // Followed by filler, by zeros, or directly by another file of its kind.
        for (const ByteVector& after : {Noise(8192), ByteVector(8192, 0), file}) {
            for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
                if (piece == 1 && file.size() > (1u << 20)) continue;  // time
                const test::ScanOutcome o = Scan(type, file, after, piece);
                EXPECT_EQ(o.state, State::Found) << name << " in pieces of " << piece;
                EXPECT_EQ(o.size, file.size()) << name << " in pieces of " << piece;
            }
        }
        // Cut short, it has no end: none is made up from what its tables claim.
        for (std::size_t cut : {std::size_t{1}, file.size() / 2}) {
            const test::ScanOutcome o = Scan(type, ByteVector(file.begin(), file.end() - cut), {});
            EXPECT_FALSE(o.size) << name << " less " << cut << " bytes";
        }
    }
}

TEST(ContentRulesStructured, CompoundHeadersThatMakeNoSenseAreNotFollowed) {
    const ByteVector letter = test::Document("letter.doc");
    ASSERT_GT(letter.size(), 4096u);
    struct Damage {
        std::size_t at;
        std::uint32_t value;
        bool wide;
        const char* what;
    };
    for (const Damage d : {Damage{30, 13, false, "8192-byte sectors"}, Damage{30, 7, false, "128-byte sectors"},
                           Damage{44, 0, true, "no FAT"}, Damage{44, 0x02000001, true, "more than 2^32 sectors"},
                           Damage{44, 110, true, "110 FAT sectors, no DIFAT"},
                           Damage{48, 0x40000000, true, "directory beyond the FAT"},
                           Damage{76, 0xFFFFFFFE, true, "FAT sector ENDOFCHAIN"}}) {
        ByteVector file = letter;
        if (d.wide) PutU32(file.data() + d.at, d.value);
        else PutU16(file.data() + d.at, static_cast<std::uint16_t>(d.value));
        const test::ScanOutcome o = Scan(109, file, Noise(4096));
        EXPECT_EQ(o.state, State::GaveUp) << d.what;
        EXPECT_FALSE(o.size) << d.what;
    }
}

TEST(ContentRulesStructured, CompoundTablesThatDoNotDescribeTheFileGiveNoSize) {
    const ByteVector letter = test::Document("letter.doc");
    const ByteVector slides = test::Document("slides.ppt");
    ASSERT_EQ(GetU32(slides.data() + 44), 8u) << "slides.ppt has 8 FAT sectors";
    struct Damage {
        const ByteVector* file;
        std::size_t at;
        std::uint32_t value;
        const char* what;
    };
    // FAT sectors the FAT can describe but that lie past the file; the
    // directory past the sectors in use.
    for (const Damage d : {Damage{&letter, 76, 100, "letter.doc: FAT at sector 100"},
                           Damage{&slides, 76 + 7 * 4, 1000, "slides.ppt: 8th FAT sector at 1000"},
                           Damage{&letter, 48, 100, "letter.doc: directory at sector 100"}}) {
        ByteVector file = *d.file;
        PutU32(file.data() + d.at, d.value);
        for (const ByteVector& after : {ByteVector{}, ByteVector(1 << 20, 0), Noise(1 << 20)}) {
            const test::ScanOutcome o = Scan(109, file, after);
            EXPECT_FALSE(o.size) << d.what << ", " << after.size() << " bytes after";
        }
    }

    // A DIFAT chain that comes back to itself: 237 FAT sectors need two
    // DIFAT sectors, and the one at sector 5 names itself as the next.
    ByteVector loop = letter;
    PutU32(loop.data() + 44, 237);
    PutU32(loop.data() + 68, 5);
    PutU32(loop.data() + 72, 2);
    for (int i = 1; i < 109; ++i) PutU32(loop.data() + 76 + 4 * i, 0);
    std::uint8_t* difat = loop.data() + 6 * 512;
    std::fill(difat, difat + 508, 0);
    PutU32(difat + 508, 5);
    for (std::size_t piece : {std::size_t{512}, std::size_t{1}}) {
        const test::ScanOutcome o = Scan(109, loop, Noise(4096), piece);
        EXPECT_EQ(o.state, State::GaveUp);
        EXPECT_FALSE(o.size);
    }
}

TEST(ContentRulesStructured, TiffChainsThatComeBackEndOnce) {
    ByteVector self = test::Document("picture.tif");
    const std::uint32_t ifd = GetU32(self.data() + 4);
    PutU32(self.data() + ifd + 2 + 12 * GetU16(self.data() + ifd), ifd);
    ByteVector back = test::Document("pages.tif");
    const std::uint32_t first = GetU32(back.data() + 4);
    const std::uint32_t second = GetU32(back.data() + first + 2 + 12 * GetU16(back.data() + first));
    ASSERT_NE(second, 0u) << "pages.tif has two directories";
    PutU32(back.data() + second + 2 + 12 * GetU16(back.data() + second), first);
    for (const ByteVector* file : {&self, &back}) {
        const test::ScanOutcome o = Scan(1305, *file, Noise(4096), 7);
        EXPECT_EQ(o.state, State::Found);
        EXPECT_EQ(o.size, file->size());
    }
}

TEST(ContentRulesStructured, TiffPiecesThatCannotBeKnownGiveNoSize) {
    ByteVector strips = test::Document("picture_strips.tif");
    const auto array = [](ByteVector& f, std::uint16_t tag) { return f.data() + GetU32(TiffEntry(f, tag) + 8); };
    ASSERT_EQ(GetU16(TiffEntry(strips, 273) + 2), 4) << "strip offsets as LONG";
    ASSERT_EQ(GetU16(TiffEntry(strips, 279) + 2), 3) << "strip lengths as SHORT";

    // The last strip 2 GB into the file: whatever follows, no size.
    ByteVector far = strips;
    PutU32(array(far, 273) + 11 * 4, 0x7FFFFFF0);
    for (const ByteVector& after : {ByteVector{}, ByteVector(1 << 20, 0), Noise(1 << 20)})
        EXPECT_FALSE(Scan(1305, far, after).size) << after.size() << " bytes after";
    // The last strip longer than the bytes there are.
    ByteVector longer = strips;
    PutU16(array(longer, 279) + 11 * 2, 0xFFFF);
    EXPECT_FALSE(Scan(1305, longer, {}).size);

    // Strips whose lengths cannot be known, a field type no reader knows.
    struct Damage {
        std::size_t at;  // into the entry of the strip lengths
        std::uint16_t value;
        const char* what;
    };
    for (const Damage d : {Damage{0, 280, "strips without lengths"}, Damage{2, 0x99, "unknown field type"},
                           Damage{4, 11, "11 lengths for 12 strips"}}) {
        ByteVector file = strips;
        PutU16(TiffEntry(file, 279) + d.at, d.value);
        const test::ScanOutcome o = Scan(1305, file, Noise(4096));
        EXPECT_EQ(o.state, State::GaveUp) << d.what;
        EXPECT_FALSE(o.size) << d.what;
    }
    // BigTIFF (64-bit offsets) is not followed.
    ByteVector big = strips;
    PutU16(big.data() + 2, 43);
    EXPECT_EQ(Scan(1305, big, {}).state, State::GaveUp);
}

}  // namespace
}  // namespace tl
