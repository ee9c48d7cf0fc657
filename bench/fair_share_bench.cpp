// The whole program's sector scan ("analyze --sectors-only") while two busy
// programs keep both processors busy, against the same scan on the quiet
// machine, in one run: the scan's workers run at a low priority, which must
// mean a small share of the processors, never none.
//
//   build/release/bin/tl_fair_share_bench [MIB] [RUNS]
// MIB (default 2048): an image of pseudo-random data made in the temporary
// folder once. RUNS (default 3): scans per condition; the median is kept.
// The busy programs are busy loops at nice 0. "Other sessions" starts each
// in a session of its own, as programs started elsewhere on the desktop
// are; "same session" leaves them in the benchmark's, where only the nice
// values share the processors out.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Median;

bool MakeImage(const fs::path& image, std::uint64_t mib) {
    if (fs::exists(image) && fs::file_size(image) == mib << 20) return true;
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> chunk(1 << 17);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t done = 0; done < mib; ++done) {
        tl::bench::FillPseudoRandom(chunk, x);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 8));
    }
    return static_cast<bool>(out);
}

std::vector<pid_t> StartBusyLoops(int count, bool ownSessions) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (ownSessions) ::setsid();
            volatile std::uint64_t n = 0;
            for (;;) n = n + 1;
        }
        if (pid > 0) pids.push_back(pid);
    }
    return pids;
}

void StopBusyLoops(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path dir = fs::temp_directory_path() / "tl_fair_share_bench";
    fs::create_directories(dir);
    const fs::path image = dir / ("noise_" + std::to_string(mib) + ".img");
    if (!MakeImage(image, mib)) {
        std::fprintf(stderr, "cannot make %s\n", image.c_str());
        return 1;
    }
    const std::string scan = std::string("TESSALOFT_CONFIG_DIR='") + (dir / "config").string() + "' '" TL_CLI_PATH
                             "' --quiet analyze '" + image.string() + "' --sectors-only --format tsv >/dev/null";
    const std::string read = "dd if='" + image.string() + "' of=/dev/null bs=10M status=none";
    tl::bench::TimeCommand(read);  // the page cache holds the image from here on
    if (tl::bench::TimeCommand(scan) < 0) {
        std::fprintf(stderr, "the scan failed: %s\n", scan.c_str());
        return 1;
    }

    struct Condition {
        const char* name;
        int busy;
        bool ownSessions;
    };
    const Condition conditions[] = {{"quiet machine", 0, false},
                                    {"2 busy loops, other sessions", 2, true},
                                    {"2 busy loops, same session", 2, false}};
    double quiet = 0;
    std::printf("image: %llu MiB of noise, %d runs per condition, medians\n", static_cast<unsigned long long>(mib), runs);
    std::printf("%-30s %10s %10s %12s %14s\n", "condition", "scan s", "dd s", "scan MB/s", "share of quiet");
    for (const Condition& c : conditions) {
        const auto pids = StartBusyLoops(c.busy, c.ownSessions);
        std::vector<double> scans, reads;
        for (int r = 0; r < runs; ++r) {
            scans.push_back(tl::bench::TimeCommand(scan));
            reads.push_back(tl::bench::TimeCommand(read));
        }
        StopBusyLoops(pids);
        const double s = Median(scans);
        if (c.busy == 0) quiet = s;
        std::printf("%-30s %10.2f %10.2f %12.0f %13.0f%%\n", c.name, s, Median(reads), static_cast<double>(mib << 20) / s / 1e6,
                    100.0 * quiet / s);
    }
    return 0;
}
