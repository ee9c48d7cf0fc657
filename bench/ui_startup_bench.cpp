// How long the desktop program takes from its start to its start window
// (the four-step wizard) on the screen, warm, against a bare Qt program that
// shows an empty main window, timed the same way in the same run: each
// program is started, and the X server's window tree is read until a window
// of its title is mapped.
// Run it in a desktop session: scripts/gui-session.sh
// build/release/bin/tl_ui_startup_bench [RUNS]. Targets: under 3x the bare
// window, and under 1 s.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds from the start of `argv` to a mapped window titled `title`; -1
// when none appeared within 20 s.
double TimeToWindow(const std::vector<std::string>& argv, const std::string& title) {
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    const std::string probe = "xwininfo -root -tree 2>/dev/null | grep -q -F '\"" + title + "\"'";
    double seconds = -1;
    while (tl::bench::Seconds(start) < 20) {
        if (std::system(probe.c_str()) == 0) {
            seconds = tl::bench::Seconds(start);
            break;
        }
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!std::getenv("DISPLAY") || !tl::bench::Have("xwininfo")) {
        std::fprintf(stderr, "run me in a desktop session with xwininfo: scripts/gui-session.sh %s\n", argv[0]);
        return 2;
    }
    const std::filesystem::path config = std::filesystem::temp_directory_path() / "tessa-loft-startup-bench";
    std::filesystem::remove_all(config);
    setenv("TESSALOFT_CONFIG_DIR", config.c_str(), 1);
    const std::vector<std::string> ours{TL_PROGRAM_PATH};
    const std::vector<std::string> bare{TL_BARE_PATH};
    // The first start installs the signature set and fills the page cache: not timed.
    TimeToWindow(ours, "Documents Tessa-Loft");
    TimeToWindow(bare, "bare window");
    std::vector<double> oursRuns, bareRuns;
    for (int i = 0; i < runs; ++i) {  // in rounds, so that the load falls on both alike
        oursRuns.push_back(TimeToWindow(ours, "Documents Tessa-Loft"));
        bareRuns.push_back(TimeToWindow(bare, "bare window"));
    }
    const double o = tl::bench::Median(oursRuns), b = tl::bench::Median(bareRuns);
    if (o < 0 || b < 0) {
        std::fprintf(stderr, "a window did not appear\n");
        return 1;
    }
    std::printf("start to the start window on the screen, median of %d warm runs\n", runs);
    std::printf("  bare QApplication + QMainWindow   %7.3f s\n", b);
    std::printf("  tessa-loft                        %7.3f s   %.2fx the bare window (target: under 3x, under 1 s)\n", o,
                o / b);
    return 0;
}
