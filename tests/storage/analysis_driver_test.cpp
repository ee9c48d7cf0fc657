#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "fixture_support.h"
#include "filesystems/found_tree.h"
#include "signatures/analyser.h"
#include "storage/analysis_busy.h"
#include "storage/analysis_session.h"
#include "test_support.h"

namespace tl {
namespace {

class AnalysisDriverTest : public test::ComputerFixture {
protected:
    AnalysisDriverTest() { AnalysisBusy() = 0; }
    ~AnalysisDriverTest() override { AnalysisBusy() = 0; }

    CVolume* Image(const std::string& name, std::string bytes) {
        test::WriteFileBytes(dir / name, bytes);
        return computer.LoadImage((dir / name).string());
    }
    void WaitIdle() {
        for (int i = 0; i < 500 && (AnalysisBusy().load() || !computer.AnalysisQueue().empty()); ++i) {
            if (!AnalysisBusy().load() && !computer.AnalysisQueue().empty()) computer.StartFirstQueued();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::vector<std::string> LinesFrom(std::size_t first) {
        const auto all = computer.Log().Lines();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    }

    test::ScratchDir dir;
    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>(platform::kIdNo);
    test::SinkGuard guard{sink};
};

TEST_F(AnalysisDriverTest, VolumeWithoutFileSystemLogsEveryStep) {
    CVolume* v = Image("blank.dsk", std::string(64 * 512, '\0'));
    ASSERT_NE(v, nullptr);
    const std::size_t first = computer.Log().LineCount();
    computer.AnalyseVolume(*v);
    ASSERT_TRUE(v->WaitForWorker(60000));
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_TRUE(computer.AnalysisQueue().empty());
    EXPECT_EQ(v->State.load(), 1);
    // The duration is whatever the machine took; its line stands in its place.
    std::vector<std::string> lines = LinesFrom(first);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[3].starts_with("Analysis duration: ") && lines[3].ends_with(" second(s).")) << lines[3];
    lines[3] = "duration";
    EXPECT_EQ(lines, (std::vector<std::string>{"Initializing drive blank.dsk", "Beginning file system analysis.",
                                               "No file system detected! File system analysis skipped.", "duration",
                                               "Analysis completed. Found 0 folder(s) and 0 file(s)."}));
    ASSERT_FALSE(sink->sent.empty());
    EXPECT_EQ(sink->sent[0].id, msg::kStatusText);
    EXPECT_EQ(sink->sent[0].wparam, 57211u);
    // The tree's changes (the volume's node and Root linked anew) are told
    // before the stage's end.
    std::vector<unsigned> posted;
    for (const auto& m : sink->posted)
        if (m.id != msg::kLogLine && (m.id != msg::kFoundTreeChanged || posted.empty() || posted.back() != m.id))
            posted.push_back(m.id);
    EXPECT_EQ(posted, (std::vector<unsigned>{msg::kFoundTreeChanged, msg::kFileSystemStageEnded, msg::kAnalysisFinished}));
}

TEST_F(AnalysisDriverTest, SecondRequestOnlyQueuesAndUnreadableDrivesStillFinish) {
    CVolume* a = Image("a.dsk", std::string(64 * 512, '\0'));
    CVolume* b = Image("b.dsk", std::string(64 * 512, '\0'));
    // b's file disappears: its analysis cannot open it, and must end anyway.
    b->Close();
    std::filesystem::remove(dir / "b.dsk");
    b->SetDevice(nullptr);
    AnalysisBusy() = 1;  // as if another analysis ran
    computer.AnalyseVolume(*a);
    EXPECT_FALSE(a->IsWorkerRunning());
    EXPECT_EQ(computer.AnalysisQueue(), std::vector<CVolume*>{a});
    AnalysisBusy() = 0;
    computer.AnalyseVolume(*b);
    ASSERT_TRUE(b->WaitForWorker(60000));
    EXPECT_EQ(AnalysisBusy().load(), 0u) << "an unreadable drive leaves nothing busy";
    EXPECT_EQ(computer.AnalysisQueue(), std::vector<CVolume*>{a});
    WaitIdle();
    EXPECT_TRUE(computer.AnalysisQueue().empty());
}

TEST_F(AnalysisDriverTest, StagesStartedOnAVolumeMakeItCurrentAndLeaveNothingBusy) {
    CVolume* a = Image("a.dsk", std::string(64 * 512, '\0'));
    CVolume* b = Image("b.dsk", std::string(64 * 512, '\0'));
    CVolume* c = Image("c.dsk", std::string(64 * 512, '\0'));
    ASSERT_TRUE(a && b && c);

    // The file-system stage alone (as the wizard starts it).
    a->StartFileSystemAnalysis();
    EXPECT_EQ(computer.CurrentVolume(), a);
    EXPECT_EQ(computer.LastVolume(), a);
    ASSERT_TRUE(a->WaitForWorker(60000));
    EXPECT_EQ(a->State.load(), 1);
    EXPECT_EQ(AnalysisBusy().load(), 0u) << "the ended stage leaves nothing busy";
    // So a later request starts at once instead of waiting in the queue for ever.
    computer.AnalyseVolume(*b);
    EXPECT_TRUE(b->WaitForWorker(60000));
    EXPECT_TRUE(computer.AnalysisQueue().empty());

    // The sector stage alone: the current volume, not the last started one.
    c->StartSectorAnalysis(0);
    EXPECT_EQ(computer.CurrentVolume(), c);
    EXPECT_EQ(computer.LastVolume(), b);
    ASSERT_TRUE(c->WaitForWorker(60000));
    EXPECT_EQ(c->State.load(), 1);
    EXPECT_EQ(AnalysisBusy().load(), 0u);

    // A volume made by no computer belongs to none.
    CVolume loose(VK_IMAGE, VolumeContext{});
    loose.StartFileSystemAnalysis();
    ASSERT_TRUE(loose.WaitForWorker(60000));
    EXPECT_EQ(computer.CurrentVolume(), c);
}

// A device whose every read throws, as a failing lower layer may.
class ThrowingDevice : public ISectorDevice {
public:
    DeviceReadResult Read(std::uint64_t, std::span<std::uint8_t>, std::unique_ptr<IPendingRead>&) override {
        throw std::runtime_error("the device went away");
    }
    std::optional<std::uint64_t> Size() const override { return 64 * 512; }
};

TEST_F(AnalysisDriverTest, ASectorStageThatFailsLeavesTheVolumeAnalysable) {
    CVolume* v = Image("t.dsk", std::string(64 * 512, '\0'));
    ASSERT_NE(v, nullptr);
    v->Close();
    v->SetDevice(std::make_shared<ThrowingDevice>());
    v->StartSectorAnalysis(0);
    ASSERT_TRUE(v->WaitForWorker(60000));
    EXPECT_TRUE(LogHas("ERR: AnalyseSectors.FatalError")) << testing::PrintToString(computer.Log().Lines());
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_EQ(v->SectorScanRunning.load(), 0u);
    // State 2 would make every later request on the volume do nothing.
    EXPECT_EQ(v->State.load(), 1);
}

TEST_F(AnalysisDriverTest, StopAsksFirstAndNoKeepsTheAnalysisRunning) {
    CVolume* v = Image("c.dsk", std::string(64 * 512, '\0'));
    AnalysisBusy() = 1;
    computer.AnalyseVolume(*v);  // queued only
    v->State = 4;                // as during a file-system stage
    // The current volume is the one whose state the question looks at.
    AnalysisBusy() = 0;
    computer.AnalyseVolume(*v);
    ASSERT_TRUE(v->WaitForWorker(60000));
    v->State = 4;
    AnalysisBusy() = 1;
    EXPECT_EQ(computer.StopAnalysis(*v, false), 0);
    EXPECT_EQ(AnalysisBusy().load(), 1u);
    ASSERT_FALSE(sink->sent.empty());
    EXPECT_EQ(sink->sent.back().text, "Are you sure you want to stop scanning?");
    settings.SetU32(AppSettings::kConfirmScanAbort, 0);
    EXPECT_EQ(computer.StopAnalysis(*v, false), 1);
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_EQ(v->State.load(), 1);
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST_F(AnalysisDriverTest, APausedWorkerWaitsUntilResumedOrStopped) {
    CVolume* v = Image("p.dsk", std::string(64 * 512, '\0'));
    AnalysisBusy() = 1;
    v->SuspendWorker();
    std::atomic<int> passed{0};
    std::thread worker([&] { passed = v->PausePoint() ? 1 : 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(passed.load(), 0) << "a paused stage waits";
    v->ResumeWorker();
    worker.join();
    EXPECT_EQ(passed.load(), 1);

    v->SuspendWorker();
    std::thread stopped([&] { passed = v->PausePoint() ? 1 : 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    AnalysisBusy() = 0;
    v->Stop();  // wakes the paused stage, which sees the stop
    stopped.join();
    EXPECT_EQ(passed.load(), 2);
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST_F(AnalysisDriverTest, TheFileSystemStageCountsItsProgressInSectorsInUse) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    for (const char* name : {"fat12.img", "fat32.img"}) {
        CVolume* v = computer.LoadImage((fat / name).string());
        ASSERT_NE(v, nullptr);
        computer.AnalyseVolume(*v);
        ASSERT_TRUE(v->WaitForWorker(60000));
        // The end is the space in use (512-byte sectors), reached when the stage ends.
        std::uint64_t inUse = 0;
        for (const auto& used : v->FileSystem().UsedSpace) inUse += used.length;
        EXPECT_GT(inUse, 0u) << name;
        EXPECT_EQ(v->ProgressEnd.load(), inUse) << name;
        EXPECT_EQ(v->ProgressPos.load(), inUse) << name;
    }
}

// A device over an image's bytes whose reads from `holdFrom` on wait until
// the test opens the gate: an analysis can be caught in the middle of its
// walk, or stuck in a read.
class GatedDevice : public ISectorDevice {
public:
    GatedDevice(std::string bytes, std::uint64_t holdFrom) : bytes_(std::move(bytes)), holdFrom_(holdFrom) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>&) override {
        if (offset >= holdFrom_) {
            std::unique_lock lock(mutex_);
            held_ = true;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::seconds(30), [this] { return open_; });  // never for ever
        }
        if (offset >= bytes_.size()) return {DeviceReadResult::State::Done, 0, 0};
        const std::size_t n = std::min<std::size_t>(buffer.size(), bytes_.size() - offset);
        std::memcpy(buffer.data(), bytes_.data() + offset, n);
        return {DeviceReadResult::State::Done, n, 0};
    }
    std::optional<std::uint64_t> Size() const override { return bytes_.size(); }
    bool WaitHeld() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::string bytes_;
    std::uint64_t holdFrom_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool held_ = false, open_ = false;
};

// A FAT16 volume made by mkfs.fat and mtools whose analysis stops when it
// first reads a subfolder: its root directory has been parsed by then.
class StopDuringWalk : public AnalysisDriverTest {
protected:
    void SetUp() override {
        const auto fat = test::FixturePath("fat");
        TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
        std::string bytes = test::ReadFileBytes(fat / "fat16.img");
        ASSERT_GT(bytes.size(), 512u);
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
        const auto u16 = [&](std::size_t at) { return static_cast<std::uint64_t>(b[at] | (b[at + 1] << 8)); };
        // Reserved sectors, the FATs, the root directory: then the clusters.
        const std::uint64_t dataStart = (u16(14) + b[16] * u16(22)) * u16(11) + u16(17) * 32;
        test::WriteFileBytes(dir / "fat16.img", bytes);
        volume = computer.LoadImage((dir / "fat16.img").string());
        ASSERT_NE(volume, nullptr);
        gate = std::make_shared<GatedDevice>(std::move(bytes), dataStart);
        volume->Close();
        volume->SetDevice(gate);
        // As when the user starts an analysis of the whole drive.
        settings.SetU32(AppSettings::kSectorsAfterFileSystem, 1);
        computer.AnalyseVolume(*volume);
        ASSERT_TRUE(gate->WaitHeld()) << "the walk never reached a subfolder";
    }
    void TearDown() override {
        if (gate) gate->Open();
        if (volume) volume->WaitForWorker(30000);
    }
    bool Found(const std::string& name) {
        for (CFoundObject* o : volume->FoundTree().AllRecords())
            if (volume->FoundTree().Snapshot(*o).GetName() == name) return true;
        return false;
    }
    // What the root directory holds, and what only its subfolders do.
    void ExpectRootOnly() {
        for (const char* name : {"README.TXT", "Meeting Minutes.txt", "Docs", "Frag", "Old Notes.txt"})
            EXPECT_TRUE(Found(name)) << name << " was found before the stop and must stay";
        for (const char* name : {"Multi Cluster.bin", "Quarterly Report Q1.txt", "Spacer.bin", "Plan.txt"})
            EXPECT_FALSE(Found(name)) << name << " is in a folder the stopped walk never parsed";
    }

    CVolume* volume = nullptr;
    std::shared_ptr<GatedDevice> gate;
};

TEST_F(StopDuringWalk, TheWalkEndsAtItsNextEntryAndWhatItFoundStays) {
    // The read in flight comes back a moment after the stop request.
    std::thread reader([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate->Open();
    });
    // The walk's progress has moved with the root's files, and not to its end.
    const std::uint64_t end = volume->ProgressEnd.load();
    EXPECT_GT(volume->ProgressPos.load(), 0u);
    EXPECT_LT(volume->ProgressPos.load(), end);
    const std::size_t first = computer.Log().LineCount();
    EXPECT_EQ(computer.StopAnalysis(*volume, true), 1);
    reader.join();
    EXPECT_LT(volume->ProgressPos.load(), end) << "a stopped stage is not shown as complete";
    // The worker ended by itself within the second the stop waits for it.
    EXPECT_FALSE(volume->IsWorkerRunning());
    EXPECT_FALSE(LogHas("Analysis of fat16.img stoped"));
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_TRUE(computer.AnalysisQueue().empty());
    EXPECT_EQ(volume->State.load(), 1);
    ExpectRootOnly();
    // The stage still ends with its summary: what the root held.
    const auto lines = LinesFrom(first);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Analysis completed. Found 3 folder(s) and 6 file(s)."), lines.end())
        << testing::PrintToString(lines);
    bool finished = false, sectorStage = false;
    for (const auto& m : sink->posted) {
        finished |= m.id == msg::kAnalysisFinished;
        sectorStage |= m.id == msg::kSectorStageBegan || m.id == msg::kSectorStageEnded;
    }
    EXPECT_TRUE(finished);
    // A stopped analysis does not go on to its next stage.
    EXPECT_FALSE(sectorStage);
    EXPECT_FALSE(LogHas("Starting drive sector analysis, searching for lost files.")) << testing::PrintToString(lines);
}

TEST_F(StopDuringWalk, AWorkerStuckInAReadIsGivenUpAfterASecondAndEndsWhenTheReadDoes) {
    EXPECT_EQ(computer.StopAnalysis(*volume, true), 1);
    EXPECT_TRUE(LogHas("Analysis of fat16.img stoped"));
    EXPECT_EQ(volume->State.load(), 1);
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_TRUE(computer.AnalysisQueue().empty());
    // No thread is killed: the worker is still in its read, and ends after it.
    EXPECT_TRUE(volume->IsWorkerRunning());
    gate->Open();
    ASSERT_TRUE(volume->WaitForWorker(60000));
    EXPECT_EQ(volume->State.load(), 1);
    ExpectRootOnly();
}

// A medium of zeros whose reads wait at a gate until the test opens it.
class GatedMedium : public ISectorDevice {
public:
    explicit GatedMedium(std::uint64_t bytes) : bytes_(bytes) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                          std::unique_ptr<IPendingRead>&) override {
        ++reads;
        for (std::uint64_t end = offset + buffer.size(), seen = furthest.load(); end > seen;)
            if (furthest.compare_exchange_weak(seen, end)) break;
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
        std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
        const std::uint64_t n = offset < bytes_ ? std::min<std::uint64_t>(buffer.size(), bytes_ - offset) : 0;
        return {DeviceReadResult::State::Done, n, 0};
    }
    std::optional<std::uint64_t> Size() const override { return bytes_; }
    void Open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    std::atomic<int> reads{0};
    std::atomic<std::uint64_t> furthest{0};  // the end of the furthest read asked for

private:
    std::uint64_t bytes_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

template <typename Condition>
bool WaitUntil(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

TEST_F(AnalysisDriverTest, RemovedMediumPausesItsAnalysisUntilItReturns) {
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, 1);  // the full analysis ends with the sector stage
    constexpr std::uint64_t kSectors = 3 * CAnalyser::kChunkSectors;
    auto other = computer.MakeVolume(VK_LOGICAL);
    other->DevicePath = "/dev/sdy1";
    other->State = 1;
    CVolume& bystander = computer.Volumes().Append(std::move(other));

    // The analysed volume is the partition itself, or a volume found on a
    // disk: its reads go through the disk's device.
    for (const bool found : {false, true}) {
        SCOPED_TRACE(found ? "found volume on the removed disk" : "the removed partition");
        auto device = std::make_shared<GatedMedium>(kSectors * 512);
        auto medium = computer.MakeVolume(found ? VK_PHYSICAL : VK_LOGICAL);
        const std::string name = found ? "sdz" : "sdz1";
        medium->DevicePath = "/dev/" + name;
        medium->Size = kSectors * 512;
        medium->State = 1;
        medium->SetDevice(device);
        CVolume& listed = computer.Volumes().Append(std::move(medium));
        CVolume* analysed = &listed;
        if (found) {
            auto v = computer.MakeVolume(VK_FOUND);
            v->Parent = &listed;
            v->ParentId = listed.Id;
            v->Size = listed.Size;
            v->State = 1;
            analysed = &computer.Volumes().Append(std::move(v));
        }
        // Whatever happens below, nothing is left waiting at the end.
        struct Release {
            GatedMedium& device;
            CVolume& volume;
            ~Release() {
                device.Open();
                AnalysisBusy() = 0;
                volume.Stop();
                volume.WaitForWorker(60000);
            }
        } release{*device, *analysed};

        computer.AnalyseVolume(*analysed);
        ASSERT_TRUE(WaitUntil([&] { return device->reads.load() > 0; }));  // waits in its first read
        platform::DeviceEvent event;
        event.action = platform::DeviceEvent::Action::Remove;
        event.name = name;
        event.devicePath = "/dev/" + name;
        computer.OnDeviceChange(event);
        EXPECT_TRUE(LogHas("Drive " + name + ": Medium removed!"));
        EXPECT_EQ(listed.State.load(), kVolumeNotReady);
        EXPECT_EQ(bystander.State.load(), 1);

        // The read in flight ends; the analysis then waits for the medium.
        device->Open();
        // It goes on to the sector stage, reads the chunk it asks for first,
        // and waits there before it asks for the next.
        ASSERT_TRUE(WaitUntil([&] { return analysed->State.load() == 2; })) << "reaches the sector stage";
        EXPECT_FALSE(analysed->WaitForWorker(1000)) << "the analysis waits for the medium";
        EXPECT_LE(device->furthest.load(), CAnalyser::kChunkSectors * 512);
        EXPECT_LT(analysed->ProgressPos.load(), kSectors);

        event.action = platform::DeviceEvent::Action::Add;
        computer.OnDeviceChange(event);
        EXPECT_TRUE(LogHas("Volume " + name + ": Medium connected!"));  // the resumed worker may log first
        ASSERT_TRUE(analysed->WaitForWorker(60000)) << "the analysis goes on and ends";
        EXPECT_EQ(analysed->ProgressPos.load(), kSectors);
        EXPECT_EQ(AnalysisBusy().load(), 0u);
    }
}

// A session runs the stages its request names, for this run only, and its
// stop ends the run at the next read without starting anything more.
TEST_F(AnalysisDriverTest, ASessionRunsTheStagesAskedForAndStopsWhenAsked) {
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, 0);
    constexpr std::uint64_t kSectors = 2 * CAnalyser::kChunkSectors;
    const auto sectorStages = [&] { return sink->PostedCount(msg::kSectorStageBegan); };
    for (const AnalysisStages stages : {AnalysisStages::FileSystemAndSectors, AnalysisStages::FileSystem}) {
        const bool sectors = stages == AnalysisStages::FileSystemAndSectors;
        SCOPED_TRACE(sectors ? "with the sector stage" : "file system only");
        auto device = std::make_shared<GatedMedium>(kSectors * 512);
        auto medium = computer.MakeVolume(VK_IMAGE);
        medium->DevicePath = sectors ? "/images/a.img" : "/images/b.img";
        medium->Size = kSectors * 512;
        medium->State = 1;
        medium->SetDevice(device);
        CVolume& v = computer.Volumes().Append(std::move(medium));
        const auto before = sectorStages();
        CAnalysisSession session(computer);
        ASSERT_TRUE(session.Start(v, stages));
        ASSERT_TRUE(WaitUntil([&] { return device->reads.load() > 0; }));
        EXPECT_FALSE(session.Start(v, stages)) << "one run at a time";
        device->Open();
        ASSERT_TRUE(session.Wait(60000));
        EXPECT_EQ(session.Volumes(), std::vector<CVolume*>{&v});
        EXPECT_EQ(sectorStages() - before, sectors ? 1u : 0u);
        EXPECT_EQ(v.ProgressPos.load(), sectors ? kSectors : v.ProgressEnd.load());
        EXPECT_EQ(v.SectorsThisRun.load(), -1);
        EXPECT_EQ(settings.GetU32(AppSettings::kSectorsAfterFileSystem), 0u) << "the saved choice is not touched";
        EXPECT_EQ(AnalysisBusy().load(), 0u);
    }

    // Stopped while its first read waits: nothing more is read or started.
    auto device = std::make_shared<GatedMedium>(kSectors * 512);
    auto medium = computer.MakeVolume(VK_IMAGE);
    medium->DevicePath = "/images/c.img";
    medium->Size = kSectors * 512;
    medium->State = 1;
    medium->SetDevice(device);
    CVolume& v = computer.Volumes().Append(std::move(medium));
    CAnalysisSession session(computer);
    ASSERT_TRUE(session.Start(v, AnalysisStages::FileSystemAndSectors));
    ASSERT_TRUE(WaitUntil([&] { return device->reads.load() > 0; }));
    session.Stop();
    device->Open();
    ASSERT_TRUE(session.Wait(60000));
    EXPECT_TRUE(session.Stopped());
    EXPECT_LT(device->furthest.load(), kSectors * 512) << "the sector stage did not read on";
    EXPECT_TRUE(computer.AnalysisQueue().empty());
    EXPECT_EQ(AnalysisBusy().load(), 0u);

    // Stopped the moment it starts, before or while the run starts its
    // volume: the volume's stages never read on, whatever the timing.
    for (const AnalysisStages stages : {AnalysisStages::FileSystemAndSectors, AnalysisStages::SectorsOnly}) {
        for (int i = 0; i < 10; ++i) {
            auto gated = std::make_shared<GatedMedium>(kSectors * 512);
            auto image = computer.MakeVolume(VK_IMAGE);
            image->DevicePath = "/images/at-once-" + std::to_string(i) + (stages == AnalysisStages::SectorsOnly ? "s" : "f");
            image->Size = kSectors * 512;
            image->State = 1;
            image->SetDevice(gated);
            CVolume& w = computer.Volumes().Append(std::move(image));
            CAnalysisSession quick(computer);
            ASSERT_TRUE(quick.Start(w, stages));
            if (i % 2) std::this_thread::yield();
            quick.Stop();
            gated->Open();
            ASSERT_TRUE(quick.Wait(60000));
            EXPECT_LT(gated->furthest.load(), kSectors * 512) << "run " << i;
            EXPECT_EQ(AnalysisBusy().load(), 0u) << "run " << i;
        }
    }
}


// The sector stage run after a run of the file system keeps what the file
// system gave: the deleted documents keep their names and are confirmed by
// their signatures, without a lost copy beside them; free space only reads
// less than the whole volume.
TEST_F(AnalysisDriverTest, ASectorStageAfterTheFileSystemKeepsItsRecords) {
    const std::filesystem::path card = test::FixturePath("deleted_documents");
    TL_REQUIRE_FIXTURE("make_deleted_documents.sh", card);
    ASSERT_GT(computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 0);
    computer.Signatures().Load();
    CVolume* v = computer.LoadImage((card / "card.img").string());
    ASSERT_NE(v, nullptr);
    CAnalysisSession session(computer);
    const auto run = [&](AnalysisStages stages) {
        ASSERT_TRUE(session.Start(*v, stages));
        ASSERT_TRUE(session.Wait(60000));
        EXPECT_EQ(AnalysisBusy().load(), 0u);
    };
    const auto files = [&] {
        std::map<std::string, std::uint16_t> flags;
        std::size_t lost = 0;
        for (CFoundObject* r : v->FoundTree().AllRecords()) {
            if (r->IsFolder() || (r->Flags & FO_VOLUME)) continue;
            if (r->Flags & FO_BY_SIGNATURE) ++lost;
            else flags[v->FoundTree().Snapshot(*r).GetName()] = r->Flags;
        }
        return std::pair{flags, lost};
    };
    run(AnalysisStages::FileSystem);
    const auto [before, none] = files();
    ASSERT_EQ(before.size(), 8u);
    EXPECT_EQ(none, 0u);
    const std::optional<std::uint64_t> free = v->FreeSectorCount();
    ASSERT_TRUE(free.has_value());

    for (const AnalysisStages stages : {AnalysisStages::FreeSpaceSectorStage, AnalysisStages::SectorStage}) {
        const bool whole = stages == AnalysisStages::SectorStage;
        SCOPED_TRACE(whole ? "every sector" : "free space only");
        run(stages);
        const auto [after, lost] = files();
        EXPECT_EQ(lost, 0u) << "each deleted document is the record the file system gave";
        ASSERT_EQ(after.size(), before.size());
        for (const char* deleted : {"_etter.pdf", "letter.docx", "_icture.jpg", "_icture.png"}) {
            ASSERT_TRUE(after.count(deleted)) << deleted;
            EXPECT_TRUE(after.at(deleted) & FO_SIGNATURE_MATCH) << deleted;
            EXPECT_TRUE(after.at(deleted) & FO_DELETED) << deleted;
        }
        // The stage counts the sectors it reads.
        EXPECT_EQ(v->ProgressEnd.load(), whole ? v->Size / 512 : *free);
        // What a recovery of everything lost takes: the six deleted documents.
        std::vector<std::string> lostNames;
        for (CFoundObject* r : v->FoundTree().DeletedAndLostFiles()) lostNames.push_back(v->FoundTree().Snapshot(*r).GetName());
        std::sort(lostNames.begin(), lostNames.end());
        EXPECT_EQ(lostNames, (std::vector<std::string>{"_etter.doc", "_etter.pdf", "_icture.jpg", "_icture.png",
                                                       "letter.docx", "sheet.xlsx"}));
    }
}

// The next queued volume starts only when nothing is busy and the analysis
// before it has ended, and a volume that has left the queue is never started
// again: nothing is analysed twice, and nothing stays busy.
TEST_F(AnalysisDriverTest, TheFirstQueuedVolumeStartsOnlyWhenTheOneBeforeHasEnded) {
    EXPECT_EQ(computer.StartFirstQueued(), nullptr) << "nothing queued";
    constexpr std::uint64_t kBytes = 64 * 512;
    std::vector<CVolume*> volumes;
    std::vector<std::shared_ptr<GatedMedium>> media;
    for (const char* path : {"/images/first.img", "/images/second.img"}) {
        media.push_back(std::make_shared<GatedMedium>(kBytes));
        auto medium = computer.MakeVolume(VK_IMAGE);
        medium->DevicePath = path;
        medium->Size = kBytes;
        medium->State = 1;
        medium->SetDevice(media.back());
        volumes.push_back(&computer.Volumes().Append(std::move(medium)));
    }
    const std::size_t linesBefore = computer.Log().Lines().size();
    computer.AnalyseVolume(*volumes[0]);
    computer.AnalyseVolume(*volumes[1]);
    ASSERT_TRUE(WaitUntil([&] { return media[0]->reads.load() > 0; }));
    EXPECT_EQ(computer.StartFirstQueued(), nullptr) << "the first one runs";
    media[0]->Open();
    media[1]->Open();
    ASSERT_TRUE(volumes[0]->WaitForWorker(60000));
    ASSERT_TRUE(WaitUntil([&] { return AnalysisBusy().load() == 0; }));
    EXPECT_EQ(computer.AnalysisQueue(), std::vector<CVolume*>{volumes[1]});
    EXPECT_EQ(computer.StartFirstQueued(), volumes[1]);
    ASSERT_TRUE(WaitUntil([&] { return computer.AnalysisQueue().empty() && !volumes[1]->IsWorkerRunning(); }));
    EXPECT_EQ(computer.StartFirstQueued(), nullptr) << "the one that ended is not queued again";
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    const std::vector<std::string> lines = LinesFrom(linesBefore);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Beginning file system analysis."), 2);
}
}  // namespace
}  // namespace tl
