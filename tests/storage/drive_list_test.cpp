// The drive list on real loop devices: the disk and its partitions as the
// system lists them, their queries, reads through the device, and media
// removal and arrival seen by the device monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "fixture_support.h"
#include "platform/loop_device.h"
#include "storage/analysis_busy.h"
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
    TL_REQUIRE_MADE(test::MakePartitionedDisk(image));
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

// A disk with a GUID partition table: its partitions carry their names and
// types, and none of them is found a second time by the disk's own walk.
TEST_F(DriveListTest, GptPartitionsAreNamedAsTheirTableNamesThem) {
    const auto fixtures = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", fixtures);
    std::filesystem::copy_file(fixtures / "gpt.img", dir / "gpt.img");
    // Loop devices and partx work on this kind of machine: their failure fails the test.
    test::LoopDevice loop(dir / "gpt.img");
    ASSERT_TRUE(loop.attached()) << loop.error();
    ASSERT_TRUE(loop.AddPartitions()) << "the kernel shows no partitions of " << loop.path();
    const std::string third = "/sys/block/" + loop.name() + "/" + loop.name() + "p3";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(third); })) << third;

    computer.Volumes().Refresh(false);
    CVolume* disk = computer.Volumes().FindByDevicePath(loop.path());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->Layout.Entries[2].Name, "Swap");
    const std::pair<const char*, const char*> expected[] = {
        {"p1", " (DOCSFAT, Docs)"},  // the label, and the partition's other name
        {"p2", " (ARCHIVE)"},        // the same name twice is shown once
        {"p3", " (Swap)"},
    };
    for (const auto& [suffix, shown] : expected) {
        CVolume* part = computer.Volumes().FindByDevicePath(loop.path() + suffix);
        ASSERT_NE(part, nullptr) << suffix;
        EXPECT_EQ(part->GetName(), loop.name() + suffix + shown);
    }
    CVolume* swap = computer.Volumes().FindByDevicePath(loop.path() + "p3");
    const auto rows = VolumeInformationRows(*swap, &texts);
    EXPECT_NE(std::find(rows.begin(), rows.end(), InfoRow{"Partition name", "Swap"}), rows.end());
    EXPECT_NE(std::find(rows.begin(), rows.end(), InfoRow{"Partition type", "Linux swap"}), rows.end());
    for (CVolume* v : computer.Volumes().Snapshot()) EXPECT_NE(v->Kind, VK_FOUND) << v->GetName();
}

// A disk of 4096-byte logical sectors counts its table in them: the
// partition no system lists is found where that table says.
TEST_F(DriveListTest, TablesCountTheDevicesLogicalSectors) {
    const auto fixtures = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", fixtures);
    std::filesystem::copy_file(fixtures / "gpt4k.img", dir / "gpt4k.img");
    test::LoopDevice loop(dir / "gpt4k.img", 4096);
    ASSERT_TRUE(loop.attached()) << loop.error();

    computer.Volumes().Refresh(false);
    CVolume* disk = computer.Volumes().FindByDevicePath(loop.path());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->BytesPerSector, 4096u);
    std::vector<CVolume*> found;
    for (CVolume* v : computer.Volumes().Snapshot())
        if (v->Kind == VK_FOUND && v->Parent == disk) found.push_back(v);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->VolumeOffset, 256u * 4096);
    EXPECT_EQ(found[0]->Size, 8192u * 4096);
    EXPECT_EQ(found[0]->GetName(), "Volume at: 1048576 (Docs4K)");
    EXPECT_EQ(found[0]->GetFileSystemName(), "FAT16");
    for (const std::string& line : computer.Log().Lines())
        EXPECT_EQ(line.find("the partition table counts sectors of"), std::string::npos) << "the device said so itself";
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

// A front end that is told of every volume leaving the list, and keeps one.
class KeepingFrontEnd : public platform::NotificationSink {
public:
    KeepingFrontEnd(CVolumesList& list, const CVolume*& keep) : list_(list), keep_(keep) {}
    void Post(platform::AppMessage) override {}
    std::int64_t Send(const platform::AppMessage& m) override {
        if (m.id != msg::kVolumeRemoved) return 0;
        auto* volume = reinterpret_cast<CVolume*>(static_cast<std::uintptr_t>(m.wparam));
        removed.push_back(volume);
        names.push_back(volume->GetName());  // alive while it is told (the leak checker watches)
        if (volume == keep_) kept = list_.Share(volume);
        return 0;
    }
    std::vector<const CVolume*> removed;
    std::vector<std::string> names;
    std::shared_ptr<CVolume> kept;

private:
    CVolumesList& list_;
    const CVolume*& keep_;
};

TEST_F(DriveListTest, RebuildLeavesVolumesInUseAlive) {
    AnalysisBusy() = 0;
    // An image with a volume found on it: both stay listed.
    test::WriteFileBytes(dir / "i.dsk", std::string(64 * 512, '\0'));
    CVolume* image = computer.LoadImage((dir / "i.dsk").string());
    ASSERT_NE(image, nullptr);
    CFoundObject boot;
    boot.Init();
    boot.TypeId = 4;
    boot.ParentId = image->Id;
    boot.DataOffset = 16 * 512;
    computer.AddFoundVolume(boot);
    ASSERT_EQ(computer.Volumes().GetCount(), 2u);
    CVolume* onImage = computer.Volumes().Snapshot().back();
    ASSERT_EQ(onImage->Parent, image);

    // Three disks of no real device, each with a found volume: one idle, one
    // whose found volume waits in the analysis queue, one whose found volume
    // is being analysed. A disk's device lives as long as the disk does.
    struct Family {
        std::weak_ptr<ISectorDevice> device;
        CVolume* disk;
        CVolume* found;
    };
    const auto makeFamily = [&](const std::string& path) {
        auto device = std::make_shared<MemorySectorDevice>(std::vector<std::uint8_t>(64 * 512, 0xA5));
        auto disk = computer.MakeVolume(VK_PHYSICAL);
        disk->DevicePath = path;
        disk->Size = 64 * 512;
        disk->SetDevice(device);
        CVolume& d = computer.Volumes().Append(std::move(disk));
        auto found = computer.MakeVolume(VK_FOUND);
        found->Parent = &d;
        found->ParentId = d.Id;
        found->VolumeOffset = 8 * 512;
        found->Size = 32 * 512;
        CVolume& f = computer.Volumes().Append(std::move(found));
        return Family{device, &d, &f};
    };
    const Family idle = makeFamily("/dev/tl-test-idle");
    const Family queued = makeFamily("/dev/tl-test-queued");
    const Family running = makeFamily("/dev/tl-test-running");
    const Family shared = makeFamily("/dev/tl-test-shared");
    const CVolume* keep = shared.found;
    auto frontEnd = std::make_shared<KeepingFrontEnd>(computer.Volumes(), keep);
    test::SinkGuard guard(frontEnd);
    AnalysisBusy() = 1;  // another analysis runs: the request only queues
    computer.AnalyseVolume(*queued.found);
    ASSERT_EQ(computer.AnalysisQueue(), std::vector<CVolume*>{queued.found});
    std::atomic<bool> go{false};
    std::atomic<std::uint32_t> readAfterRebuild{0};
    ASSERT_TRUE(running.found->StartWorker(
        [&] {
            WaitFor([&] { return go.load(); });
            std::vector<std::uint8_t> sector(512);
            readAfterRebuild = running.found->ReadSectors(sector.data(), 0, std::uint64_t{1});
        },
        "test worker"));

    computer.Volumes().Refresh(false);
    EXPECT_TRUE(idle.device.expired()) << "an unused disk is freed with its found volume";
    // Every volume that left was told, once, before it was let go; the one
    // the front end shared stays alive with its disk.
    for (const Family* f : {&idle, &queued, &running, &shared})
        for (const CVolume* v : {f->disk, f->found})
            EXPECT_EQ(std::count(frontEnd->removed.begin(), frontEnd->removed.end(), v), 1) << v->DevicePath;
    EXPECT_EQ(std::count(frontEnd->removed.begin(), frontEnd->removed.end(), image), 0);
    EXPECT_EQ(std::count(frontEnd->removed.begin(), frontEnd->removed.end(), onImage), 0);
    ASSERT_EQ(frontEnd->kept.get(), shared.found);
    EXPECT_FALSE(shared.device.expired()) << "a shared volume keeps its disk";
    ASSERT_FALSE(queued.device.expired()) << "a queued volume and its disk stay alive";
    ASSERT_FALSE(running.device.expired()) << "a volume being analysed and its disk stay alive";
    const auto listed = computer.Volumes().Snapshot();
    const auto isListed = [&](const CVolume* v) { return std::find(listed.begin(), listed.end(), v) != listed.end(); };
    EXPECT_TRUE(isListed(image));
    EXPECT_TRUE(isListed(onImage)) << "a volume found on an image stays with it";
    EXPECT_EQ(onImage->Parent, image);
    for (const Family* f : {&queued, &running}) {
        EXPECT_FALSE(isListed(f->disk));
        EXPECT_FALSE(isListed(f->found));
        EXPECT_EQ(f->found->Parent, f->disk);
        EXPECT_EQ(f->found->GetName(), "Volume at: 4096");
    }
    go = true;
    ASSERT_TRUE(running.found->WaitForWorker(60000));
    EXPECT_EQ(readAfterRebuild.load(), 512u) << "the analysis reads on through its disk";

    // Once nothing uses them, the next rebuild frees them.
    AnalysisBusy() = 0;
    computer.StopAnalysis(*queued.found, true);
    computer.Volumes().Refresh(false);
    EXPECT_TRUE(queued.device.expired());
    EXPECT_TRUE(running.device.expired());
    EXPECT_FALSE(shared.device.expired()) << "still shared";
    frontEnd->kept.reset();
    computer.Volumes().Refresh(false);
    EXPECT_TRUE(shared.device.expired()) << "freed at the rebuild after the front end let go";
    EXPECT_TRUE(computer.Volumes().FindById(onImage->Id));
}

}  // namespace
}  // namespace tl
