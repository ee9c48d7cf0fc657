#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>

#include "computer_fixture.h"
#include "app/languages.h"
#include "filesystems/found_tree.h"
#include "filesystems/synthetic_ids.h"
#include "fixture_support.h"
#include "test_support.h"
#include "platform/settings_store.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"
#include "storage/volume_info.h"

namespace tl {
namespace {

TEST(VolumeInfo, SizeAndSerialTexts) {
    EXPECT_EQ(SizeText(2147483648ULL, nullptr), "2 GB (2 147 483 648 bytes)");
    EXPECT_EQ(SizeText(1073741824ULL, nullptr), "1024 MB (1 073 741 824 bytes)");
    EXPECT_EQ(SizeText(1024, nullptr), " (1 024 bytes)");
    EXPECT_EQ(SizeText(1025, nullptr), "1 KB (1 025 bytes)");
    EXPECT_EQ(SizeText(999, nullptr), " (999 bytes)");
    EXPECT_EQ(SerialText(0x1234ABCD, 5), "1234ABCD5");
    EXPECT_EQ(SerialText(0, 0xDEADBEEF), "DEADBEEF");
}

using ComputerTest = test::ComputerFixture;

TEST_F(ComputerTest, ImageWithAPartitionTableListsItsVolumes) {
    const auto image = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", image);
    CVolume* disk = computer.LoadImage(image.string());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->DriveType, 7u);
    // Volume ids come from the synthetic counter: after the two pseudo-volumes.
    EXPECT_LT(static_cast<std::int64_t>(disk->Id), static_cast<std::int64_t>(computer.RecycleBin().Id));
    EXPECT_LT(static_cast<std::int64_t>(computer.RecycleBin().Id), -65536);
    const auto volumes = computer.Volumes().Snapshot();
    ASSERT_EQ(volumes.size(), 6u);
    const std::uint64_t offsets[] = {2048, 6144, 24576, 108544, 151552};
    const char* names[] = {"FAT12", "FAT16", "FAT32", "NTFS", "FAT16"};
    const std::uint64_t lengths[] = {4096, 16384, 81920, 40960, 30720};
    for (int i = 0; i < 5; ++i) {
        CVolume* v = volumes[static_cast<std::size_t>(i + 1)];
        EXPECT_EQ(v->Kind, VK_FOUND);
        EXPECT_EQ(v->VolumeOffset, offsets[i] * 512);
        EXPECT_EQ(v->GetName(), "Volume at: " + std::to_string(offsets[i] * 512));
        EXPECT_EQ(v->GetFileSystemName(), names[i]);
        EXPECT_EQ(v->Size, lengths[i] * 512);
        EXPECT_EQ(v->Parent, disk);
        EXPECT_EQ(v->ParentId, disk->Id);
        EXPECT_EQ(v->Flags & FO_VOLUME, FO_VOLUME);
        EXPECT_EQ(disk->FoundTree().FindFirstById(v->Id), v) << "found volumes hang in their disk's tree";
    }
    bool logged = false;
    for (const auto& line : computer.Log().Lines()) logged |= line == "Found FAT32 volume at: 12582912";
    EXPECT_TRUE(logged);

    const auto rows = VolumeInformationRows(*volumes[3], &texts);
    const auto value = [&](const std::string& label) {
        for (const auto& [l, v] : rows)
            if (l == label) return v;
        return std::string("(missing)");
    };
    EXPECT_EQ(value("Type"), "Found");
    EXPECT_EQ(value("Category"), "Found");
    EXPECT_EQ(value("File System"), "FAT32");
    EXPECT_EQ(value("Label"), "LOGFAT32");
    EXPECT_EQ(value("Total Space"), "40 MB (41 943 040 bytes)");
    EXPECT_EQ(value("State"), "Ready");
    EXPECT_EQ(rows.front().first, "");

    // The same volume found again (a backup boot sector, a second scan) adds nothing;
    // a volume at offset 0 of an image is the image itself.
    CFoundObject again;
    again.DataOffset = 24576 * 512ULL;
    again.ParentId = disk->Id;
    again.TypeId = 11;
    computer.AddFoundVolume(again);
    again.DataOffset = 0;
    computer.AddFoundVolume(again);
    EXPECT_EQ(computer.Volumes().GetCount(), 6u);
    EXPECT_NE(disk->Flags & FO_SIGNATURE_MATCH, 0);
    again.ParentId = 12345;  // no such parent: dropped
    again.DataOffset = 512;
    computer.AddFoundVolume(again);
    EXPECT_EQ(computer.Volumes().GetCount(), 6u);
}

// The sector stage for lost volumes only, waited for.
void ScanForVolumes(CVolume& v) {
    AnalysisBusy() = 1;
    v.StartSectorAnalysis(1);
    ASSERT_TRUE(v.WaitForWorker(60000));
    AnalysisBusy() = 0;
}

TEST_F(ComputerTest, VolumesFoundInsideAFoundVolumeReadTheirOwnPlace) {
    const auto image = test::FixturePath("nested.img");
    TL_REQUIRE_FIXTURE("make_nested.sh", image);
    ASSERT_GT(computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 0);
    computer.Signatures().Load();
    CVolume* disk = computer.LoadImage(image.string());
    ASSERT_NE(disk, nullptr);
    const auto childrenOf = [&](const CVolume* parent) {
        std::vector<CVolume*> children;
        for (CVolume* v : computer.Volumes().Snapshot())
            if (v->Kind == VK_FOUND && v->Parent == parent) children.push_back(v);
        return children;
    };
    ASSERT_EQ(childrenOf(disk).size(), 1u);
    CVolume* partition = childrenOf(disk)[0];
    EXPECT_EQ(partition->VolumeOffset, 2048u * 512);

    // The partition holds a FAT32 volume 1 MiB in: at disk byte 2 MiB.
    ScanForVolumes(*partition);
    const auto inner = childrenOf(partition);
    ASSERT_EQ(inner.size(), 1u) << "one volume; its backup boot sector is not another";
    CVolume* nested = inner[0];
    EXPECT_EQ(nested->VolumeOffset, 4096u * 512);
    EXPECT_EQ(nested->GetName(), "Volume at: 2097152");
    EXPECT_EQ(nested->FileSystem().TypeCode, 11u);
    EXPECT_EQ(nested->Label, "NESTED32");
    EXPECT_EQ(nested->Size, 73728u * 512);
    const std::string bytes = test::ReadFileBytes(image);
    std::vector<std::uint8_t> sector(512);
    ASSERT_EQ(nested->ReadSectors(sector.data(), 6, std::uint64_t{1}), 512u);
    EXPECT_EQ(std::memcmp(sector.data(), bytes.data() + (4096 + 6) * 512, 512), 0) << "its backup boot sector";

    // A scan of the whole disk meets the same boot sector at the same byte
    // of the same device: that volume is listed already.
    const std::size_t count = computer.Volumes().GetCount();
    ScanForVolumes(*disk);
    EXPECT_EQ(computer.Volumes().GetCount(), count);
    EXPECT_TRUE(childrenOf(disk).size() == 1u && childrenOf(disk)[0] == partition);

    // A boot sector at the start of a found volume is that volume's own.
    CFoundObject own;
    own.Init();
    own.TypeId = 11;
    own.ParentId = nested->Id;
    own.DataOffset = 0;
    computer.AddFoundVolume(own);
    EXPECT_EQ(computer.Volumes().GetCount(), count);
    EXPECT_NE(nested->Flags & FO_SIGNATURE_MATCH, 0);
}

TEST_F(ComputerTest, BackupBootSectorsOfAnImagesOwnFileSystemAreNoVolumes) {
    ASSERT_GT(computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 0);
    computer.Signatures().Load();
    // FAT32 keeps its copy at sector 6, NTFS after its last counted sector.
    for (const auto& [script, folder, name] : {std::tuple{"make_fat_images.sh", "fat", "fat32.img"},
                                              std::tuple{"make_ntfs_images.sh", "ntfs", "ntfs512.img"}}) {
        SCOPED_TRACE(name);
        const auto dir = test::FixturePath(folder);
        TL_REQUIRE_FIXTURE(script, dir);
        CVolume* image = computer.LoadImage((dir / name).string());
        ASSERT_NE(image, nullptr);
        ScanForVolumes(*image);
        for (CVolume* v : computer.Volumes().Snapshot())
            EXPECT_FALSE(v->Kind == VK_FOUND && v->Parent == image) << v->GetName();
        EXPECT_NE(image->Flags & FO_SIGNATURE_MATCH, 0) << "its own boot sector confirms it";
    }
}

TEST_F(ComputerTest, VolumeIdsNeverMeetTheIdsOfRecordsOrGroups) {
    // Records without an id of their own (empty FAT files, placeholders) and
    // volumes draw from one counter, whichever of them asks first.
    const std::int64_t before = NextSyntheticId();
    const auto volume = computer.MakeVolume(VK_IMAGE);
    const std::int64_t after = NextSyntheticId();
    const auto id = static_cast<std::int64_t>(volume->Id);
    EXPECT_LT(id, before);
    EXPECT_GT(id, after);

    std::set<std::int64_t> ids{static_cast<std::int64_t>(computer.RecycleBin().Id), id};
    const auto second = computer.MakeVolume(VK_FOUND);
    EXPECT_TRUE(ids.insert(static_cast<std::int64_t>(second->Id)).second);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(ids.insert(NextSyntheticId()).second);
}

TEST_F(ComputerTest, UnopenableImagesAreNotAdded) {
    EXPECT_EQ(computer.LoadImage("/no/such/image.dsk"), nullptr);
    EXPECT_EQ(computer.LoadImage("/tmp"), nullptr);
    EXPECT_EQ(computer.Volumes().GetCount(), 0u);
    EXPECT_EQ(computer.MyComputer().GetName(), "My Computer");
    EXPECT_EQ(computer.MyComputer().Id, CVolume::kDriveTreeRootId);
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST_F(ComputerTest, MediaRemovalAndArrivalOfAListedDevice) {
    auto stick = computer.MakeVolume(VK_LOGICAL);
    stick->DevicePath = "/dev/sdz1";
    stick->State = 1;
    CVolume& listed = computer.Volumes().Append(std::move(stick));
    platform::DeviceEvent event;
    event.action = platform::DeviceEvent::Action::Remove;
    event.name = "sdz1";
    event.devicePath = "/dev/sdz1";
    computer.OnDeviceChange(event);
    EXPECT_EQ(listed.State.load(), kVolumeNotReady);
    EXPECT_EQ(computer.Log().Lines().back(), "Drive sdz1: Medium removed!");
    event.action = platform::DeviceEvent::Action::Add;
    computer.OnDeviceChange(event);
    EXPECT_EQ(listed.State.load(), 1);
    EXPECT_EQ(computer.Log().Lines().back(), "Volume sdz1: Medium connected!");
    // Devices the list does not hold are no news.
    const std::size_t lines = computer.Log().LineCount();
    event.devicePath = "/dev/loop9";
    computer.OnDeviceChange(event);
    EXPECT_EQ(computer.Log().LineCount(), lines);
}

}  // namespace
}  // namespace tl
