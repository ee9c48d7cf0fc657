#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "filesystems/found_tree.h"
#include "signatures/analyser.h"
#include "storage/analysis_busy.h"
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
            if (!AnalysisBusy().load() && !computer.AnalysisQueue().empty())
                computer.AnalyseVolume(*computer.AnalysisQueue().front());
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
    ASSERT_TRUE(v->WaitForWorker(10000));
    EXPECT_EQ(AnalysisBusy().load(), 0u);
    EXPECT_TRUE(computer.AnalysisQueue().empty());
    EXPECT_EQ(v->State.load(), 1);
    EXPECT_EQ(LinesFrom(first),
              (std::vector<std::string>{"Initializing drive blank.dsk", "Beginning file system analysis.",
                                        "No file system detected! File system analysis skipped.",
                                        "Analysis duration: 0 minute(s), 0 second(s).",
                                        "Analysis completed. Found 0 folder(s) and 0 file(s)."}));
    ASSERT_FALSE(sink->sent.empty());
    EXPECT_EQ(sink->sent[0].id, msg::kStatusText);
    EXPECT_EQ(sink->sent[0].wparam, 57211u);
    std::vector<unsigned> posted;
    for (const auto& m : sink->posted)
        if (m.id != msg::kLogLine) posted.push_back(m.id);
    EXPECT_EQ(posted, (std::vector<unsigned>{msg::kFileSystemStageEnded, msg::kAnalysisFinished}));
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
    ASSERT_TRUE(b->WaitForWorker(10000));
    EXPECT_EQ(AnalysisBusy().load(), 0u) << "an unreadable drive leaves nothing busy";
    EXPECT_EQ(computer.AnalysisQueue(), std::vector<CVolume*>{a});
    WaitIdle();
    EXPECT_TRUE(computer.AnalysisQueue().empty());
}

TEST_F(AnalysisDriverTest, StopAsksFirstAndNoKeepsTheAnalysisRunning) {
    CVolume* v = Image("c.dsk", std::string(64 * 512, '\0'));
    AnalysisBusy() = 1;
    computer.AnalyseVolume(*v);  // queued only
    v->State = 4;                // as during a file-system stage
    // The current volume is the one whose state the question looks at.
    AnalysisBusy() = 0;
    computer.AnalyseVolume(*v);
    ASSERT_TRUE(v->WaitForWorker(10000));
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

// A medium of zeros whose reads wait at a gate until the test opens it.
class GatedDevice : public ISectorDevice {
public:
    explicit GatedDevice(std::uint64_t bytes) : bytes_(bytes) {}
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
        auto device = std::make_shared<GatedDevice>(kSectors * 512);
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
            GatedDevice& device;
            CVolume& volume;
            ~Release() {
                device.Open();
                AnalysisBusy() = 0;
                volume.Stop();
                volume.WaitForWorker(10000);
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
        ASSERT_TRUE(analysed->WaitForWorker(10000)) << "the analysis goes on and ends";
        EXPECT_EQ(analysed->ProgressPos.load(), kSectors);
        EXPECT_EQ(AnalysisBusy().load(), 0u);
    }
}

}  // namespace
}  // namespace tl
