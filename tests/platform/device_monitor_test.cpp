#include "platform/device_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/loop_device.h"
#include "test_support.h"

namespace tl::platform {
namespace {

using namespace std::chrono_literals;

std::string Netlink(std::initializer_list<const char*> fields) {
    std::string text;
    for (const char* f : fields) {
        text += f;
        text += '\0';
    }
    return text;
}

// Recorded from the kernel's uevent socket while a loop image was attached,
// partitioned with partx and detached.
TEST(DeviceMonitor, RecordedKernelMessages) {
    const auto add = ParseUevent(Netlink({"add@/devices/virtual/block/loop0/loop0p1", "ACTION=add",
                                          "DEVPATH=/devices/virtual/block/loop0/loop0p1", "SUBSYSTEM=block",
                                          "DEVNAME=loop0p1", "DEVTYPE=partition", "DISKSEQ=11", "PARTN=1",
                                          "SEQNUM=4242", "MAJOR=259", "MINOR=0"}));
    ASSERT_TRUE(add);
    EXPECT_EQ(add->action, DeviceEvent::Add);
    EXPECT_EQ(add->name, "loop0p1");
    EXPECT_EQ(add->devicePath, "/dev/loop0p1");
    EXPECT_EQ(add->major, 259u);
    EXPECT_EQ(add->minor, 0u);
    EXPECT_TRUE(add->isPartition);

    const auto change = ParseUevent(Netlink({"change@/devices/virtual/block/loop0", "ACTION=change",
                                             "DEVPATH=/devices/virtual/block/loop0", "SUBSYSTEM=block",
                                             "DEVNAME=loop0", "DEVTYPE=disk", "MAJOR=7", "MINOR=0"}));
    ASSERT_TRUE(change);
    EXPECT_EQ(change->action, DeviceEvent::Change);
    EXPECT_FALSE(change->isPartition);
    EXPECT_EQ(change->minor, 0u);
}

// The same events as libudev hands them over: lines, DEVNAME as a path.
TEST(DeviceMonitor, RecordedLibudevProperties) {
    const auto remove = ParseUevent("ACTION=remove\nDEVPATH=/devices/pci0000:00/0000:00:14.0/usb2/2-1/host4/"
                                    "target4:0:0/4:0:0:0/block/sdb\nSUBSYSTEM=block\nDEVNAME=/dev/sdb\n"
                                    "DEVTYPE=disk\nSEQNUM=5120\nMAJOR=8\nMINOR=16\n");
    ASSERT_TRUE(remove);
    EXPECT_EQ(remove->action, DeviceEvent::Remove);
    EXPECT_EQ(remove->name, "sdb");
    EXPECT_EQ(remove->devicePath, "/dev/sdb");
    EXPECT_EQ(remove->major, 8u);
    EXPECT_EQ(remove->minor, 16u);

    // A node in a subfolder of /dev: sysfs writes the slash as '!'.
    const auto nested = ParseUevent("ACTION=add\nDEVPATH=/devices/pci0000:00/cciss0/block/cciss!c0d0\n"
                                    "SUBSYSTEM=block\nDEVNAME=cciss/c0d0\nDEVTYPE=disk\nMAJOR=104\nMINOR=0\n");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->name, "cciss!c0d0");
    EXPECT_EQ(nested->devicePath, "/dev/cciss/c0d0");
    // Without DEVPATH the name comes from DEVNAME.
    EXPECT_EQ(ParseUevent("ACTION=add\nDEVNAME=cciss/c0d1\n").value_or(DeviceEvent{}).name, "cciss!c0d1");
}

TEST(DeviceMonitor, EventsThatAreNotBlockAddRemoveChangeAreDropped) {
    EXPECT_FALSE(ParseUevent("ACTION=add\nSUBSYSTEM=net\nDEVPATH=/devices/virtual/net/veth0\nINTERFACE=veth0\n"));
    EXPECT_FALSE(ParseUevent("ACTION=move\nSUBSYSTEM=block\nDEVNAME=sdb\n"));
    EXPECT_FALSE(ParseUevent("ACTION=offline\nSUBSYSTEM=block\nDEVNAME=sdb\n"));
    EXPECT_FALSE(ParseUevent("SUBSYSTEM=block\nDEVNAME=sdb\nMAJOR=8\n"));  // a sysfs file: no action
    EXPECT_FALSE(ParseUevent("ACTION=add\nSUBSYSTEM=block\nMAJOR=8\nMINOR=16\n"));
    EXPECT_FALSE(ParseUevent("ACTION=add\nSUBSYSTEM=block\nDEVNAME=../etc/passwd\n"));
    EXPECT_FALSE(ParseUevent("ACTION=add\nSUBSYSTEM=block\nDEVNAME=//sdb\n"));
    EXPECT_FALSE(ParseUevent(""));
    EXPECT_FALSE(ParseUevent("ACTION=add\nDEVNAME=sdb\nPAD=" + std::string(20000, 'x')));
    // Numbers that are not numbers read as 0, the event itself stays.
    const auto odd = ParseUevent("ACTION=change\nSUBSYSTEM=block\nDEVNAME=sdb\nMAJOR=8x\nMINOR=99999999999\n");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->major, 0u);
    EXPECT_EQ(odd->minor, 0u);
}

TEST(DeviceMonitor, StartsOnceStopsAndRestarts) {
    BlockDeviceMonitor monitor;
    std::string why;
    EXPECT_FALSE(monitor.Start(nullptr, &why));
    EXPECT_FALSE(why.empty());
    if (!monitor.Start([](DeviceEvent) {}, &why)) GTEST_SKIP() << "no uevent monitor here: " << why;
    EXPECT_TRUE(monitor.Running());
    why.clear();
    EXPECT_FALSE(monitor.Start([](DeviceEvent) {}, &why));
    EXPECT_FALSE(why.empty());
    // Stop ends the thread before it returns; a second Stop is harmless.
    monitor.Stop();
    EXPECT_FALSE(monitor.Running());
    monitor.Stop();
    // Restartable, and the destructor stops a running monitor.
    EXPECT_TRUE(monitor.Start([](DeviceEvent) {}, &why)) << why;
}

// Collects the events of one device family, for the test thread to wait on.
class EventLog {
public:
    void Add(DeviceEvent e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    // Waits until an event with this action and name arrived, at most `limit`.
    bool WaitFor(DeviceEvent::Action action, const std::string& name, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (const auto& e : events_)
                if (e.action == action && e.name == name) return true;
            return false;
        });
    }
    std::vector<DeviceEvent> Snapshot() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DeviceEvent> events_;
};

std::string Describe(const std::vector<DeviceEvent>& events) {
    std::string text;
    for (const auto& e : events) {
        text += e.action == DeviceEvent::Add ? "add " : e.action == DeviceEvent::Remove ? "remove " : "change ";
        text += e.name + "; ";
    }
    return text.empty() ? "none" : text;
}

// A loop device attached, partitioned and detached while the monitor runs.
// Existing loop nodes announce an attach as a change; a node the kernel
// creates for it comes as an add.
TEST(DeviceMonitor, SeesLoopDeviceAndPartitionsComeAndGo) {
    tl::test::ScratchDir dir;
    const auto image = dir / "disk.img";
    TL_REQUIRE_MADE(tl::test::MakePartitionedDisk(image));
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";

    EventLog log;
    BlockDeviceMonitor monitor;
    std::string why;
    if (!monitor.Start([&](DeviceEvent e) { log.Add(std::move(e)); }, &why))
        GTEST_SKIP() << "no uevent monitor here: " << why;

    tl::test::LoopDevice loop(image);
    if (!loop.attached()) GTEST_SKIP() << "no loop device: " << loop.error();
    const std::string disk = loop.name();
    const bool attachSeen = log.WaitFor(DeviceEvent::Change, disk, 10s) || log.WaitFor(DeviceEvent::Add, disk, 0ms);
    if (!attachSeen && log.Snapshot().empty())
        GTEST_SKIP() << "no uevents reach this process (network namespace without the kernel's broadcasts)";
    EXPECT_TRUE(attachSeen) << Describe(log.Snapshot());

    ASSERT_TRUE(loop.AddPartitions()) << loop.error();
    EXPECT_TRUE(log.WaitFor(DeviceEvent::Add, disk + "p1", 10s)) << Describe(log.Snapshot());
    EXPECT_TRUE(log.WaitFor(DeviceEvent::Add, disk + "p2", 10s)) << Describe(log.Snapshot());

    loop.Detach();
    EXPECT_TRUE(log.WaitFor(DeviceEvent::Remove, disk + "p1", 10s)) << Describe(log.Snapshot());
    EXPECT_TRUE(log.WaitFor(DeviceEvent::Remove, disk + "p2", 10s)) << Describe(log.Snapshot());
    monitor.Stop();

    for (const auto& e : log.Snapshot()) {
        if (e.name == disk + "p1" && e.action == DeviceEvent::Add) {
            EXPECT_TRUE(e.isPartition);
            EXPECT_EQ(e.devicePath, "/dev/" + disk + "p1");
            EXPECT_NE(e.major, 0u);
        }
        if (e.name == disk) {
            EXPECT_FALSE(e.isPartition);
        }
    }
}

}  // namespace
}  // namespace tl::platform
