// Who may analyse disks in the desktop program: root, a member of the group
// that may read disks, or a user whose desktop reaches udisks2 on the system
// bus (which hands out read-only descriptors after asking the administrator's
// password), so that the program itself never runs as root. Images the user
// owns can be analysed by anyone.
#pragma once

namespace tl::ui {

// True when udisks2 runs on the system bus or can be started there.
bool UDisksReachable();

// The check at start-up: the program refuses to start only when none holds.
bool MayReadDisks();

}  // namespace tl::ui
