#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "content_scan.h"
#include "fixture_support.h"
#include "signatures/content_rules.h"
#include "storage/little_endian.h"
#include "test_support.h"

namespace tl {
namespace {

using test::Bytes;
using test::Noise;
using test::Sample;
using Outcome = test::ScanOutcome;

Outcome Scan(std::int16_t type, std::vector<std::uint8_t> file, const std::vector<std::uint8_t>& after, std::size_t piece) {
    return test::ScanContent(type, std::move(file), after, piece);
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

// Documents written by the office suite and the picture, sound, video and
// archive tools: every kind of the first set that a Debian tool writes.
TEST(ContentRules, RealDocumentsOfEveryKindEndWhereTheyEnd) {
    // `joins`: a second copy right after it continues the file (several
    // members of a compressed stream are one file; text runs on), so the
    // scan relies on the copy's own record to cut it.
    struct Case {
        const char* document;
        std::int16_t type;
        bool joins = false;
    };
    static constexpr Case kCases[] = {
        {"letter.doc", 109}, {"sheet.xls", 101}, {"slides.ppt", 105}, {"letter.pdf", 1001}, {"letter.rtf", 1002},
        {"letter.eps", 1003, true}, {"letter.ps", 1005, true}, {"letter.html", 1007, true}, {"letter.xml", 1008, true},
        {"drawing.svg", 1008, true}, {"picture.djvu", 1009}, {"letter.odt", 1101}, {"sheet.ods", 1102},
        {"slides.odp", 1103}, {"drawing.odg", 1104}, {"letter.epub", 1105}, {"letter.docx", 1110},
        {"sheet.xlsx", 1110}, {"slides.pptx", 1110}, {"library.jar", 1111}, {"archive.zip", 1112},
        {"archive.7z", 1201}, {"text.gz", 1204, true}, {"multi.gz", 1204, true}, {"text.bz2", 1205, true}, {"text.xz", 1206, true},
        {"text.zst", 1207, true}, {"archive.cab", 1208}, {"picture.bmp", 503}, {"picture.jpg", 1301},
        {"picture.png", 1302}, {"picture.gif", 1303}, {"animation.gif", 1303}, {"picture.tif", 1305},
        {"picture_strips.tif", 1305}, {"picture_mm.tif", 1305}, {"picture_tiled.tif", 1305}, {"pages.tif", 1305},
        {"picture.webp", 1306}, {"picture.heic", 1307}, {"picture.avif", 1308}, {"picture.psd", 1310},
        {"picture_raw.psd", 1310}, {"picture.jp2", 1311}, {"drawing.emf", 1313}, {"drawing.wmf", 1314},
        {"audio.mp3", 1401}, {"audio.wav", 1402}, {"audio.flac", 1403}, {"audio.ogg", 1404},
        {"audio.opus", 1404}, {"music.mid", 1405}, {"audio.aiff", 1406}, {"audio.m4a", 1407},
        {"video.avi", 1501}, {"video.mov", 1502}, {"video.3gp", 1503}, {"video.mp4", 1504},
        {"video.mkv", 1505}, {"video.webm", 1505}, {"video.flv", 1506}, {"video.wmv", 1507},
        {"notes.sqlite", 1601}, {"contacts.vcf", 1702, true}, {"calendar.ics", 1703, true},
    };
    for (const Case& c : kCases) {
        const auto file = test::Document(c.document);
        ASSERT_FALSE(file.empty()) << c.document;
        // Random bytes after it, zeros (a sector's slack), or a second copy;
        // the first way it goes wrong is reported.
        std::string wrong;
        for (const auto& after : {Noise(4096, 11), std::vector<std::uint8_t>(4096, 0), file}) {
            if (c.joins && after.size() != 4096) continue;
            for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
                if (piece == 1 && file.size() > 64 * 1024 && after.size() != 4096) continue;  // slow and adds nothing
                const Outcome o = Scan(c.type, file, after, piece);
                if (wrong.empty() && o.size != file.size())
                    wrong = (o.size ? std::to_string(*o.size) : std::string("no size")) + " in pieces of " +
                            std::to_string(piece) + " with " + std::to_string(after.size()) + " bytes after it";
            }
        }
        EXPECT_EQ(wrong, "") << c.document << " (" << file.size() << " bytes)";
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
    record.TypeId = 1006;  // WordPerfect
    EXPECT_EQ(ApplyContentRules(record, zip), nullptr);
    EXPECT_EQ(record.Size, CFoundObject::kUnknownSize);
}

// Text documents end after their last closing mark before the text stops,
// with the line end that follows the mark; what follows the text does not
// count, however text-like it starts.
TEST(ContentRules, TextDocumentsEndAfterTheirLastMarkBeforeTheTextStops) {
    const std::string page = "<!DOCTYPE html>\n<html><body><p>a</p></body></html>\r\n";
    EXPECT_EQ(Scan(1007, Bytes(page), Bytes("more text\x01\x02"), 7).size, page.size());
    EXPECT_EQ(Scan(1007, Bytes(page), std::vector<std::uint8_t>(100, 0), 1).size, page.size());
    // Two cards: the file ends after the second.
    const std::string cards = "BEGIN:VCARD\r\nFN:A\r\nEND:VCARD\r\nBEGIN:VCARD\r\nFN:B\r\nend:vcard\r\n";
    EXPECT_EQ(Scan(1702, Bytes(cards), Noise(512), 3).size, cards.size());
    // XML: the root element's end tag, past a doctype and a comment that name it.
    const std::string xml = "<?xml version=\"1.0\"?>\n<!-- <note> --><!DOCTYPE note [<!ELEMENT note ANY>]>"
                            "<note><note>inner</note></note>";
    EXPECT_EQ(Scan(1008, Bytes(xml), Bytes("\n\x00\x00"), 5).size, xml.size() + 1);
    // PostScript: an embedded document's "%%EOF" and one that is not at a
    // line's start do not end the file; binary data inside does not either.
    const std::string ps = "%!PS-Adobe-3.0\n%%BeginDocument\n%!PS\n%%EOF\n%%EndDocument\n(%%EOF) pop\n\x01\x02\n%%EOF\n";
    EXPECT_EQ(Scan(1005, Bytes(ps), Noise(512, 3), 1).size, ps.size());
    // A text that never closes is followed to the type's default size only:
    // no size is made up when it is cut there.
    std::vector<std::uint8_t> endless = Bytes("<html><body>");
    endless.resize(8 * 1024 * 1024, 'x');
    const Outcome cut = test::ScanContent(1007, endless, {}, 1 << 20, 256 * 1024);
    EXPECT_EQ(cut.state, EndScanner::State::Searching);
    EXPECT_FALSE(cut.size);
    // A text that stops without its mark ends where it stops.
    EXPECT_EQ(Scan(1007, Bytes("<html><p>cut short"), std::vector<std::uint8_t>(64, 0), 512).size, 18u);
}

TEST(ContentRules, RtfAndGifWalksEndOnlyWhereTheirStructureDoes) {
    // Escaped braces, a hex escape that looks like a brace, and raw bytes
    // of \bin that hold braces and NULs.
    using namespace std::string_literals;
    const std::string rtf = "{\\rtf1 a\\{ b\\}{\\f0 c\\'7b}{\\bin4 }\x00{{}}\n"s;
    EXPECT_EQ(Scan(1002, Bytes(rtf), Noise(256), 1).size, rtf.size());
    // Braces that never close: no size, and a control code gives up.
    const std::string open = "{\\rtf1 {\\b never closed}";
    EXPECT_FALSE(Scan(1002, Bytes(open), Bytes("more text"), 512).size);
    EXPECT_EQ(Scan(1002, Bytes(open), std::vector<std::uint8_t>(2, 0), 512).state, EndScanner::State::GaveUp);

    const auto gif = test::Document("animation.gif");
    ASSERT_GT(gif.size(), 800u);
    // A sub-block length of 0 in the middle of the first picture's data: the
    // picture ends there and what follows introduces no block.
    auto broken = gif;
    const std::size_t screen = 13 + ((gif[10] & 0x80) ? (3u << ((gif[10] & 7) + 1)) : 0u);
    std::size_t at = screen;
    while (at < gif.size() && gif[at] == 0x21) {  // extensions before the picture
        at += 2;
        while (at < gif.size() && gif[at]) at += gif[at] + 1u;
        ++at;
    }
    ASSERT_EQ(gif[at], 0x2C);
    const std::size_t data = at + 10 + ((gif[at + 9] & 0x80) ? (3u << ((gif[at + 9] & 7) + 1)) : 0u) + 1;
    ASSERT_GT(gif[data], 4);
    broken[data + 1 + gif[data]] = 0;  // the second sub-block's length
    const Outcome o = Scan(1303, broken, Noise(512), 512);
    EXPECT_NE(o.size, gif.size());
    EXPECT_TRUE(o.state == EndScanner::State::GaveUp || o.size < gif.size());
    // Cut short: no end is made up.
    EXPECT_FALSE(Scan(1303, std::vector<std::uint8_t>(gif.begin(), gif.end() - 1), {}, 512).size);
}

}  // namespace
}  // namespace tl
