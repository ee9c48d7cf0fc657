// Read-only descriptors of disks for a user who may not open them: udisks2,
// on the system bus, opens the device and passes the descriptor over, after
// polkit has asked the desktop's authentication agent for the administrator's
// password. The program itself never runs as root, so the bytes of a hostile
// disk are parsed without privileges.
#pragma once

#include <string>

namespace tl::platform {

// What became of an ask for a descriptor.
enum class UDisksAnswer {
    Opened,
    NoService,      // no system bus, or no udisks2 on it and none to start
    NotAuthorised,  // polkit said no, or the password prompt was dismissed
    NoSuchDevice,   // udisks2 does not know the device
    Failed,         // any other refusal; `message` holds udisks2's words
};

struct UDisksDescriptor {
    UDisksAnswer answer = UDisksAnswer::Failed;
    int fd = -1;          // owned by the caller when answer is Opened
    std::string message;  // a sentence for the log or the terminal
};

// True when udisks2 owns its name on the system bus, or the bus can start it.
bool UDisksReachable();

// Asks udisks2 to open the block device at `devicePath` read-only. The
// descriptor is checked to be that very device, opened for reading only.
// After the password prompt was dismissed, the asks of the next seconds are
// made without a prompt, so one listing of many disks asks once.
UDisksDescriptor OpenDeviceThroughUDisks(const std::string& devicePath);

// The sentence that tells a user how to read disks when udisks2 cannot help.
std::string DeviceRightsAdvice();

}  // namespace tl::platform
