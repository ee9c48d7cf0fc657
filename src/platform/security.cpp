#include "platform/security.h"

#include <grp.h>
#include <unistd.h>

#include <vector>

namespace tl::platform {

bool IsUserAdmin() {
    if (::geteuid() == 0) return true;
    const group* disk = ::getgrnam("disk");
    if (!disk) return false;
    const gid_t diskGid = disk->gr_gid;
    if (::getegid() == diskGid) return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == diskGid) return true;
    return false;
}

}  // namespace tl::platform
