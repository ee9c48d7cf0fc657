#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fixture_support.h"
#include "signatures/content_rules.h"
#include "storage/little_endian.h"
#include "test_support.h"

namespace tl {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

std::vector<std::uint8_t> Sample(const std::string& name) {
    EXPECT_TRUE(test::MakeFixture("make_samples.sh", test::FixturePath("samples")));
    return Bytes(test::ReadFileBytes(test::FixturePath("samples") / name));
}

std::vector<std::uint8_t> Noise(std::size_t n, unsigned seed = 5) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

struct Outcome {
    EndScanner::State state = EndScanner::State::Searching;
    std::optional<std::uint64_t> size;
    std::int16_t type = 0;
};

// Runs the rule of `type` on `file` followed by `after`, fed in pieces of
// `piece` bytes, as the scan feeds the blocks it passes over.
Outcome Scan(std::int16_t type, std::vector<std::uint8_t> file, const std::vector<std::uint8_t>& after, std::size_t piece) {
    file.insert(file.end(), after.begin(), after.end());
    CFoundObject record;
    record.Init();
    record.TypeId = type;
    Outcome out;
    std::unique_ptr<EndScanner> scanner = ApplyContentRules(record, file);
    out.type = record.TypeId;
    if (!scanner) {
        if (record.Size != CFoundObject::kUnknownSize) out.size = record.Size;
        out.state = out.size ? EndScanner::State::Found : EndScanner::State::GaveUp;
        return out;
    }
    for (std::size_t at = 0; at < file.size() && out.state == EndScanner::State::Searching; at += piece)
        out.state = scanner->Feed(std::span<const std::uint8_t>(file).subspan(at, std::min(piece, file.size() - at)));
    out.size = scanner->Size();
    return out;
}

TEST(ContentRules, RealFilesEndWhereTheirFormatSays) {
    struct Case {
        const char* sample;
        std::int16_t type;
    };
    for (const Case c : {Case{"sample.jpg", 1301}, Case{"sample_big.jpg", 1301}, Case{"sample.png", 1302},
                         Case{"sample.pdf", 1001}, Case{"sample.zip", 1112}, Case{"sample.docx", 1110},
                         Case{"sample.odt", 1101}, Case{"sample_nested.zip", 1112}, Case{"sample.wav", 1402}}) {
        const auto file = Sample(c.sample);
        ASSERT_FALSE(file.empty()) << c.sample;
        // Whole blocks, odd pieces that split every marker somewhere, single bytes.
        for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
            const Outcome o = Scan(c.type, file, Noise(4096), piece);
            EXPECT_EQ(o.state, EndScanner::State::Found) << c.sample << " in pieces of " << piece;
            EXPECT_EQ(o.size, file.size()) << c.sample << " in pieces of " << piece;
        }
    }
}

TEST(ContentRules, IsoImagesTakeTheirSizeFromTheVolumeDescriptor) {
    const auto iso = Sample("sample.iso");
    ASSERT_GT(iso.size(), 32768u + 512u);
    // The match is the primary volume descriptor, 32768 bytes into the image.
    const std::vector<std::uint8_t> descriptor(iso.begin() + 32768, iso.begin() + 32768 + 512);
    EXPECT_EQ(Scan(504, descriptor, {}, 512).size, iso.size());
    auto bad = descriptor;
    PutU16(bad.data() + 128, 1000);  // not a power of two
    EXPECT_FALSE(Scan(504, bad, {}, 512).size);
}

TEST(ContentRules, ZipPackagesAreTypedByTheirParts) {
    EXPECT_EQ(Scan(1110, Sample("sample.docx"), {}, 512).type, 1107);
    EXPECT_EQ(Scan(1110, Sample("sample.xlsx"), {}, 512).type, 1108);
    EXPECT_EQ(Scan(1110, Sample("sample.pptx"), {}, 512).type, 1109);
    // [Content_Types].xml last: matched as a plain ZIP, still a Word document.
    EXPECT_EQ(Scan(1112, Sample("sample_rels_first.docx"), {}, 512).type, 1107);
    EXPECT_EQ(Scan(1112, Sample("sample.zip"), {}, 512).type, 1112);
    // A folder named "word" in an archive that is no package does not make a document.
    std::vector<std::uint8_t> plain(30 + 9 + 64, 0);
    PutU32(plain.data(), 0x04034B50);
    PutU16(plain.data() + 26, 9);
    std::memcpy(plain.data() + 30, "word/a.tx", 9);
    EXPECT_EQ(Scan(1112, plain, {}, 512).type, 1112);
    // Hostile local headers: lengths beyond the bytes, a data descriptor and no next header.
    PutU16(plain.data() + 26, 0xFFFF);
    EXPECT_EQ(Scan(1112, plain, {}, 512).type, 1112);
    PutU16(plain.data() + 26, 9);
    PutU16(plain.data() + 6, 8);
    EXPECT_EQ(Scan(1112, plain, {}, 512).type, 1112);
}

TEST(ContentRules, EndsThatAFormatHidesOrRepeats) {
    // A JPEG whose APP1 segment holds a whole thumbnail: the thumbnail's end
    // marker is passed over.
    const auto jpg = Sample("sample.jpg");
    std::vector<std::uint8_t> withThumb = {0xFF, 0xD8};
    const std::vector<std::uint8_t> thumb = {0xFF, 0xD8, 0xFF, 0xD9, 0x00, 0x00};
    withThumb.insert(withThumb.end(), {0xFF, 0xE1, 0x00, static_cast<std::uint8_t>(2 + thumb.size())});
    withThumb.insert(withThumb.end(), thumb.begin(), thumb.end());
    withThumb.insert(withThumb.end(), jpg.begin() + 2, jpg.end());
    EXPECT_EQ(Scan(1301, withThumb, Noise(2048), 512).size, withThumb.size());

    // A PDF updated in place has two "%%EOF"; the file ends after the last.
    const std::string first = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
    const std::string update = "2 0 obj\n<<>>\nendobj\nxref\n0 0\ntrailer\n<<>>\n%%EOF\r\n";
    EXPECT_EQ(Scan(1001, Bytes(first + update), std::vector<std::uint8_t>(600, 0), 512).size, first.size() + update.size());
    // Followed by zeros (a sector's slack) or by the next file, it ends at its own.
    EXPECT_EQ(Scan(1001, Bytes(first), std::vector<std::uint8_t>(600, 0), 512).size, first.size());
    EXPECT_EQ(Scan(1001, Bytes(first), Bytes("\xFF\xD8\xFF\xE0"), 512).size, first.size());
    // "%%%EOF" still ends the file.
    EXPECT_EQ(Scan(1001, Bytes("%PDF-1.1\n%%%EOF\n"), Bytes("GARBAGE"), 3).size, 16u);
}

TEST(ContentRules, BrokenStructuresGiveUpOrKeepSearching) {
    auto jpg = Sample("sample.jpg");
    jpg[2] = 0x12;  // no marker after the start of image
    EXPECT_EQ(Scan(1301, jpg, {}, 512).state, EndScanner::State::GaveUp);
    auto png = Sample("sample.png");
    PutU32(png.data() + 8, 0xFFFFFFF0u);  // a chunk length beyond any file
    EXPECT_EQ(Scan(1302, png, {}, 512).state, EndScanner::State::GaveUp);
    png = Sample("sample.png");
    png[12] = '1';  // a chunk type that is not letters
    EXPECT_EQ(Scan(1302, png, {}, 512).state, EndScanner::State::GaveUp);
    // Cut short: no end is made up.
    const auto zip = Sample("sample.zip");
    const Outcome cut = Scan(1112, std::vector<std::uint8_t>(zip.begin(), zip.end() - 30), {}, 512);
    EXPECT_EQ(cut.state, EndScanner::State::Searching);
    EXPECT_FALSE(cut.size);
    // A record that looks like an end but whose directory does not end before it.
    std::vector<std::uint8_t> fake = {'P', 'K', 3, 4};
    fake.resize(100, 0);
    const std::uint8_t eocd[22] = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 10, 0, 0, 0, 7, 0, 0, 0, 0, 0};
    fake.insert(fake.end(), eocd, eocd + 22);
    EXPECT_EQ(Scan(1112, fake, Noise(1024), 512).state, EndScanner::State::Searching);
    // Types without a rule are left alone.
    CFoundObject record;
    record.Init();
    record.TypeId = 1303;
    EXPECT_EQ(ApplyContentRules(record, zip), nullptr);
    EXPECT_EQ(record.Size, CFoundObject::kUnknownSize);
}

}  // namespace
}  // namespace tl
