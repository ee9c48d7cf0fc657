// The drive list on real loop devices: the disk and its partitions as the
// system lists them, their queries, reads through the device, and media
// removal and arrival seen by the device monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "computer_fixture.h"
#include "platform/loop_device.h"
#include "storage/volume_info.h"
#include "test_support.h"

namespace tl {
namespace {

class DriveListTest : public test::ComputerFixture {
protected:
    template <class F>
    static bool WaitFor(F condition) {
        for (int i = 0; i < 250 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return condition();
    }

    test::ScratchDir dir;
};

TEST_F(DriveListTest, LoopDiskWithPartitionsIsListedQueriedReadAndWatched) {
    const auto image = dir / "disk.img";
    const std::string why = test::MakePartitionedDisk(image);
    if (!why.empty()) GTEST_SKIP() << why;
    std::string monitorWhy;
    const bool watching = computer.StartDeviceMonitor(&monitorWhy);
    test::LoopDevice loop(image);
    if (!loop.attached()) GTEST_SKIP() << loop.error();
    if (!loop.AddPartitions()) GTEST_SKIP() << "the kernel shows no partitions of " << loop.path();
    const std::string second = "/sys/block/" + loop.name() + "/" + loop.name() + "p2";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(second); })) << second;

    computer.Volumes().Refresh(false);
    CVolume* disk = computer.Volumes().FindByDevicePath(loop.path());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->Kind, VK_PHYSICAL);
    EXPECT_EQ(disk->State.load(), 1);
    EXPECT_EQ(disk->Size, test::kDiskBytes);
    EXPECT_EQ(disk->TotalSectors, test::kDiskBytes / 512);
    EXPECT_EQ(disk->Geometry.TracksPerCylinder, 255u);
    EXPECT_EQ(disk->GetName().rfind("Drive ", 0), 0u) << disk->GetName();
    ASSERT_EQ(disk->Children.size(), 2u);
    EXPECT_EQ(disk->Layout.PartitionCount, 2u);
    EXPECT_EQ(disk->Layout.Entries[1].StartingOffset, test::kPart2Start * 512);

    CVolume* part = computer.Volumes().FindByDevicePath(loop.path() + "p1");
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->Kind, VK_LOGICAL);
    EXPECT_EQ(part->Parent, disk);
    EXPECT_EQ(part->Size, test::kPart1Sectors * 512);
    EXPECT_EQ(part->Layout.Entries[0].StartingOffset, test::kPart1Start * 512);
    EXPECT_EQ(part->Label, test::kPart1Label);
    EXPECT_EQ(part->GetFileSystemName(), "FAT12");
    EXPECT_NE(part->SerialNumber, 0u);
    EXPECT_EQ(part->GetName(), loop.name() + "p1 (" + test::kPart1Label + ")");
    // The disk's table lists only partitions the system lists too: nothing is "found".
    for (CVolume* v : computer.Volumes().Snapshot()) EXPECT_NE(v->Kind, VK_FOUND) << v->GetName();

    // Reading through the partition's device, and through the disk at the partition's offset.
    std::vector<std::uint8_t> a(512), b(512);
    ASSERT_EQ(part->ReadSectors(a.data(), 0, std::uint64_t{1}), 512u);
    ASSERT_EQ(disk->ReadSectors(b.data(), test::kPart1Start, std::uint64_t{1}), 512u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::memcmp(a.data() + 54, "FAT12   ", 8), 0);

    const VolumeProperties p = GetVolumeProperties(*part, &texts);
    EXPECT_EQ(p.fileSystem, "FAT12");
    EXPECT_EQ(p.label, test::kPart1Label);
    EXPECT_EQ(p.totalSpace, SizeText(test::kPart1Sectors * 512, &texts));
    EXPECT_EQ(p.capabilities.size(), 13u);
    EXPECT_EQ(p.offsetFromPhysical, 0u);

    if (!watching) GTEST_SKIP() << "no device monitor here: " << monitorWhy;
    const std::string name = loop.name() + "p1";
    part->Close();  // an open partition cannot be taken away
    disk->Close();
    ASSERT_EQ(test::RunCommand("partx -d " + loop.path()).status, 0);
    if (!WaitFor([&] { return part->State.load() != 1; })) GTEST_SKIP() << "no block events reach this process";
    EXPECT_TRUE(LogHas("Drive " + name + ": Medium removed!"));
    ASSERT_EQ(test::RunCommand("partx -a " + loop.path()).status, 0);
    EXPECT_TRUE(WaitFor([&] { return part->State.load() == 1; }));
    EXPECT_TRUE(LogHas("Volume " + name + ": Medium connected!"));
}

TEST_F(DriveListTest, RebuildKeepsImagesAndRenumbersDisks) {
    test::WriteFileBytes(dir / "a.dsk", std::string(4096, '\0'));
    CVolume* image = computer.LoadImage((dir / "a.dsk").string());
    ASSERT_NE(image, nullptr);
    const std::uint64_t imageId = image->Id;
    computer.Volumes().Refresh(false);
    std::vector<std::uint64_t> first;
    for (CVolume* v : computer.Volumes().Snapshot())
        if (v->Kind != VK_IMAGE) first.push_back(v->Id);
    computer.Volumes().Refresh(false);
    const auto after = computer.Volumes().Snapshot();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), image) << "images come last and keep their object";
    EXPECT_EQ(image->Id, imageId);
    for (CVolume* v : after) {
        if (v->Kind != VK_IMAGE) {
            EXPECT_EQ(std::find(first.begin(), first.end(), v->Id), first.end()) << "a rebuilt disk has a new id";
        }
    }
    // In the background too, and waited for.
    computer.Volumes().RefreshAndWait();
    EXPECT_FALSE(computer.Volumes().RefreshRunning());
    EXPECT_EQ(computer.Volumes().Snapshot().back(), image);
}

}  // namespace
}  // namespace tl
