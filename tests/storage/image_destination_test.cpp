// Drive images of real loop devices, with the destination on a file system
// of the source disk (ext4 through the kernel, NTFS through FUSE): what lies
// on the source is refused, another partition of the same disk is not.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "platform/notify.h"
#include "platform/loop_device.h"
#include "session/scan_session.h"
#include "storage/image_creation.h"
#include "test_support.h"

namespace tl {
namespace {

// A file system made on a device and mounted for the test's duration.
class Mounted {
public:
    Mounted(const std::string& device, const std::filesystem::path& at, const std::string& kind) : at_(at) {
        std::filesystem::create_directories(at);
        const std::string quotedDevice = "'" + device + "'", quotedAt = "'" + at.string() + "'";
        test::CommandResult r;
        if (kind == "ext4") {
            if (!test::HaveTool("mkfs.ext4")) {
                why_ = "missing tool: mkfs.ext4";
                toolMissing_ = true;
                return;
            }
            r = test::RunCommand("mkfs.ext4 -q -F " + quotedDevice);
            if (r.status == 0) r = test::RunCommand("mount -t ext4 " + quotedDevice + " " + quotedAt);
        } else {
            if (!test::HaveTool("mkntfs") || !test::HaveTool("ntfs-3g")) {
                why_ = "missing tool: mkntfs or ntfs-3g";
                toolMissing_ = true;
                return;
            }
            r = test::RunCommand("mkntfs -Q -F " + quotedDevice);
            if (r.status == 0) r = test::RunCommand("ntfs-3g " + quotedDevice + " " + quotedAt);
        }
        if (r.status != 0) why_ = kind + " could not be made or mounted: " + r.output;
        else mounted_ = true;
    }
    ~Mounted() {
        if (mounted_) test::RunCommand("umount '" + at_.string() + "'");
    }
    bool mounted() const { return mounted_; }
    bool toolMissing() const { return toolMissing_; }
    const std::string& why() const { return why_; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
    bool toolMissing_ = false;
    std::string why_;
};

class ImageOfLoopDisk : public test::ComputerFixture, public ::testing::WithParamInterface<const char*> {
protected:
    std::shared_ptr<CImageCreation> Job(CVolume& v, const std::filesystem::path& file) {
        auto job = std::make_shared<CImageCreation>();
        job->SourceVolume = &v;
        job->FileName = file.string();
        return job;
    }
    // The partitioned disk image on a loop device, its second partition made
    // and mounted at mountPoint; the drive list's volumes of the disk and its
    // two partitions. An empty text, or why this cannot be done here. A file
    // system that its installed tools fail to make or mount fails the test.
    std::string AttachAndMount() {
        loop = std::make_unique<test::LoopDevice>(image);
        if (!loop->attached()) return loop->error();
        if (!loop->AddPartitions()) return "the kernel shows no partitions of " + loop->path();
        const std::string second = loop->path() + "p2";
        for (int i = 0; i < 250 && !std::filesystem::exists(second); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fs = std::make_unique<Mounted>(second, mountPoint, GetParam());
        if (!fs->mounted() && !fs->toolMissing()) ADD_FAILURE() << fs->why();
        if (!fs->mounted()) return fs->why();
        computer.Volumes().Refresh(false);
        disk = computer.Volumes().FindByDevicePath(loop->path());
        first = computer.Volumes().FindByDevicePath(loop->path() + "p1");
        other = computer.Volumes().FindByDevicePath(second);
        return {};
    }
    test::ScratchDir dir;
    const std::filesystem::path image = dir / "disk.img";
    const std::filesystem::path mountPoint = dir / "mnt";
    std::unique_ptr<test::LoopDevice> loop;  // detached after the unmount
    std::unique_ptr<Mounted> fs;
    CVolume* disk = nullptr;
    CVolume* first = nullptr;
    CVolume* other = nullptr;
};

TEST_P(ImageOfLoopDisk, TheSourcesOwnFileSystemIsRefusedAnotherPartitionIsNot) {
    TL_REQUIRE_MADE(test::MakePartitionedDisk(image));
    if (const std::string why = AttachAndMount(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(disk && first && other);

    // The disk, and the partition itself, written through the mounted partition.
    for (CVolume* source : {disk, other}) {
        const auto job = Job(*source, mountPoint / "copy.dsk");
        EXPECT_FALSE(computer.StartImageCreation(job)) << source->GetName();
        EXPECT_EQ(job->Outcome.load(), ImageOutcome::Refused);
        EXPECT_NE(job->Problem.find("would be written onto the source"), std::string::npos) << job->Problem;
        EXPECT_FALSE(std::filesystem::exists(mountPoint / "copy.dsk"));
    }

    // The first partition lies beside it: its image is made there and holds
    // exactly its sectors.
    const auto job = Job(*first, mountPoint / "first.dsk");
    ASSERT_TRUE(computer.StartImageCreation(job)) << job->Problem;
    ASSERT_TRUE(job->WaitForEnd(60000));
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Complete);
    const std::string copy = test::ReadFileBytes(mountPoint / "first.dsk");
    const std::string whole = test::ReadFileBytes(image);
    ASSERT_EQ(copy.size(), test::kPart1Sectors * 512);
    EXPECT_TRUE(copy == whole.substr(test::kPart1Start * 512, test::kPart1Sectors * 512));
    CVolume* loaded = computer.LoadCreatedImage(*job);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->Label, test::kPart1Label);
    EXPECT_EQ(loaded->GetFileSystemName(), "FAT12");
    loaded->SetDevice(nullptr);  // the image file is let go before the unmount
}

// A scan file is never kept on the drive it is about: the same ground.
TEST_P(ImageOfLoopDisk, KeepingTheScanOnTheSourceIsRefused) {
    TL_REQUIRE_MADE(test::MakePartitionedDisk(image));
    // Only a missing mkfs or driver passes this test by; a loop device that
    // cannot be had fails it.
    if (const std::string why = AttachAndMount(); !why.empty()) {
        if (fs && fs->toolMissing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    ASSERT_TRUE(disk && first && other);
    for (CVolume* source : {disk, other}) {
        CScanSession scan(computer);
        std::string error;
        EXPECT_FALSE(scan.Begin((mountPoint / "scan.tlscan").string(), *source, AnalysisStages::FileSystem, error));
        EXPECT_NE(error.find("would be written onto the source"), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(mountPoint / "scan.tlscan"));
    }
    CScanSession beside(computer);
    std::string error;
    EXPECT_TRUE(beside.Begin((mountPoint / "scan.tlscan").string(), *first, AnalysisStages::FileSystem, error)) << error;
    beside.End(false);
    first->Close();  // the partition read for its identity is let go before the detach
}

// Recovering onto the source: the same ground, and the question asked about it.
TEST_P(ImageOfLoopDisk, RecoveringOntoTheSourceIsQuestioned) {
    TL_REQUIRE_MADE(test::MakePartitionedDisk(image));
    if (const std::string why = AttachAndMount(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(disk && first && other);
    const std::string inside = (mountPoint / "out" / "not yet made").string();
    EXPECT_TRUE(CLocalComputer::DestinationOnSource(*disk, inside)) << "a partition of the source disk";
    EXPECT_TRUE(CLocalComputer::DestinationOnSource(*other, inside)) << "the source partition itself";
    EXPECT_FALSE(CLocalComputer::DestinationOnSource(*first, inside)) << "another partition of the disk";
    CVolume* file = computer.LoadImage(image.string());
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(CLocalComputer::DestinationOnSource(*file, inside)) << "an image file is no drive";

    // "No" goes ahead on the same drive; "Yes" with another folder chosen takes it.
    class Answers : public platform::NotificationSink {
    public:
        Answers(std::int64_t answer, std::string folder) : answer_(answer), folder_(std::move(folder)) {}
        void Post(platform::AppMessage) override {}
        std::int64_t Send(const platform::AppMessage& m) override {
            if (m.id == platform::kChooseFolder && m.reply) *m.reply = folder_;
            return m.id == platform::kMessageBox ? answer_ : 0;
        }
        std::int64_t answer_;
        std::string folder_;
    };
    std::string destination = inside;
    {
        test::SinkGuard guard(std::make_shared<Answers>(platform::kIdNo, ""));
        EXPECT_EQ(computer.CheckDestination(*other, destination), 0);
        EXPECT_EQ(destination, inside);
    }
    {
        test::SinkGuard guard(std::make_shared<Answers>(platform::kIdYes, (dir / "elsewhere").string()));
        EXPECT_EQ(computer.CheckDestination(*other, destination), 1);
        EXPECT_EQ(destination, (dir / "elsewhere").string());
    }
    file->SetDevice(nullptr);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ImageOfLoopDisk, ::testing::Values("ext4", "ntfs"));

}  // namespace
}  // namespace tl
