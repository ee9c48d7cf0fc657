// Arrival and removal of block devices, as the kernel announces them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

struct udev;
struct udev_monitor;

namespace tl::platform {

struct DeviceEvent {
    enum Action { Add, Remove, Change };
    Action action = Add;
    std::string name;        // sysfs name: sdb, sdb1, loop0
    std::string devicePath;  // /dev/sdb1
    unsigned major = 0;
    unsigned minor = 0;
    bool isPartition = false;
};

// One block-subsystem uevent in the kernel's key=value form (the lines of a
// sysfs uevent file with ACTION added, or a NUL-separated netlink message).
// nullopt for other subsystems, other actions (bind, move, online ...), or
// when the device name is missing or unusable.
std::optional<DeviceEvent> ParseUevent(std::string_view text);

// Watches the kernel's uevents for the block subsystem on its own thread.
// The kernel source is used, not the udev daemon's, so events arrive where no
// daemon runs; they may arrive before udev has finished with the device node.
class BlockDeviceMonitor {
public:
    using Callback = std::function<void(DeviceEvent)>;

    BlockDeviceMonitor() = default;
    ~BlockDeviceMonitor();  // stops and joins
    BlockDeviceMonitor(const BlockDeviceMonitor&) = delete;
    BlockDeviceMonitor& operator=(const BlockDeviceMonitor&) = delete;

    // Starts watching; `callback` runs on the monitor's thread for every add,
    // remove and change, and must not call Stop. False, with the reason in
    // `whyNot`, when the monitor cannot be set up (no netlink socket in a
    // sandbox, already running).
    bool Start(Callback callback, std::string* whyNot = nullptr);
    // Ends the thread and waits for it; it notices within one poll. Safe to
    // call when not running.
    void Stop();
    bool Running() const { return thread_.joinable(); }

private:
    void Run();

    Callback callback_;
    std::thread thread_;
    ::udev* udev_ = nullptr;
    ::udev_monitor* monitor_ = nullptr;
    int wakeFd_ = -1;  // eventfd that Stop writes
};

}  // namespace tl::platform
