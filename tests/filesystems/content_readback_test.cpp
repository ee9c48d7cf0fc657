// Live files read back through the runs their file system builds: every
// fixture file is made of 16-byte lines "TAG    NNNNNNNN\n" where NNNNNNNN is
// the line's own offset, so a byte read from the wrong place shows.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"

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
    if (!test::MakeFixture(ntfs ? "make_ntfs_images.sh" : "make_fat_images.sh", dir)) {
        ASSERT_FALSE(!ntfs) << "the FAT images could not be made";
        GTEST_SKIP() << "the NTFS images could not be made here";
    }
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

}  // namespace
}  // namespace tl
