#include "platform/terminal.h"

#include <unistd.h>

namespace tl::platform {

bool IsTerminal(std::FILE* stream) {
    const int fd = stream ? ::fileno(stream) : -1;
    return fd >= 0 && ::isatty(fd) != 0;
}

}  // namespace tl::platform
