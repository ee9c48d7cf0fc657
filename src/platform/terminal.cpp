#include "platform/terminal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace tl::platform {
namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int signal) {
    // The second request ends the program as the first would have.
    if (interrupted.exchange(true)) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
    const int fd = stream ? ::fileno(stream) : -1;
    return fd >= 0 && ::isatty(fd) != 0;
}

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return interrupted.load(); }

}  // namespace tl::platform
