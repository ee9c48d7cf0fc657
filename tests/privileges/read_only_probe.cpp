// read_only_probe DEVICE: opens DEVICE the way the programs open a source
// (directly, else through udisks2), reads its first sector and then tries to
// write that sector back through the same descriptor.
// Exit 0: opened, read, and the write refused because the descriptor is
// read-only (EBADF). Exit 1: not opened (the reason on standard error).
// Exit 3: the descriptor let a write through, or was not read-only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/read_only_file.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_only_probe DEVICE\n");
        return 2;
    }
    tl::platform::ReadOnlyFile file;
    if (const int error = file.Open(argv[1])) {
        std::fprintf(stderr, "not opened: %s\n",
                     file.Problem().empty() ? tl::platform::ErrorText(error).c_str() : file.Problem().c_str());
        return 1;
    }
    unsigned char sector[512];
    if (file.ReadAt(0, sector, sizeof sector) != static_cast<std::int64_t>(sizeof sector)) {
        std::fprintf(stderr, "opened, but the first sector could not be read\n");
        return 1;
    }
    const int flags = ::fcntl(file.Descriptor(), F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        std::fprintf(stderr, "the descriptor is open for writing\n");
        return 3;
    }
    errno = 0;
    const ssize_t written = ::pwrite(file.Descriptor(), sector, sizeof sector, 0);
    if (written >= 0 || errno != EBADF) {
        std::fprintf(stderr, "a write through the descriptor was not refused as read-only (%zd, %s)\n", written,
                     std::strerror(errno));
        return 3;
    }
    std::printf("opened read-only; the write was refused: %s\n", std::strerror(EBADF));
    return 0;
}
