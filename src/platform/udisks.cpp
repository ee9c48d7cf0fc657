#include "platform/udisks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace tl::platform {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.UDisks2.Manager";
constexpr const char* kBlockInterface = "org.freedesktop.UDisks2.Block";
// A person typing the administrator's password is given time; an ask that
// cannot prompt comes back at once.
constexpr std::uint64_t kPromptTimeoutUs = 5ull * 60 * 1000 * 1000;
constexpr std::uint64_t kQuietTimeoutUs = 25ull * 1000 * 1000;
// After a dismissed prompt, the asks of this long do not prompt again.
constexpr std::int64_t kQuietAfterDismissMs = 10000;
// A listing of udisks2's answer is bounded: far beyond any real machine.
constexpr int kMaxResolved = 64;

std::atomic<std::int64_t> g_quietUntilMs{0};

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// An sd_bus_error freed on every way out.
struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
    bool Is(const char* name) const { return sd_bus_error_has_name(&e, name) > 0; }
    bool IsMissingService() const {
        return Is("org.freedesktop.DBus.Error.ServiceUnknown") || Is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
               Is("org.freedesktop.DBus.Error.Spawn.ServiceNotFound");
    }
};

Bus OpenSystemBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    return Bus(bus);
}

// udisks2's words can reach a terminal: control characters are replaced.
std::string Printable(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

UDisksDescriptor Refusal(UDisksAnswer answer, std::string message) {
    UDisksDescriptor d;
    d.answer = answer;
    d.message = std::move(message);
    return d;
}

UDisksDescriptor FromBusError(const BusError& error, int result, const std::string& devicePath) {
    if (error.IsMissingService())
        return Refusal(UDisksAnswer::NoService, "udisks2 does not run on the system bus. " + DeviceRightsAdvice());
    if (error.Is("org.freedesktop.UDisks2.Error.NotAuthorized") ||
        error.Is("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") ||
        error.Is("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")) {
        if (error.Is("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"))
            g_quietUntilMs = NowMs() + kQuietAfterDismissMs;
        return Refusal(UDisksAnswer::NotAuthorised,
                       "not authorised to read " + devicePath +
                           ": udisks2 opens a disk for reading only after the administrator's password is given");
    }
    if (sd_bus_error_is_set(&error.e))
        return Refusal(UDisksAnswer::Failed, "udisks2 could not open " + devicePath + ": " + Printable(error.e.message));
    return Refusal(UDisksAnswer::Failed, "udisks2 could not open " + devicePath + ": " + std::strerror(-result));
}

// The object udisks2 keeps for the block device at `devicePath`.
std::string ResolveBlockObject(sd_bus* bus, const std::string& devicePath, UDisksDescriptor& failure) {
    BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, kService, kManagerPath, kManagerInterface, "ResolveDevice", &error.e, &raw,
                               "a{sv}a{sv}", 1, "path", "s", devicePath.c_str(), 0);
    Message reply(raw);
    if (r < 0) {
        failure = FromBusError(error, r, devicePath);
        return {};
    }
    std::string object;
    if (sd_bus_message_enter_container(reply.get(), 'a', "o") > 0) {
        const char* path = nullptr;
        for (int i = 0; i < kMaxResolved && sd_bus_message_read(reply.get(), "o", &path) > 0; ++i)
            if (object.empty() && path) object = path;
    }
    if (object.empty())
        failure = Refusal(UDisksAnswer::NoSuchDevice, "udisks2 does not list " + devicePath);
    return object;
}

// The descriptor must be the device asked for, and open for reading only.
bool IsReadOnlyDescriptorOf(int fd, const std::string& devicePath) {
    struct stat asked{}, got{};
    if (::stat(devicePath.c_str(), &asked) != 0 || ::fstat(fd, &got) != 0) return false;
    if (!S_ISBLK(asked.st_mode) || !S_ISBLK(got.st_mode) || asked.st_rdev != got.st_rdev) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
}

}  // namespace

std::string DeviceRightsAdvice() {
    return "Run the command as root (sudo tessa-loft-cli ...), or as a member of the group disk, "
           "or start udisks2 so that it can open disks read-only for you.";
}

bool UDisksReachable() {
    Bus bus = OpenSystemBus();
    if (!bus) return false;
    {
        BusError error;
        sd_bus_message* raw = nullptr;
        if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error.e, &raw, "s", kService) >= 0) {
            Message reply(raw);
            int owned = 0;
            if (sd_bus_message_read(reply.get(), "b", &owned) > 0 && owned) return true;
        }
    }
    // Not running yet: the bus starts it on the first call when it is installed.
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "ListActivatableNames", &error.e, &raw, "") < 0)
        return false;
    Message reply(raw);
    char** names = nullptr;
    if (sd_bus_message_read_strv(reply.get(), &names) < 0 || !names) return false;
    bool found = false;
    for (char** n = names; *n; ++n) {
        if (std::strcmp(*n, kService) == 0) found = true;
        std::free(*n);
    }
    std::free(names);
    return found;
}

UDisksDescriptor OpenDeviceThroughUDisks(const std::string& devicePath) {
    Bus bus = OpenSystemBus();
    if (!bus) return Refusal(UDisksAnswer::NoService, "no system bus answers. " + DeviceRightsAdvice());
    const bool prompt = NowMs() >= g_quietUntilMs.load();
    sd_bus_set_allow_interactive_authorization(bus.get(), prompt ? 1 : 0);

    UDisksDescriptor result;
    const std::string object = ResolveBlockObject(bus.get(), devicePath, result);
    if (object.empty()) return result;

    sd_bus_message* rawCall = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &rawCall, kService, object.c_str(), kBlockInterface, "OpenDevice") < 0)
        return Refusal(UDisksAnswer::Failed, "udisks2 could not be asked for " + devicePath);
    Message call(rawCall);
    // Mode "r" only: the descriptor cannot be written through, whatever the
    // program does with it.
    if (sd_bus_message_append(call.get(), "sa{sv}", "r", 1, "auth.no_user_interaction", "b", prompt ? 0 : 1) < 0)
        return Refusal(UDisksAnswer::Failed, "udisks2 could not be asked for " + devicePath);

    BusError error;
    sd_bus_message* rawReply = nullptr;
    const int r = sd_bus_call(bus.get(), call.get(), prompt ? kPromptTimeoutUs : kQuietTimeoutUs, &error.e, &rawReply);
    Message reply(rawReply);
    if (r < 0) return FromBusError(error, r, devicePath);

    int passed = -1;
    if (sd_bus_message_read(reply.get(), "h", &passed) < 0 || passed < 0)
        return Refusal(UDisksAnswer::Failed, "udisks2 answered without a descriptor for " + devicePath);
    // The message owns the descriptor it carried: keep a copy of our own.
    const int fd = ::fcntl(passed, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return Refusal(UDisksAnswer::Failed, "udisks2's descriptor could not be kept: " + std::string(std::strerror(errno)));
    if (!IsReadOnlyDescriptorOf(fd, devicePath)) {
        ::close(fd);
        return Refusal(UDisksAnswer::Failed, "udisks2 handed out a descriptor that is not " + devicePath + " read-only");
    }
    result.answer = UDisksAnswer::Opened;
    result.fd = fd;
    result.message.clear();
    return result;
}

}  // namespace tl::platform
