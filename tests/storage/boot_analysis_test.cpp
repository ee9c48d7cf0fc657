#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "storage/little_endian.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

struct Found {
    std::uint64_t offset;
    int type;
};

class BootAnalysisTest : public ::testing::Test {
protected:
    BootAnalysisTest() {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
    }
    VolumeContext Context() {
        VolumeContext c{&settings, &log, nullptr, nullptr, {}};
        c.addFoundVolume = [this](const CFoundObject& o) { found.push_back({o.DataOffset, o.TypeId}); };
        return c;
    }
    std::unique_ptr<CVolume> MemoryVolume(std::vector<std::uint8_t> bytes) {
        auto v = std::make_unique<CVolume>(VK_IMAGE, Context());
        v->DevicePath = "/images/test.dsk";
        v->SetDevice(std::make_shared<MemorySectorDevice>(std::move(bytes)));
        return v;
    }
    bool LogHas(const std::string& text) const {
        for (const auto& l : log.Lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
    std::vector<Found> found;
};

// A partition table at sector `at` of `disk` with up to four entries.
void WriteTable(std::vector<std::uint8_t>& disk, std::uint64_t at,
                std::initializer_list<std::tuple<std::uint8_t, std::uint32_t, std::uint32_t>> entries) {
    std::uint8_t* t = disk.data() + at * 512;
    int i = 0;
    for (const auto& [type, first, count] : entries) {
        std::uint8_t* e = t + 446 + 16 * i++;
        e[4] = type;
        PutU32(e + 8, first);
        PutU32(e + 12, count);
    }
    t[510] = 0x55;
    t[511] = 0xAA;
}

TEST_F(BootAnalysisTest, RealPartitionedDiskMatchesTheOracle) {
    const auto image = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", image);
    CVolume disk(VK_IMAGE, Context());
    disk.DevicePath = image.string();
    disk.QueryInformation();
    ASSERT_EQ(disk.State.load(), 1);
    EXPECT_EQ(disk.TotalSectors, 262144u);
    EXPECT_EQ(disk.FileSystem().TypeCode, 0u);

    std::vector<std::pair<std::uint64_t, int>> expected = {
        {2048 * 512ULL, 1}, {6144 * 512ULL, 6}, {24576 * 512ULL, 0x0c}, {108544 * 512ULL, 7}, {151552 * 512ULL, 0x0e}};
    // The Sleuth Kit's view of the same file, when it is installed.
    if (std::system("command -v mmls >/dev/null 2>&1") == 0) {
        const std::string cmd = "mmls " + test::ShellQuote(image.string()) + " 2>/dev/null";
        std::vector<std::pair<std::uint64_t, int>> oracle;
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, p)) {
                unsigned long long start = 0;
                char slot[32] = {};
                unsigned type = 0;
                const char* paren = std::strstr(line, "(0x");
                if (std::sscanf(line, "%*s %31s %llu", slot, &start) == 2 && std::strchr(slot, ':') && paren &&
                    std::sscanf(paren, "(0x%x)", &type) == 1 && type != 5 && type != 15)
                    oracle.push_back({start * 512, static_cast<int>(type)});
            }
            ::pclose(p);
        }
        EXPECT_EQ(oracle, expected) << "the fixture and the oracle disagree";
    }
    std::vector<std::pair<std::uint64_t, int>> got;
    for (const auto& f : found) got.push_back({f.offset, f.type});
    EXPECT_EQ(got, expected);

    // A found volume reads its own boot sector through the disk at its offset.
    for (const auto& [offset, type] : expected) {
        CVolume v(VK_FOUND, Context());
        v.Parent = &disk;
        v.VolumeOffset = offset;
        ASSERT_EQ(v.Analyse_Boot(), 1);
        const std::uint32_t code = v.FileSystem().TypeCode;
        EXPECT_EQ(code, type == 1 ? 1u : type == 7 ? 7u : type == 0x0c ? 11u : 4u) << offset;
        EXPECT_GT(v.TotalSectors, 0u) << "NTFS takes its count from the boot sector too";
        if (type == 7) {
            EXPECT_EQ(v.TotalSectors, 40959u);  // the backup boot sector lies past the count
            EXPECT_NE(v.SerialNumber, 0u);
        } else {
            EXPECT_FALSE(v.Label.empty());
        }
    }
}

TEST_F(BootAnalysisTest, BootSectorsAreClassifiedAndTheirFieldsTaken) {
    std::vector<std::uint8_t> disk(4 * 512, 0);
    std::memcpy(disk.data() + 3, "NTFS    ", 8);
    std::memcpy(disk.data() + 54, "FAT16   ", 8);  // the FAT test comes first
    disk[13] = 4;
    PutU16(disk.data() + 19, 0);
    PutU32(disk.data() + 32, 0);
    PutU32(disk.data() + 39, 0xCAFEF00D);
    std::memcpy(disk.data() + 43, "MYLABEL    ", 11);
    auto v = MemoryVolume(disk);
    v->Kind = VK_FOUND;  // no file size to fall back on
    CVolume parent(VK_IMAGE, Context());
    parent.SetDevice(std::make_shared<MemorySectorDevice>(disk));
    v->Parent = &parent;
    ASSERT_EQ(v->Analyse_Boot(), 1);
    EXPECT_EQ(v->FileSystem().TypeCode, 4u);
    EXPECT_EQ(v->SectorsPerCluster, 4u);
    EXPECT_EQ(v->SerialNumber, 0xCAFEF00Du);
    EXPECT_EQ(v->Label, "MYLABEL");
    EXPECT_EQ(v->TotalSectors, 0u);
    EXPECT_EQ(v->Size, 0u);
    EXPECT_TRUE(LogHas("boot_fat16->BPB.Large_Sectors == 0 && boot_fat16->BPB.Small_Sectors == 0"));
    EXPECT_EQ(v->ClusterSize, 2048u);
}

TEST_F(BootAnalysisTest, HostileTablesEndAndNeverReachBeyondTheDisk) {
    // 16 MiB of zeros with an MBR whose extended chain loops back on itself.
    std::vector<std::uint8_t> disk(32768 * 512, 0);
    WriteTable(disk, 0, {{0x0c, 2048, 4096}, {5, 8192, 20000}, {7, 40000, 10}, {6, 100, 99999999}});
    WriteTable(disk, 8192, {{0x0e, 64, 128}, {5, 0, 100}});  // the link points at itself
    auto v = MemoryVolume(disk);
    ASSERT_EQ(v->Analyse_Boot(), 1);
    std::vector<std::uint64_t> offsets;
    for (const auto& f : found) offsets.push_back(f.offset);
    // 40000 starts beyond the disk: skipped; 99999999 sectors: only warned about.
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{2048 * 512ULL, (8192 + 64) * 512ULL, 100 * 512ULL}));
    EXPECT_TRUE(LogHas("pPartition->NumberSectors > TotalSectors"));
    EXPECT_TRUE(LogHas("loops or is deeper than"));

    // A chain thousands deep ends too.
    found.clear();
    std::vector<std::uint8_t> deep(40000 * 512, 0);
    WriteTable(deep, 0, {{5, 10, 39000}});
    for (std::uint32_t s = 10; s + 10 < 39000; s += 10) WriteTable(deep, s, {{1, 1, 1}, {5, s, 5}});
    auto d = MemoryVolume(deep);
    ASSERT_EQ(d->Analyse_Boot(), 1);
    EXPECT_LE(found.size(), 260u);
    EXPECT_TRUE(LogHas("loops or is deeper than"));
}

TEST_F(BootAnalysisTest, ImagesTooSmallOrOddAndBlankBootSectors) {
    for (std::size_t size : {std::size_t{0}, std::size_t{511}}) {
        found.clear();
        auto v = MemoryVolume(std::vector<std::uint8_t>(size, 0));
        EXPECT_EQ(v->Analyse_Boot(), static_cast<std::int32_t>(0x80004005)) << size;
        EXPECT_TRUE(found.empty());
    }
    EXPECT_TRUE(LogHas("ERR: Can't read boot sector on [test.dsk]"));
    for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        found.clear();
        auto v = MemoryVolume(std::vector<std::uint8_t>(1000 * 512 + 77, fill));
        ASSERT_EQ(v->Analyse_Boot(), 1);
        EXPECT_EQ(v->FileSystem().TypeCode, 0u);
        EXPECT_TRUE(found.empty());
        EXPECT_EQ(v->Size, 1000u * 512 + 77);
        EXPECT_EQ(v->TotalSectors, 1000u);
    }
}

TEST_F(BootAnalysisTest, OffsetsStayWideAbove32Bits) {
    // A partition at sector 16777216 (8 GiB) on a disk of 40 GiB, read lazily.
    std::vector<std::uint8_t> mbr(512, 0);
    WriteTable(mbr, 0, {{0x0c, 16777216, 2048}});
    auto v = MemoryVolume(mbr);
    v->Kind = VK_PHYSICAL;
    v->TotalSectors = 40ULL << 21;
    v->Analyse_Boot();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].offset, 8589934592ULL);
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST_F(BootAnalysisTest, ObjectsFromTheSectorScanGoWhereTheyBelong) {
    auto v = MemoryVolume(std::vector<std::uint8_t>(64 * 512, 0));
    v->Id = 777;
    CFoundObject boot;
    boot.TypeId = 11;
    boot.DataOffset = 32768;
    EXPECT_EQ(v->OnObjectFound(boot), nullptr);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].offset, 32768u);

    settings.SetU32(AppSettings::kShowFileNames, 1);
    v->FoundTree().BuildOffsetIndex();  // as a sector analysis starts
    CFoundObject file;
    file.TypeId = 1001;
    file.DataOffset = 4096;
    file.Flags = FO_BY_SIGNATURE | FO_DELETED;
    CFoundObject* stored = v->OnObjectFound(file);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->Volume, v.get());
    EXPECT_TRUE(LogHas("Found file: " + stored->GetName()));
    // The same offset again: the tree keeps the first, nothing more is stored.
    CFoundObject again = file;
    EXPECT_EQ(v->OnObjectFound(again), nullptr);
    // A scan for volumes only takes no files.
    v->ScanMode = 1;
    CFoundObject other = file;
    other.DataOffset = 8192;
    EXPECT_EQ(v->OnObjectFound(other), nullptr);
    CFoundObject boot2 = boot;
    boot2.DataOffset = 65536;
    v->OnObjectFound(boot2);
    EXPECT_EQ(found.size(), 2u) << "volumes are still found";
}

// The label of an NTFS volume is the name in its $Volume record, read with
// the boot sector (as `info` does, without a file-system analysis).
TEST_F(BootAnalysisTest, NtfsLabelComesFromTheVolumeRecord) {
    const auto dir = test::FixturePath("ntfs_content");
    TL_REQUIRE_FIXTURE("make_ntfs_content.sh", dir);
    CVolume v(VK_IMAGE, Context());
    v.DevicePath = (dir / "ntfs_content.img").string();
    ASSERT_EQ(v.Analyse_Boot(), 1);
    EXPECT_EQ(v.FileSystem().TypeCode, 7u);
    EXPECT_EQ(v.Label, "CONTENT 1");
    // A record 3 that is no $Volume record gives no label, whatever it holds.
    std::vector<std::uint8_t> bytes(v.Size, 0);
    ASSERT_EQ(v.ReadSectors(bytes.data(), 0, bytes.size() / 512), bytes.size());
    const std::uint64_t at = GetU64(bytes.data() + 0x30) * 4096 + 3 * 1024;
    ASSERT_EQ(GetU32(bytes.data() + at + 0x2C), 3u);
    PutU32(bytes.data() + at + 0x2C, 4);
    const std::uint64_t mirror = GetU64(bytes.data() + 0x38) * 4096 + 3 * 1024;
    PutU32(bytes.data() + mirror + 0x2C, 4);
    auto broken = MemoryVolume(std::move(bytes));
    ASSERT_EQ(broken->Analyse_Boot(), 1);
    EXPECT_EQ(broken->Label, "");
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

// The first `bytes` of a FAT fixture: the boot sector, the tables and the
// root folder's first clusters.
std::vector<std::uint8_t> FatFixture(const char* name, std::size_t bytes) {
    const auto dir = test::FixturePath("fat");
    test::ExpectFixture("make_fat_images.sh", dir);
    std::vector<std::uint8_t> image(bytes);
    std::ifstream(dir / name, std::ios::binary).read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(bytes));
    return image;
}

// Cards as cameras format them and labels as the systems set them: the
// type comes from the boot parameters, the label from the root folder's
// label entry, which is what the systems show.
TEST_F(BootAnalysisTest, FatVolumesAsDevicesAndSystemsWriteThem) {
    auto camera = FatFixture("camera16.img", 128 << 10);
    auto v = MemoryVolume(camera);
    ASSERT_EQ(v->Analyse_Boot(), 1);
    EXPECT_EQ(v->FileSystem().TypeCode, 4u);
    EXPECT_EQ(v->Label, "EOS_DIGITAL") << "the boot sector's copy says NO NAME";

    auto label32 = MemoryVolume(FatFixture("label32.img", 2 << 20));
    ASSERT_EQ(label32->Analyse_Boot(), 1);
    EXPECT_EQ(label32->FileSystem().TypeCode, 11u);
    EXPECT_EQ(label32->Label, "ROOTLABEL") << "in the second cluster of the root";

    // No type text: FAT16 by its clusters, said once however often the boot
    // sector is read again.
    std::memset(camera.data() + 54, 0, 8);
    // The root's label entry rewritten with hostile bytes, behind a deleted
    // label and a long name's part, neither of which is the label.
    const std::size_t root = (GetU16(camera.data() + 14) + 2 * std::size_t{GetU16(camera.data() + 22)}) * 512;
    ASSERT_EQ(std::memcmp(camera.data() + root, "EOS_DIGITAL", 11), 0);
    camera[root] = 0xE5;
    std::uint8_t* slot = camera.data() + root + 32;
    while (slot[0] != 0) slot += 32;
    slot[0] = 0x41;
    slot[11] = 0x0F;
    std::memcpy(slot + 32, "\x1b[2J\x81" "CAM\x7f  ", 11);
    slot[32 + 11] = 0x08;
    auto noText = MemoryVolume(camera);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(noText->Analyse_Boot(), 1);
    EXPECT_EQ(noText->FileSystem().TypeCode, 4u);
    EXPECT_EQ(noText->Label, "_[2J\xC3\xBC" "CAM_");
    int said = 0;
    for (const auto& l : log.Lines()) said += l.find("names no FAT type; its parameters describe FAT16") != std::string::npos;
    EXPECT_EQ(said, 1);
    // A volume of 4096-byte sectors, found inside a disk: its size counts in them.
    const auto gpt = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", gpt);
    CVolume disk(VK_IMAGE, Context());
    disk.DevicePath = (gpt / "mbr4k.img").string();
    disk.QueryInformation();
    CVolume large(VK_FOUND, Context());
    large.Parent = &disk;
    large.VolumeOffset = 1048576;
    ASSERT_EQ(large.Analyse_Boot(), 1);
    EXPECT_EQ(large.FileSystem().TypeCode, 4u);
    EXPECT_EQ(large.TotalSectors, 32u << 20 >> 9);
    EXPECT_EQ(large.Label, "FAT4K");

    // A label behind the end of the root folder is no label: the boot sector's is shown.
    std::memset(slot, 0, 32);
    auto ended = MemoryVolume(camera);
    ASSERT_EQ(ended->Analyse_Boot(), 1);
    EXPECT_EQ(ended->Label, "NO NAME");
}

}  // namespace
}  // namespace tl
