// FAT images damaged in the ways real disks and hostile files are: the
// analysis ends, with log lines and what it could read, never a crash or a
// hang (run under ASan and UBSan too).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/file_system_fat.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "hostile/image_corruptor.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

class FatHostile : public ::testing::Test {
protected:
    void SetUp() override { TL_REQUIRE_FIXTURE("make_fat_images.sh", test::FixturePath("fat")); }
    static std::vector<std::uint8_t> Load(const char* name) {
        const std::string bytes = test::ReadFileBytes(test::FixturePath("fat") / name);
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    FatHostile() {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
        AnalysisBusy() = 1;
    }
    ~FatHostile() override { AnalysisBusy() = 0; }

    // The volume of `image` in memory, its boot sector analysed.
    std::unique_ptr<CVolume> Volume(std::vector<std::uint8_t> image) {
        auto v = std::make_unique<CVolume>(VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}});
        v->DevicePath = "/images/damaged.img";
        v->SetDevice(std::make_shared<MemorySectorDevice>(std::move(image)));
        v->Analyse_Boot();
        return v;
    }
    // Analyses `image` in memory; returns how many objects the tree holds.
    std::size_t Analyse(std::vector<std::uint8_t> image) {
        auto v = Volume(std::move(image));
        v->AnalyseFileSystem();
        return v->FoundTree().Count();
    }
    bool LogHas(const std::string& text) const {
        for (const auto& l : log.Lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
};

TEST_F(FatHostile, ChainsThatLoopOrLeaveTheTable) {
    auto image = Load("fat16.img");
    ASSERT_FALSE(image.empty());
    const std::size_t intact = Analyse(image);
    ASSERT_GT(intact, 10u);
    const std::uint32_t reserved = GetU16(image.data() + 14);
    const std::uint32_t fatBytes = GetU16(image.data() + 22) * 512u;
    std::uint8_t* fat = image.data() + reserved * 512;
    // Every chain loops back to its own start: directories are read once.
    for (std::uint32_t n = 2; n < fatBytes / 2; ++n)
        if (GetU16(fat + n * 2) != 0) PutU16(fat + n * 2, static_cast<std::uint16_t>(n));
    EXPECT_GT(Analyse(image), 5u);
    // Every chain points beyond the table (FAT32's 0x0FFFFFF7 style marker too).
    for (std::uint32_t n = 2; n < fatBytes / 2; ++n)
        if (GetU16(fat + n * 2) != 0) PutU16(fat + n * 2, 0xFFF7);
    EXPECT_GT(Analyse(image), 5u);
    EXPECT_TRUE(LogHas("FAT1 and FAT2 not equal!"));
}

TEST_F(FatHostile, BrokenBootParametersAndTruncatedImages) {
    const auto intact = Load("fat16.img");
    ASSERT_FALSE(intact.empty());
    const std::vector<std::function<void(std::vector<std::uint8_t>&)>> damages = {
        [](auto& b) { PutU16(b.data() + 11, 0); },          // bytes per sector 0
        [](auto& b) { b[13] = 0; },                          // sectors per cluster 0
        [](auto& b) { PutU16(b.data() + 17, 0xFFFF); },      // root entries far beyond the volume
        [](auto& b) { PutU16(b.data() + 22, 0xFFFF); },      // a FAT larger than the image
        [](auto& b) { b[16] = 255; },                        // 255 copies of the FAT
        [](auto& b) { PutU16(b.data() + 14, 0xFFFF); },      // reserved sectors beyond the image
        [](auto& b) { b.resize(b.size() / 64); },            // cut in the middle of the FAT
        [](auto& b) { b.resize(40 * 1024); },                // cut in the root directory
        [](auto& b) { b.resize(513); },                      // the boot sector and one byte
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        auto image = intact;
        damages[i](image);
        const std::size_t before = log.LineCount();
        Analyse(image);  // must end
        EXPECT_GT(log.LineCount(), before) << "damage " << i << " left no line in the log";
    }
}

TEST_F(FatHostile, GarbageDirectoriesAndADirectoryThatContainsItself) {
    auto image = Load("fat12.img");
    ASSERT_FALSE(image.empty());
    const std::uint32_t reserved = GetU16(image.data() + 14);
    const std::uint32_t rootSector = reserved + image[16] * GetU16(image.data() + 22);
    const std::uint32_t rootEntries = GetU16(image.data() + 17);
    // A directory entry in the root that claims the root's own first data
    // cluster as a subfolder, twice, and a subfolder pointing at itself.
    std::uint8_t* root = image.data() + rootSector * 512;
    std::uint8_t* last = root + (rootEntries - 2) * 32;
    std::memcpy(last, "LOOPDIR    ", 11);
    last[11] = 0x10;
    PutU16(last + 26, 2);
    std::memcpy(last + 32, "LOOPDIR2   ", 11);
    last[32 + 11] = 0x10;
    PutU16(last + 32 + 26, 2);
    EXPECT_GT(Analyse(image), 5u);
    // Random bytes over the whole data area: entries are refused, nothing hangs.
    std::uint32_t seed = 12345;
    for (std::size_t i = (rootSector + rootEntries * 32 / 512) * 512; i < image.size(); ++i) {
        seed = seed * 1103515245 + 12345;
        image[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    Analyse(image);
}

// Entries that name the same clusters are still objects of their own: each
// has the place of its entry as its id, so a folder that leads back to its
// ancestor is listed once and empty, and files that share a cluster or have
// none are picked one by one.
TEST_F(FatHostile, EntriesThatShareClustersKeepIdsOfTheirOwn) {
    auto image = Load("links12.img");
    ASSERT_FALSE(image.empty());
    test::FatImage f(image);
    const std::size_t a = *f.Find(0, "A          ");
    const std::size_t b = *f.Find(f.StartCluster(a), "B          ");
    const std::size_t c = *f.Find(f.StartCluster(b), "C          ");
    f.SetStartCluster(*f.Find(f.StartCluster(c), "A          "), f.StartCluster(a));  // A/B/C/A is A again
    const std::size_t share1 = *f.Find(0, "SHARE1  TXT"), share2 = *f.Find(0, "SHARE2  TXT");
    f.SetStartCluster(share2, f.StartCluster(share1));
    auto v = Volume(image);
    v->Label.clear();  // the walk reads it again
    v->AnalyseFileSystem();
    EXPECT_EQ(v->Label, "LINKS");
    CFoundTree& tree = v->FoundTree();

    std::set<std::uint64_t> ids;
    std::map<std::string, const CFoundObject*> byName;
    std::map<std::string, int> listed;
    const std::function<void(std::uint64_t, int)> walk = [&](std::uint64_t parent, int depth) {
        ASSERT_LT(depth, 8) << "the tree goes round";
        for (CFoundObject* o : tree.FindChildren(parent)) {
            if ((o->Flags & FO_VOLUME) || o == tree.Root()) continue;
            EXPECT_TRUE(ids.insert(o->Id).second) << o->GetName() << " shares the id " << o->Id;
            ++listed[tree.GetFullPath(*o) + o->GetName()];
            byName[o->GetName()] = o;
            if (o->IsFolder()) walk(o->Id, depth + 1);
        }
    };
    walk(tree.Root()->Id, 0);
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FRAGMENTS).empty()) << "every entry's folder was found";
    EXPECT_EQ(listed["\\A\\B\\C\\A"], 1);
    EXPECT_EQ(listed["\\A\\B\\Empty Four.txt"], 1);
    EXPECT_EQ(listed["\\A Much Longer Folder Name\\in.txt"], 1) << "a renamed folder's content is the live one's";
    EXPECT_EQ(listed.size(), 14u);
    EXPECT_TRUE(LogHas("which another folder already holds (a loop)"));

    // The two files of one cluster: their own ids, the same content.
    ASSERT_TRUE(byName.count("SHARE1.TXT") && byName.count("SHARE2.TXT"));
    EXPECT_EQ(byName["SHARE2.TXT"]->Id, share2) << "the id is the entry's byte offset";
    EXPECT_EQ(byName["SHARE1.TXT"]->Id, share1);
    EXPECT_EQ(byName["SHARE2.TXT"]->StartPos, f.StartCluster(share1)) << "content is read from the first cluster";
    std::vector<SECTOR_RUN> one, two;
    ASSERT_TRUE(v->FileSystem().BuildRuns(*byName["SHARE1.TXT"], one));
    ASSERT_TRUE(v->FileSystem().BuildRuns(*byName["SHARE2.TXT"], two));
    EXPECT_EQ(one.front().FirstSector, two.front().FirstSector);
    // Files without a cluster, each in its own folder.
    for (const char* empty : {"Empty One.txt", "Empty Two.txt", "EMPTY3.TXT", "Empty Four.txt"}) {
        ASSERT_TRUE(byName.count(empty)) << empty;
        EXPECT_EQ(byName[empty]->StartPos, 0u);
    }
    EXPECT_EQ(byName["Empty Four.txt"]->ParentId, byName["B"]->Id);
}

// The two copies of the table are compared to their last byte: a copy that
// differs only there is still told, and equal copies are not.
TEST_F(FatHostile, CopiesOfTheTableThatDifferAreTold) {
    const char* differ = "FAT1 and FAT2 not equal";
    for (const bool patched : {false, true}) {
        std::vector<std::uint8_t> image = Load("label32.img");
        const std::uint64_t reserved = GetU16(image.data() + 14), perFat = GetU32(image.data() + 36);
        if (patched) image[(reserved + 2 * perFat) * 512 - 1] ^= 0x5A;
        const std::size_t before = log.LineCount();
        Analyse(std::move(image));
        const auto lines = log.Lines();
        const bool told = std::any_of(lines.end() - static_cast<std::ptrdiff_t>(log.LineCount() - before), lines.end(),
                                      [&](const std::string& l) { return l.find(differ) != std::string::npos; });
        EXPECT_EQ(told, patched);
    }
}

}  // namespace
}  // namespace tl
