#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

extern char** environ;

namespace tl::platform {

bool OpenWithApplication(const std::filesystem::path& path) { return OpenWithApplicationResult(path) >= 32; }

int OpenWithApplicationResult(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return 2;
    // Double spawn through a short-lived shell so the opener is re-parented and
    // never becomes a zombie of ours; the shell's exit status says whether
    // xdg-open could be found.
    const std::string script = "command -v xdg-open >/dev/null 2>&1 || exit 127; "
                               "(xdg-open \"$0\" >/dev/null 2>&1 &) ; exit 0";
    const std::string target = path.string();
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                    const_cast<char*>(target.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "sh", nullptr, nullptr, argv, environ) != 0) return 5;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 5;
    }
    if (!WIFEXITED(status)) return 5;
    if (WEXITSTATUS(status) == 127) return 31;
    return WEXITSTATUS(status) == 0 ? 42 : 5;
}

}  // namespace tl::platform
