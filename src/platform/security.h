// The administrator check: who may read raw disks.
#pragma once

namespace tl::platform {

// True for the effective user root, or for a member of the group that may
// read disks ("disk"). Any failure to tell counts as not an administrator.
bool IsUserAdmin();

}  // namespace tl::platform
