#include "platform/device_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "platform/block_devices.h"

namespace tl::platform {
namespace {

// A uevent holds at most a few kilobytes of environment; anything longer is
// not something the kernel sent.
constexpr std::size_t kMaxUeventBytes = 16384;
// How often the thread wakes without an event; Stop also wakes it at once.
constexpr int kPollMilliseconds = 500;

unsigned ToUnsigned(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

// The uevent text of a device that libudev received.
std::string UeventText(udev_device* device) {
    std::string text;
    for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e; e = udev_list_entry_get_next(e)) {
        const char* key = udev_list_entry_get_name(e);
        const char* value = udev_list_entry_get_value(e);
        if (!key) continue;
        text += key;
        text += '=';
        if (value) text += value;
        text += '\n';
        if (text.size() > kMaxUeventBytes) break;
    }
    return text;
}

}  // namespace

std::optional<DeviceEvent> ParseUevent(std::string_view text) {
    if (text.size() > kMaxUeventBytes) return std::nullopt;
    std::string_view action, subsystem, devName, devPath, devType, major, minor;
    const auto fields = ParseUeventFields(text);
    for (const auto& [key, value] : fields) {
        if (key == "ACTION") action = value;
        else if (key == "SUBSYSTEM") subsystem = value;
        else if (key == "DEVNAME") devName = value;
        else if (key == "DEVPATH") devPath = value;
        else if (key == "DEVTYPE") devType = value;
        else if (key == "MAJOR") major = value;
        else if (key == "MINOR") minor = value;
    }
    DeviceEvent event;
    if (action == "add") event.action = DeviceEvent::Add;
    else if (action == "remove") event.action = DeviceEvent::Remove;
    else if (action == "change") event.action = DeviceEvent::Change;
    else return std::nullopt;
    if (!subsystem.empty() && subsystem != "block") return std::nullopt;

    // The kernel sends DEVNAME relative to /dev; libudev hands it on as a path.
    if (devName.substr(0, 5) == "/dev/") devName.remove_prefix(5);
    if (devName.empty() || devName.front() == '/' || devName.find("..") != std::string_view::npos ||
        devName.find('\0') != std::string_view::npos)
        return std::nullopt;
    event.devicePath = "/dev/" + std::string(devName);
    if (const auto slash = devPath.rfind('/'); slash != std::string_view::npos && slash + 1 < devPath.size())
        event.name = std::string(devPath.substr(slash + 1));
    else {
        event.name = std::string(devName);
        for (char& c : event.name)
            if (c == '/') c = '!';
    }
    event.major = ToUnsigned(major);
    event.minor = ToUnsigned(minor);
    event.isPartition = devType == "partition";
    return event;
}

BlockDeviceMonitor::~BlockDeviceMonitor() { Stop(); }

bool BlockDeviceMonitor::Start(Callback callback, std::string* whyNot) {
    const auto fail = [&](std::string reason) {
        if (whyNot) *whyNot = std::move(reason);
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        if (wakeFd_ >= 0) ::close(wakeFd_);
        monitor_ = nullptr;
        udev_ = nullptr;
        wakeFd_ = -1;
        return false;
    };
    if (Running()) {
        if (whyNot) *whyNot = "the monitor is already running";
        return false;
    }
    if (!callback) return fail("no callback given");
    errno = 0;
    udev_ = udev_new();
    if (!udev_) return fail(std::string("libudev could not be initialised: ") + std::strerror(errno));
    errno = 0;
    monitor_ = udev_monitor_new_from_netlink(udev_, "kernel");
    if (!monitor_) return fail(std::string("no kernel uevent socket: ") + std::strerror(errno ? errno : EPERM));
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0)
        return fail("the block-subsystem filter could not be set");
    if (const int rc = udev_monitor_enable_receiving(monitor_); rc < 0)
        return fail(std::string("the uevent socket cannot receive: ") + std::strerror(-rc));
    // Bursts (a disk with many partitions) must not overflow the socket; the
    // call needs privileges and merely fails without them.
    udev_monitor_set_receive_buffer_size(monitor_, 1 << 20);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return fail(std::string("no eventfd: ") + std::strerror(errno));
    callback_ = std::move(callback);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        callback_ = nullptr;
        return fail(std::string("the monitor thread could not start: ") + e.what());
    }
    return true;
}

void BlockDeviceMonitor::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    monitor_ = nullptr;
    udev_ = nullptr;
    wakeFd_ = -1;
    callback_ = nullptr;
}

void BlockDeviceMonitor::Run() {
    const int socketFd = udev_monitor_get_fd(monitor_);
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {socketFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kPollMilliseconds);
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (fds[1].revents & POLLNVAL) return;
        if (ready <= 0 || (fds[1].revents & (POLLIN | POLLERR)) == 0) continue;
        // Drain what is queued; receive returns null once the socket is empty
        // (it is non-blocking) and for messages that fail the filter.
        for (int i = 0; i < 256; ++i) {
            udev_device* device = udev_monitor_receive_device(monitor_);
            if (!device) break;
            const std::string text = UeventText(device);
            udev_device_unref(device);
            auto event = ParseUevent(text);
            if (!event) continue;
            try {
                callback_(std::move(*event));
            } catch (...) {
                // A failing receiver must not end the watch. The monitor has
                // no log of its own: the receiver logs what it fails at.
            }
        }
    }
}

}  // namespace tl::platform
