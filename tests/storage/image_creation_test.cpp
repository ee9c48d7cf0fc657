// Drive images from devices that fail some reads, stop mid-copy, or have
// nowhere to go: the image's length and bytes, the unreadable count, the log
// lines and notifications, what is loaded afterwards and what is refused.
#include "storage/image_creation.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "app/app_messages.h"
#include "computer_fixture.h"
#include "platform/loop_device.h"
#include "../app/recording_sink.h"
#include "test_support.h"

namespace tl {
namespace {

constexpr std::uint64_t kSectors = 10000;

// Sector n of the source holds n in every 8-byte word, so misplaced bytes show.
std::vector<std::uint8_t> NumberedSectors(std::uint64_t count) {
    std::vector<std::uint8_t> bytes(count * 512);
    for (std::uint64_t s = 0; s < count; ++s)
        for (std::size_t w = 0; w < 512; w += 8) std::memcpy(bytes.data() + s * 512 + w, &s, 8);
    return bytes;
}

// A source whose reads fail wherever they touch a bad sector, as a drive's
// do; every read it was asked for is recorded. `onRead` runs before each read.
class FailingDevice : public ISectorDevice {
public:
    FailingDevice(std::vector<std::uint8_t> bytes, std::set<std::uint64_t> bad) : inner_(std::move(bytes)), bad_(std::move(bad)) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>& p) override {
        reads.push_back({offset / 512, buffer.size() / 512});
        if (onRead) onRead(offset / 512, buffer.size() / 512);
        const auto it = bad_.lower_bound(offset / 512);
        if (it != bad_.end() && *it < (offset + buffer.size() + 511) / 512) return {DeviceReadResult::State::Failed, 0, 5};
        return inner_.Read(offset, buffer, p);
    }
    std::optional<std::uint64_t> Size() const override { return inner_.Size(); }

    std::vector<std::pair<std::uint64_t, std::uint64_t>> reads;  // first sector, count
    std::function<void(std::uint64_t, std::uint64_t)> onRead;

private:
    MemorySectorDevice inner_;
    std::set<std::uint64_t> bad_;
};

class ImageCreationTest : public test::ComputerFixture {
protected:
    ImageCreationTest() { computer.Log().SetDebugOutput({}); }

    // A volume over `device`, listed like a loaded image.
    CVolume& Source(std::shared_ptr<ISectorDevice> device) {
        auto v = computer.MakeVolume(VK_IMAGE);
        v->DevicePath = (dir / "source.img").string();
        v->SetDevice(std::move(device));
        v->QueryInformation();
        return computer.Volumes().Append(std::move(v));
    }
    std::shared_ptr<CImageCreation> Job(CVolume& v, const std::string& name = "copy.dsk") {
        auto job = std::make_shared<CImageCreation>();
        job->SourceVolume = &v;
        job->FileName = (dir / name).string();
        return job;
    }
    // Runs the job's worker on its thread and waits for it.
    bool Run(const std::shared_ptr<CImageCreation>& job) {
        if (!computer.StartImageCreation(job)) return false;
        EXPECT_TRUE(job->WaitForEnd(60000));
        return true;
    }
    std::vector<std::string> LinesWith(const std::string& part) {
        std::vector<std::string> out;
        for (const auto& l : computer.Log().Lines())
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }
    std::size_t Count(unsigned id) const {
        return std::count_if(sink->posted.begin(), sink->posted.end(), [&](const auto& m) { return m.id == id; });
    }

    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>();
    test::SinkGuard guard{sink};
    test::ScratchDir dir;
};

TEST_F(ImageCreationTest, ACompleteCopyHasTheVolumesExactLengthAndIsLoaded) {
    const auto bytes = NumberedSectors(kSectors);
    auto device = std::make_shared<FailingDevice>(bytes, std::set<std::uint64_t>{});
    CVolume& source = Source(device);
    ASSERT_EQ(source.TotalSectors, kSectors);
    const auto job = Job(source);
    ASSERT_TRUE(Run(job)) << job->Problem;

    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Complete);
    EXPECT_EQ(job->Running.load(), 0u);
    EXPECT_EQ(job->Position.load(), kSectors);
    EXPECT_EQ(job->ProgressPercent(), 100);
    // Three chunks (0, 4096, 8192); the last asks for what is left, 1808
    // sectors, and the file ends with the volume.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks{{0, 4096}, {4096, 4096}, {8192, 1808}};
    EXPECT_EQ(std::vector(device->reads.end() - 3, device->reads.end()), chunks);
    const std::string image = test::ReadFileBytes(job->FileName);
    ASSERT_EQ(image.size(), kSectors * 512);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bytes.begin(), [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_EQ(Count(msg::kImageChunkWritten), 3u);
    EXPECT_EQ(Count(msg::kImageWorkerDone), 1u);
    EXPECT_EQ(sink->posted.back().id, msg::kImageWorkerDone) << "the end is the last word";
    EXPECT_EQ(computer.Log().Lines().back(), "Image '" + job->FileName + "' complete: 10000 sectors copied.");

    CVolume* loaded = computer.LoadCreatedImage(*job);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->Kind, VK_IMAGE);
    EXPECT_EQ(loaded->TotalSectors, kSectors);
    EXPECT_EQ(loaded->DevicePath, job->FileName);
}

TEST_F(ImageCreationTest, UnreadableSectorsBecomeZerosAndTheCopyGoesOnToTheEnd) {
    // One bad sector, a run across the first chunk boundary, and the last sector.
    const std::set<std::uint64_t> bad{100, 4095, 4096, 4097, 9999};
    const auto bytes = NumberedSectors(kSectors);
    auto device = std::make_shared<FailingDevice>(bytes, bad);
    CVolume& source = Source(device);
    const auto job = Job(source);
    ASSERT_TRUE(Run(job)) << job->Problem;

    EXPECT_EQ(job->Outcome.load(), ImageOutcome::SectorsMissing);
    EXPECT_EQ(job->UnreadableSectors.load(), bad.size());
    const std::string image = test::ReadFileBytes(job->FileName);
    ASSERT_EQ(image.size(), kSectors * 512) << "the image keeps the volume's full length";
    for (std::uint64_t s = 0; s < kSectors; ++s) {
        const bool zeros = std::all_of(image.begin() + s * 512, image.begin() + (s + 1) * 512, [](char c) { return c == 0; });
        const bool same = std::memcmp(image.data() + s * 512, bytes.data() + s * 512, 512) == 0;
        if (bad.count(s)) {
            ASSERT_TRUE(zeros) << "sector " << s;
        } else {
            ASSERT_TRUE(same) << "sector " << s;
        }
    }
    // Each unreadable run once, with its first sector and its length.
    EXPECT_EQ(LinesWith("Image_Create:"), (std::vector<std::string>{
                                                "ERR: Image_Create: Can't read sector: 0x64 (1 sector(s) written as zeros)",
                                                "ERR: Image_Create: Can't read sector: 0xfff (3 sector(s) written as zeros)",
                                                "ERR: Image_Create: Can't read sector: 0x270f (1 sector(s) written as zeros)"}));
    EXPECT_EQ(computer.Log().Lines().back(), "ERR: Image '" + job->FileName +
                                                 "' has all 10000 sectors, but 5 of them could not be read and are zeros.");
    // The pieces re-read around a bad sector shrink to single sectors; no
    // read ever leaves the volume.
    EXPECT_NE(std::find(device->reads.begin(), device->reads.end(), std::pair<std::uint64_t, std::uint64_t>{100, 1}),
              device->reads.end());
    for (const auto& [first, count] : device->reads) EXPECT_LE(first + count, kSectors);
    EXPECT_NE(computer.LoadCreatedImage(*job), nullptr) << "an image of full length is analysable";
}

TEST_F(ImageCreationTest, AWhollyUnreadableChunkAndASourceThatEndsEarlyAreCountedNotFatal) {
    std::set<std::uint64_t> bad;
    for (std::uint64_t s = 4096; s < 8192; ++s) bad.insert(s);
    auto device = std::make_shared<FailingDevice>(NumberedSectors(9000), bad);
    CVolume& source = Source(device);
    // The volume says it is longer than the device can deliver.
    source.TotalSectors = kSectors;
    const auto job = Job(source);
    ASSERT_TRUE(Run(job)) << job->Problem;
    EXPECT_EQ(job->UnreadableSectors.load(), 4096u + 1000u);
    EXPECT_EQ(test::ReadFileBytes(job->FileName).size(), kSectors * 512);
    EXPECT_EQ(LinesWith("Image_Create:"), (std::vector<std::string>{
                                                "ERR: Image_Create: Can't read sector: 0x1000 (4096 sector(s) written as zeros)",
                                                "ERR: Image_Create: Can't read sector: 0x2328 (1000 sector(s) written as zeros)"}));
    EXPECT_NE(computer.Log().Lines().back().find("5096 of them could not be read"), std::string::npos)
        << computer.Log().Lines().back();
}

TEST_F(ImageCreationTest, ARegionIsCopiedFromItsOwnFirstSector) {
    auto parent = std::make_shared<FailingDevice>(NumberedSectors(6144), std::set<std::uint64_t>{});
    CVolume& disk = Source(parent);
    auto region = computer.MakeVolume(VK_FOUND);
    region->Parent = &disk;
    region->VolumeOffset = 2048 * 512;
    region->TotalSectors = 2048;
    region->Size = 2048 * 512;
    CVolume& found = computer.Volumes().Append(std::move(region));
    const auto job = Job(found);
    ASSERT_TRUE(Run(job)) << job->Problem;
    const std::string image = test::ReadFileBytes(job->FileName);
    ASSERT_EQ(image.size(), 2048u * 512);
    std::uint64_t first = 0, last = 0;
    std::memcpy(&first, image.data(), 8);
    std::memcpy(&last, image.data() + image.size() - 8, 8);
    EXPECT_EQ(first, 2048u);
    EXPECT_EQ(last, 4095u);
}

TEST_F(ImageCreationTest, TheWorkerBodyRunOnItsOwnCopiesTheWholeVolume) {
    CVolume& source = Source(std::make_shared<FailingDevice>(NumberedSectors(kSectors), std::set<std::uint64_t>{}));
    const auto job = Job(source);
    EXPECT_EQ(computer.CreateImage(*job, source), 0);
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Complete);
    EXPECT_EQ(test::ReadFileBytes(job->FileName).size(), kSectors * 512);
}

TEST_F(ImageCreationTest, AStopMidCopyEndsTheWorkerAndNothingIsLoaded) {
    auto device = std::make_shared<FailingDevice>(NumberedSectors(kSectors), std::set<std::uint64_t>{9000});
    CVolume& source = Source(device);
    const std::size_t listed = computer.Volumes().GetCount();
    // The stop arrives while the second chunk is read: that chunk is
    // finished, the third is not begun.
    auto job = Job(source);
    device->onRead = [&](std::uint64_t sector, std::uint64_t) {
        if (sector == 4096) job->Stop();
    };
    ASSERT_TRUE(Run(job)) << job->Problem;
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Stopped);
    EXPECT_EQ(job->Running.load(), 0u);
    EXPECT_EQ(Count(msg::kImageWorkerDone), 1u);
    EXPECT_EQ(Count(msg::kImageChunkWritten), 2u);
    EXPECT_EQ(computer.Log().Lines().back(), "ERR: Image '" + job->FileName +
                                                 "' stopped after 8192 of 10000 sectors; the partial image is not loaded.");
    EXPECT_EQ(computer.LoadCreatedImage(*job), nullptr);
    EXPECT_EQ(computer.Volumes().GetCount(), listed);
    // The partial file stays, holding only what was copied.
    EXPECT_EQ(test::ReadFileBytes(job->FileName).size(), 8192u * 512);

    // A stop while the bad last chunk is read again sector by sector: the
    // half-read chunk is not written.
    job = Job(source, "second.dsk");
    device->onRead = [&](std::uint64_t, std::uint64_t count) {
        if (count == 1) job->Stop();
    };
    ASSERT_TRUE(Run(job)) << job->Problem;
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Stopped);
    EXPECT_EQ(test::ReadFileBytes(job->FileName).size(), 8192u * 512);
    EXPECT_EQ(computer.LoadCreatedImage(*job), nullptr);
    EXPECT_EQ(computer.Volumes().GetCount(), listed);
}

TEST_F(ImageCreationTest, ProgressNeverPassesAHundred) {
    CImageCreation job;
    EXPECT_EQ(job.ProgressPercent(), 0);
    job.SectorTotal = 150;
    job.Position = 149;
    EXPECT_EQ(job.ProgressPercent(), 99);
    job.SectorTotal = ~std::uint64_t{0} / 512;
    job.Position = job.SectorTotal / 2;
    EXPECT_EQ(job.ProgressPercent(), 49);
}

// Every refusal happens before the first read and leaves no file behind.
class ImageDestinationTest : public ImageCreationTest {
protected:
    void ExpectRefused(const std::shared_ptr<CImageCreation>& job, const std::string& text, bool fileExisted = false) {
        const std::size_t reads = device->reads.size();
        EXPECT_FALSE(computer.StartImageCreation(job));
        EXPECT_EQ(job->Outcome.load(), ImageOutcome::Refused);
        EXPECT_EQ(job->Problem, text);
        EXPECT_EQ(computer.Log().Lines().back(), "ERR: " + text);
        EXPECT_EQ(device->reads.size(), reads);
        if (!fileExisted) {
            EXPECT_FALSE(std::filesystem::exists(job->FileName));
        }
        EXPECT_TRUE(sink->posted.empty());
    }
    std::shared_ptr<FailingDevice> device = std::make_shared<FailingDevice>(NumberedSectors(kSectors), std::set<std::uint64_t>{});
    CVolume& source = Source(device);
};

TEST_F(ImageDestinationTest, TooLittleRoomOrTooLargeAFileIsRefused) {
    auto job = Job(source);
    job->Queries.space = [](const std::filesystem::path&, int&) { return platform::FolderSpace{4096 * 512, UINT64_MAX}; };
    ExpectRefused(job, "The image of source.img needs 4 MB (5 120 000 bytes), but only 2 MB (2 097 152 bytes) are free where '" +
                           job->FileName + "' would be written.");

    job = Job(source);
    job->Queries.space = [](const std::filesystem::path&, int&) { return platform::FolderSpace{UINT64_MAX, 5119999}; };
    ExpectRefused(job, "The image of source.img needs 4 MB (5 120 000 bytes), but a file there can hold at most 4 MB "
                       "(5 119 999 bytes): '" + job->FileName + "' cannot be written.");

    // A file that is replaced gives its room back.
    job = Job(source);
    test::WriteFileBytes(job->FileName, std::string(kSectors * 512, 'x'));
    job->Queries.space = [](const std::filesystem::path&, int&) { return platform::FolderSpace{0, UINT64_MAX}; };
    ASSERT_TRUE(Run(job)) << job->Problem;
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Complete);
}

TEST_F(ImageDestinationTest, AFolderThatDoesNotExistIsRefusedWithTheSystemsReason) {
    const auto job = Job(source, "missing/copy.dsk");
    ExpectRefused(job, "Image_Create: can't create '" + job->FileName + "': No such file or directory");
}

TEST_F(ImageDestinationTest, TheSourceItselfAndWhatIsNoFileAreRefused) {
    // The source file, by its own name and through a hard link.
    test::WriteFileBytes(source.DevicePath, "source bytes");
    std::filesystem::create_hard_link(source.DevicePath, dir / "link.dsk");
    for (const std::string name : {"source.img", "link.dsk"}) {
        const auto job = Job(source, name);
        ExpectRefused(job, "'" + job->FileName + "' is the source source.img itself; choose another image file.", true);
        EXPECT_EQ(test::ReadFileBytes(source.DevicePath), "source bytes");
    }
    std::filesystem::create_directory(dir / "folder.dsk");
    const auto job = Job(source, "folder.dsk");
    ExpectRefused(job, "'" + job->FileName + "' is not a regular file; an image is written only to a file.", true);
}

TEST_F(ImageDestinationTest, AFileSystemOnTheSourceDeviceIsRefused) {
    // The source is partition 8:1 of disk 8:0, bytes 1 MiB to 6 MiB.
    const auto extents = [](platform::DeviceNumber d) -> std::optional<platform::DiskExtent> {
        if (d == platform::DeviceNumber{8, 0}) return platform::DiskExtent{{8, 0}, 0, 100u << 20};
        if (d == platform::DeviceNumber{8, 1}) return platform::DiskExtent{{8, 0}, 1u << 20, 5u << 20};
        if (d == platform::DeviceNumber{8, 2}) return platform::DiskExtent{{8, 0}, 6u << 20, 94u << 20};
        if (d == platform::DeviceNumber{8, 16}) return platform::DiskExtent{{8, 16}, 0, 100u << 20};
        return std::nullopt;
    };
    const auto jobOn = [&](platform::DeviceNumber sourceDevice, platform::DeviceNumber folderDevice) {
        auto job = Job(source);
        job->Queries.identify = [](const std::filesystem::path& p) -> std::optional<platform::FileIdentity> {
            if (p.filename() != "source.img") return std::nullopt;
            platform::FileIdentity id;
            id.kind = platform::FileIdentity::Kind::BlockDevice;
            return id;
        };
        job->Queries.deviceNumber = [=](const std::filesystem::path&) { return sourceDevice; };
        job->Queries.folderDevice = [=](const std::filesystem::path&) { return folderDevice; };
        job->Queries.extent = extents;
        return job;
    };
    const auto onSource = [&](const std::shared_ptr<CImageCreation>& job) {
        return "'" + job->FileName + "' would be written onto the source source.img; choose a folder on another drive.";
    };
    auto job = jobOn({8, 1}, {8, 1});
    ExpectRefused(job, onSource(job));
    job = jobOn({8, 0}, {8, 1});  // the disk, written through one of its partitions
    ExpectRefused(job, onSource(job));
    job = jobOn({8, 1}, {8, 0});  // a file system on the whole disk covers the partition
    ExpectRefused(job, onSource(job));
    // Another partition of the same disk and another disk are not the source.
    for (const platform::DeviceNumber other : {platform::DeviceNumber{8, 2}, platform::DeviceNumber{8, 16}}) {
        job = jobOn({8, 1}, other);
        EXPECT_TRUE(job->CheckDestination(&computer.Log(), nullptr)) << job->Problem;
    }
}

// A small file system of its own for the image, mounted while the test runs.
class SmallTmpfs {
public:
    SmallTmpfs(const std::filesystem::path& at, const char* size) : at_(at) {
        std::filesystem::create_directories(at);
        if (::geteuid() != 0) why_ = "mounting a tmpfs needs root";
        else if (::mount("tmpfs", at.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0)
            why_ = std::string("tmpfs could not be mounted: ") + std::strerror(errno);
        else mounted_ = true;
    }
    ~SmallTmpfs() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
    std::string why_;
};

TEST_F(ImageDestinationTest, AFullDestinationIsRefusedBeforeCopyingAndAFailedWriteIsNotLoaded) {
    SmallTmpfs small(dir / "small", "1M");
    if (!small.mounted()) GTEST_SKIP() << small.why();
    auto job = Job(source, "small/copy.dsk");
    const std::string refused = "The image of source.img needs 4 MB (5 120 000 bytes), but only 1024 KB (1 048 576 bytes) are free "
                                "where '" + job->FileName + "' would be written.";
    ExpectRefused(job, refused);

    // Were the room misjudged, the write fails where the device is full:
    // logged with its sector, the copy ends, nothing is loaded.
    job = Job(source, "small/copy.dsk");
    job->Queries.space = [](const std::filesystem::path&, int&) { return platform::FolderSpace{UINT64_MAX, UINT64_MAX}; };
    ASSERT_TRUE(Run(job)) << job->Problem;
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Failed);
    EXPECT_EQ(LinesWith("Image_Create:"), std::vector<std::string>{"ERR: Image_Create: Can't write sector: 0x0"});
    EXPECT_EQ(computer.Log().Lines().back(), "ERR: Image '" + job->FileName +
                                                 "' could not be written after 0 of 10000 sectors (No space left on device); "
                                                 "it is not loaded.");
    EXPECT_EQ(computer.LoadCreatedImage(*job), nullptr);
}

TEST_F(ImageCreationTest, AVolumeThatCannotBeOpenedEndsWithAnError) {
    auto v = computer.MakeVolume(VK_IMAGE);
    v->DevicePath = (dir / "gone.img").string();
    v->TotalSectors = 100;
    CVolume& gone = computer.Volumes().Append(std::move(v));
    const auto job = Job(gone);
    ASSERT_TRUE(Run(job));
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Failed);
    ASSERT_EQ(sink->posted.size(), 2u);
    EXPECT_EQ(sink->posted[0].id, msg::kImageCreateFailed);
    EXPECT_EQ(sink->posted[1].id, msg::kImageWorkerDone);
    EXPECT_FALSE(std::filesystem::exists(job->FileName));
    EXPECT_EQ(computer.LoadCreatedImage(*job), nullptr);
}

TEST_F(ImageCreationTest, TheOfferedFileNameNamesTheDriveAndItsLabel) {
    auto part = computer.MakeVolume(VK_LOGICAL);
    part->DevicePath = "/dev/sdb1";
    EXPECT_EQ(DefaultImageFileName(*part, nullptr), "Image from drive sdb1");
    part->Label = " USBSTICK  ";
    EXPECT_EQ(DefaultImageFileName(*part, nullptr), "Image from drive sdb1 (USBSTICK)");
    auto disk = computer.MakeVolume(VK_PHYSICAL);
    disk->Letter = 2;
    EXPECT_EQ(DefaultImageFileName(*disk, nullptr), "Image from drive 2");
    auto image = computer.MakeVolume(VK_IMAGE);
    image->DevicePath = "/images/old.img";
    image->Label = "A/B";
    EXPECT_EQ(DefaultImageFileName(*image, nullptr), "Image from drive old.img (A_B)") << "no folder separator in a file name";
}

}  // namespace
}  // namespace tl
