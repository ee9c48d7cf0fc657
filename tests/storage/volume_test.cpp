#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <thread>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

// A device that answers each read as its script says, and records the waits.
class ScriptedDevice : public ISectorDevice {
public:
    struct Step {
        DeviceReadResult::State state = DeviceReadResult::State::Done;
        std::uint64_t bytes = ~std::uint64_t{0};  // all: the whole request
        int error = 0;
        int timeoutsBeforeDone = 0;  // pending: waits that time out first (-1: never finishes)
    };
    std::deque<Step> script;
    std::vector<std::uint32_t> waits;
    std::vector<std::uint64_t> offsets;
    int cancels = 0;
    std::uint8_t fill = 0xAB;

    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                          std::unique_ptr<IPendingRead>& pending) override {
        offsets.push_back(offset);
        Step step = script.empty() ? Step{} : script.front();
        if (!script.empty()) script.pop_front();
        const std::uint64_t n = std::min<std::uint64_t>(step.bytes, buffer.size());
        if (step.state == DeviceReadResult::State::Failed) return {step.state, 0, step.error};
        if (step.state == DeviceReadResult::State::Done) {
            std::memset(buffer.data(), fill, n);
            return {step.state, n, 0};
        }
        pending = std::make_unique<Pending>(*this, buffer.first(n), step.timeoutsBeforeDone);
        return {DeviceReadResult::State::Pending, 0, 0};
    }
    std::optional<std::uint64_t> Size() const override { return 1 << 20; }

private:
    struct Pending : IPendingRead {
        Pending(ScriptedDevice& d, std::span<std::uint8_t> b, int t) : device(d), buffer(b), timeouts(t) {}
        bool Wait(std::uint32_t ms) override {
            device.waits.push_back(ms);
            if (timeouts < 0) return false;
            if (timeouts > 0) {
                --timeouts;
                return false;
            }
            return true;
        }
        void Cancel() override { ++device.cancels; }
        DeviceReadResult Finish() override {
            std::memset(buffer.data(), device.fill, buffer.size());
            return {DeviceReadResult::State::Done, buffer.size(), 0};
        }
        ScriptedDevice& device;
        std::span<std::uint8_t> buffer;
        int timeouts;
    };
};

class VolumeReadTest : public ::testing::Test {
protected:
    VolumeReadTest() {
        SettingsDefaults d;
        settings.Reset(d);
        log.SetDebugOutput({});
        volume.DevicePath = "/dev/test";
        volume.SetDevice(device);
    }
    std::vector<std::string> Lines() const { return log.Lines(); }

    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    CVolume volume{VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}}};
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(8 * 512, 0x55);
};

TEST_F(VolumeReadTest, ZeroSectorsTouchNothing) {
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 0, std::uint64_t{0}), 0u);
    EXPECT_TRUE(device->offsets.empty());
    EXPECT_EQ(buffer[0], 0x55);
}

TEST_F(VolumeReadTest, PositionIsTheByteOnTheDeviceAndFailuresNameTheAttempt) {
    volume.VolumeOffset = 1048576;
    device->script = {{DeviceReadResult::State::Failed, 0, 5, 0}};
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 0, std::uint64_t{1}), 0u);
    EXPECT_EQ(device->offsets.at(0), 1048576u);
    EXPECT_EQ(buffer[0], 0) << "the buffer holds zeros where nothing was read";
    ASSERT_FALSE(Lines().empty());
    EXPECT_EQ(Lines().back(), "ERR: Volume test at position 1048576 not read, retry 1 WindwsError: 5");
    EXPECT_EQ(volume.ReadErrors.load(), 1u) << "counted for the analysis's statistics";
}

TEST_F(VolumeReadTest, TimeoutWithRetryCountZero) {
    settings.SetU32(AppSettings::kRetryCount, 0);
    device->script = {{DeviceReadResult::State::Pending, ~std::uint64_t{0}, 0, -1}};
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 2, std::uint64_t{1}), 0u);
    EXPECT_EQ(device->waits, std::vector<std::uint32_t>{10000});
    EXPECT_EQ(device->cancels, 1);
    EXPECT_EQ(buffer[0], 0) << "a read that timed out leaves zeros";
    EXPECT_EQ(buffer[511], 0);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"ERR: Volume test at position 1024 read timeout, retry 2",
                                                 "ERR: Volume test at position 1024 not read, retry 1 WindwsError: 110"}));
    EXPECT_EQ(volume.ReadErrors.load(), 1u);
}

TEST_F(VolumeReadTest, LargeRequestsWaitTwoMillisecondsASector) {
    std::vector<std::uint8_t> big(4000 * 512);
    device->script = {{DeviceReadResult::State::Pending, ~std::uint64_t{0}, 0, 3}};
    EXPECT_EQ(volume.ReadSectors(big.data(), 0, std::uint64_t{4000}), 4000u * 512);
    EXPECT_EQ(device->waits, (std::vector<std::uint32_t>{8000, 8000, 8000, 8000}));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"ERR: Volume test at position 0 read timeout, retry 2",
                                                 "ERR: Volume test at position 0 read timeout, retry 3",
                                                 "ERR: Volume test at position 0 read timeout, retry 4"}));
    EXPECT_EQ(CVolume::ReadTimeoutMs(3000), 10000u);
    EXPECT_EQ(CVolume::ReadTimeoutMs(3001), 6002u);
    EXPECT_EQ(volume.ReadErrors.load(), 0u) << "a read that came through at last is no error";
}

TEST_F(VolumeReadTest, ShortReadsAreRetriedAndTheLastShortCountReturned) {
    device->script = {{DeviceReadResult::State::Done, 700, 0, 0},
                      {DeviceReadResult::State::Done, 600, 0, 0},
                      {DeviceReadResult::State::Done, 600, 0, 0},
                      {DeviceReadResult::State::Done, 512, 0, 0}};
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 0, std::uint64_t{2}), 512u);
    EXPECT_EQ(device->offsets.size(), 4u);  // RetryCount 3: four attempts
    EXPECT_EQ(buffer[511], 0xAB);
    EXPECT_EQ(buffer[512], 0) << "bytes past a short read are zero";
    // A short read that becomes whole ends the attempts.
    device->script = {{DeviceReadResult::State::Done, 100, 0, 0}, {}};
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 0, std::uint64_t{2}), 1024u);
}

TEST_F(VolumeReadTest, RequestsThatCannotBeAnsweredAreRefused) {
    EXPECT_EQ(volume.ReadSectors(buffer.data(), ~std::uint64_t{0} / 256, std::uint64_t{1}), 0u);
    EXPECT_EQ(volume.ReadSectors(buffer.data(), 0, std::int32_t{-1}), 0u);  // widened with its sign: huge
    EXPECT_TRUE(device->offsets.empty());
}

TEST(Volume, ImagesOpenReadOnlyAndUnopenableSourcesFailOnce) {
    test::ScratchDir dir;
    std::string bytes(1536, '\0');
    bytes[512] = 'X';
    test::WriteFileBytes(dir / "disk.dsk", bytes);
    AppSettings settings;
    settings.Reset(SettingsDefaults{});
    CEventLog log(settings, [] { return platform::WindowId{0}; });
    log.SetDebugOutput({});

    CVolume image(VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}});
    image.DevicePath = (dir / "disk.dsk").string();
    image.QueryInformation();
    EXPECT_EQ(image.State.load(), 1);
    EXPECT_EQ(image.Size, 1536u);
    EXPECT_EQ(image.TotalSectors, 3u);
    EXPECT_EQ(image.GetName(), "disk.dsk");
    std::vector<std::uint8_t> buf(1024);
    EXPECT_EQ(image.ReadSectors(buf.data(), 1, std::uint64_t{2}), 1024u);
    EXPECT_EQ(buf[0], 'X');
    // Past the end: a short read, returned as such.
    EXPECT_EQ(image.ReadSectors(buf.data(), 2, std::uint64_t{2}), 512u);

    for (const std::string& path : {(dir / "missing.dsk").string(), dir.path().string()}) {
        CVolume bad(VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}});
        bad.DevicePath = path;
        const std::size_t before = log.LineCount();
        EXPECT_EQ(bad.ReadSectors(buf.data(), 0, std::uint64_t{1}), 0u);
        EXPECT_EQ(log.LineCount(), before + 1);
        EXPECT_EQ(log.Lines().back().rfind("ERR: Can't open volume '" + path + "', System Error: ", 0), 0u)
            << log.Lines().back();
        bad.QueryInformation();
        EXPECT_EQ(bad.State.load(), kVolumeNotReady);
    }

    // A found volume reads through its parent at its offset, and is named by it.
    CVolume found(VK_FOUND, VolumeContext{&settings, &log, nullptr, nullptr, {}});
    found.Parent = &image;
    found.VolumeOffset = 512;
    EXPECT_EQ(found.GetName(), "Volume at: 512");
    EXPECT_EQ(found.GetDevicePath(), image.DevicePath);
    EXPECT_EQ(found.ReadSectors(buf.data(), 0, std::uint64_t{1}), 512u);
    EXPECT_EQ(buf[0], 'X');
}

TEST(Volume, ReadsFromSeveralThreadsAtOnce) {
    std::vector<std::uint8_t> bytes(64 * 512);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i / 512);
    CVolume volume(VK_IMAGE, VolumeContext{});
    volume.SetDevice(std::make_shared<MemorySectorDevice>(bytes));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<std::uint8_t> buf(512);
            for (int i = 0; i < 2000; ++i) {
                const std::uint64_t sector = static_cast<std::uint64_t>((i * 7 + t) % 64);
                if (volume.ReadSectors(buf.data(), sector, std::uint64_t{1}) != 512 || buf[100] != sector) ++wrong;
                if (i % 500 == 0) volume.Close();  // a close while others read
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace tl
