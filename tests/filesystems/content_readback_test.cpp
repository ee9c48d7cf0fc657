// Live files read back through the runs their file system builds: every
// fixture file is made of 16-byte lines "TAG    NNNNNNNN\n" where NNNNNNNN is
// the line's own offset, so a byte read from the wrong place shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "analysed_image.h"
#include "fat_oracle.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

// The content of `record` as its file system's runs give it, cut to its size.
std::string ContentThroughRuns(CVolume& v, const CFoundObject& record) {
    std::vector<SECTOR_RUN> runs;
    if (!v.FileSystem().BuildRuns(record, runs)) return {};
    std::string out;
    for (const auto& run : runs) {
        std::string bytes(run.SectorCount * 512, '\0');
        v.ReadSectors(bytes.data(), run.FirstSector, run.SectorCount);
        out += bytes;
        if (out.size() >= record.Size) break;
    }
    out.resize(std::min<std::size_t>(out.size(), record.Size));
    return out;
}

// Offsets that do not hold their own line; -1 when the content is whole.
long long FirstWrongLine(const std::string& content) {
    for (std::size_t o = 0; o + 16 <= content.size(); o += 16) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%08zu", o);
        if (content.compare(o + 7, 8, expected) != 0) return static_cast<long long>(o);
    }
    return -1;
}

class ReadBack : public ::testing::TestWithParam<const char*> {};

TEST_P(ReadBack, LiveFilesComeBackWhole) {
    const bool ntfs = std::string(GetParam()).rfind("ntfs", 0) == 0;
    const auto dir = test::FixturePath(ntfs ? "ntfs" : "fat");
    TL_REQUIRE_FIXTURE(ntfs ? "make_ntfs_images.sh" : "make_fat_images.sh", dir);
    AppSettings settings;
    settings.Reset(SettingsDefaults{});
    CEventLog log(settings, [] { return platform::WindowId{0}; });
    log.SetDebugOutput({});
    CVolume v(VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}});
    v.DevicePath = (dir / GetParam()).string();
    v.QueryInformation();
    AnalysisBusy() = 1;
    v.AnalyseFileSystem();
    AnalysisBusy() = 0;
    int checked = 0;
    for (CFoundObject* o : v.FoundTree().AllRecords()) {
        if (o == &v || o->IsDeleted() || o->IsFolder() || (o->Flags & FO_VOLUME) || o->Size == 0 || o->Size == CFoundObject::kUnknownSize)
            continue;
        std::vector<SECTOR_RUN> runs;
        if (ntfs && !v.FileSystem().BuildRuns(*o, runs)) continue;
        if (ntfs && runs.empty()) continue;  // resident data lives in the record itself
        if (o->GetName().rfind('$', 0) == 0 || o->ParentId == 11) continue;  // the file system's own files
        const std::string content = ContentThroughRuns(v, *o);
        EXPECT_EQ(content.size(), o->Size) << o->GetName();
        EXPECT_EQ(FirstWrongLine(content), -1) << o->GetName();
        ++checked;
    }
    EXPECT_GE(checked, ntfs ? 3 : 8);
}

INSTANTIATE_TEST_SUITE_P(Images, ReadBack,
                         ::testing::Values("fat12.img", "fat16.img", "fat32.img", "fat32_root5.img", "ntfs4k.img", "ntfs512.img"));

// ---- NTFS content stored compressed, in named streams, past its
// initialised length, or encrypted (tests/fixtures/make_ntfs_content.sh)

std::filesystem::path ContentFixture(const std::string& name) {
    const auto dir = test::FixturePath("ntfs_content");
    test::ExpectFixture("make_ntfs_content.sh", dir);
    return dir / name;
}

std::string Icat(const std::filesystem::path& image, const std::string& address) {
    return test::CommandOutput("icat -f ntfs " + test::ShellQuote(image.string()) + " " + address);
}

// Every data stream of the volume, compressed or not, named or not, live
// or deleted, system file or not, reads byte for byte as icat reads it.
TEST(NtfsContent, EveryDataStreamReadsAsIcatReadsIt) {
    const auto image = ContentFixture("ntfs_content.img");
    AnalysedImage a(image);
    const auto streams = test::FlsDataStreams(image);
    ASSERT_GT(streams.size(), 20u) << "fls listed too little";
    std::size_t named = 0, checked = 0;
    for (const auto& [path, address] : streams) {
        // The sleuth kit's own folder of records it could not place; the
        // bad-cluster stream, as long as the volume and all sparse, which
        // icat prints nothing of.
        if (path.rfind("$OrphanFiles/", 0) == 0) continue;
        const auto found = a.Named(path);
        ASSERT_EQ(found.size(), 1u) << path;
        const bool isStream = path.find(':') != std::string::npos;
        EXPECT_EQ((found[0]->Flags & FO_STREAM) != 0, isStream) << path;
        named += isStream;
        if (path == "$BadClus:$Bad") continue;
        const ReadResult r = ReadThroughReader(*found[0]);
        ASSERT_TRUE(r.opened) << path << ": " << r.problem;
        EXPECT_EQ(r.problem, "") << path;
        const std::string expected = Icat(image, address);
        EXPECT_EQ(found[0]->Size, expected.size()) << path;
        EXPECT_TRUE(r.content == expected) << path << " differs from icat " << address;
        ++checked;
    }
    for (const char* path : {"Packed/Lines.txt", "Packed/Random.bin", "Packed/Mixed.bin", "Packed/Gone.txt", "Notes.txt:big",
                             "Notes.txt:summary", "Docs:dirinfo", "Removed.txt:extra", "Prealloc.bin", "$Boot"})
        EXPECT_TRUE(streams.count(path)) << path << " is not in the fixture";
    EXPECT_GE(checked, 25u);
    std::size_t ours = 0;
    for (const CFoundObject* o : a.v.FoundTree().AllRecords()) ours += (o->Flags & FO_STREAM) != 0;
    EXPECT_EQ(ours, named) << "every named stream is listed once, and nothing else as one";
    // Identifiers name one object each, streams included: a selection by id
    // picks exactly one.
    std::map<std::uint64_t, int> seen;
    for (const CFoundObject* o : a.v.FoundTree().AllRecords())
        if (o != &a.v && !(o->Flags & FO_VOLUME)) ++seen[o->Id];
    for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << "id " << id;

    // The fixture stores what it claims: the compressed file's clusters are
    // not its bytes, and past the initialised length lie another file's.
    const auto firstRun = [&](const CFoundObject& o) {
        std::vector<SECTOR_RUN> runs;
        std::string raw;
        if (a.v.FileSystem().BuildRuns(o, runs) && !runs.empty()) {
            raw.assign(runs[0].SectorCount * 512, '\0');
            a.v.ReadSectors(raw.data(), runs[0].FirstSector, runs[0].SectorCount);
        }
        return raw;
    };
    const CFoundObject& lines = *a.Named("Packed/Lines.txt").at(0);
    EXPECT_NE(firstRun(lines).substr(0, 64), ReadThroughReader(lines).content.substr(0, 64));
    const CFoundObject& prealloc = *a.Named("Prealloc.bin").at(0);
    EXPECT_NE(firstRun(prealloc).find("STALE", 5000), std::string::npos);
    EXPECT_EQ(ReadThroughReader(prealloc).content.find_first_not_of('\0', 5000), std::string::npos);
}

// A deleted file whose folder record now belongs to another folder (its
// sequence number moved on twice) goes to a placeholder of the former
// folder; one whose folder was only deleted stays in it.
TEST(NtfsContent, DeletedFilesOfAReusedFolderRecordGoToAPlaceholder) {
    const auto image = ContentFixture("ntfs_content.img");
    AnalysedImage a(image);
    CFoundTree& tree = a.v.FoundTree();
    const CFoundObject* newDir = tree.FindFirstById(64);
    ASSERT_NE(newDir, nullptr);
    ASSERT_EQ(newDir->GetName(), "NewDir");
    EXPECT_TRUE(tree.FindChildren(64).empty()) << "NewDir holds nothing";
    const auto orphan = a.Named("lost_folder_64/Orphan.txt");
    ASSERT_EQ(orphan.size(), 1u);
    EXPECT_TRUE(orphan[0]->IsDeleted());
    const CFoundObject* folder = nullptr;
    for (CFoundObject* f : tree.FindById(orphan[0]->ParentId))
        if (f->IsFolder()) folder = f;
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->Flags & FO_LOST_FOLDER);
    EXPECT_EQ(folder->ParentId, ID_LOST_FRAGMENTS);
    EXPECT_EQ(ReadThroughReader(*orphan[0]).content, Icat(image, "77"));
    EXPECT_EQ(a.Named("Trash/Old.txt").size(), 1u) << "a deleted folder's own deleted file";
}

// An encrypted file, and compressed data that does not decode, are never
// read as if they were the file: the reader says why, the analysis logs
// them by name.
TEST(NtfsContent, EncryptedAndUndecodableContentIsRefusedWithItsReason) {
    {
        AnalysedImage a(ContentFixture("ntfs_encrypted.img"));
        const auto secret = a.Named("Secret.txt");
        ASSERT_EQ(secret.size(), 1u);
        const ReadResult r = ReadThroughReader(*secret[0]);
        EXPECT_FALSE(r.opened);
        EXPECT_EQ(r.problem, "the file is encrypted");
        EXPECT_TRUE(a.LogHas("'Secret.txt'", "encrypted"));
        const ReadResult other = ReadThroughReader(*a.Named("Docs/Report.txt").at(0));
        EXPECT_TRUE(other.opened && other.problem.empty() && other.content.size() == 3000);
    }
    // The first chunk of Lines.txt made to begin with a back-reference, which
    // has nothing to refer to.
    test::ScratchDir dir;
    const auto damaged = dir / "damaged.img";
    std::filesystem::copy_file(ContentFixture("ntfs_content.img"), damaged);
    std::uint64_t offset = 0;
    {
        AnalysedImage a(damaged);
        offset = a.Named("Packed/Lines.txt").at(0)->DataOffset;
        ASSERT_NE(offset, 0u);
    }
    std::string bytes = test::ReadFileBytes(damaged);
    ASSERT_EQ(static_cast<unsigned char>(bytes[offset + 1]) & 0x80, 0x80) << "a compressed chunk";
    bytes[offset + 2] = '\x01';
    test::WriteFileBytes(damaged, bytes);
    AnalysedImage a(damaged);
    const ReadResult r = ReadThroughReader(*a.Named("Packed/Lines.txt").at(0));
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.content.size(), 0u);
    EXPECT_EQ(r.problem, "its compressed data cannot be decoded");
}

}  // namespace
}  // namespace tl
