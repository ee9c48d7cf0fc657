// Timing helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tl::bench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs `cmd` through the shell: its wall time in seconds, or -1 when it failed.
inline double TimeCommand(const std::string& cmd) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) return -1;
    return Seconds(start);
}

// Whether `tool` is on the PATH.
inline bool Have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

// The middle value (the upper one of an even count), or -1 for none.
inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// Reads `file` once so that every timed run after it finds it in the page cache.
inline void WarmPageCache(const std::filesystem::path& file) {
    TimeCommand("dd if='" + file.string() + "' of=/dev/null bs=10M status=none");
}

// One command to time as a whole process; `prepare` runs before each run,
// outside the timing (clearing an output folder, say).
struct TimedCommand {
    std::string label;
    std::string command;
    std::function<void()> prepare;
    std::vector<double> seconds;  // one per run
    bool failed = false;

    double MedianSeconds() const { return failed ? -1 : Median(seconds); }
};

// Runs every command `runs` times, a round of all of them after another, so
// that a change in the machine's load falls on all of them alike. Writers
// leave dirty pages behind: `sync` before each run keeps one command's
// write-back out of the next one's time. A command that fails once is
// marked failed and not run again.
inline void TimeInRounds(std::vector<TimedCommand>& commands, int runs) {
    for (int round = 0; round < runs; ++round)
        for (TimedCommand& c : commands) {
            if (c.failed) continue;
            if (c.prepare) c.prepare();
            TimeCommand("sync");
            const double t = TimeCommand(c.command);
            if (t < 0)
                c.failed = true;
            else
                c.seconds.push_back(t);
        }
}

}  // namespace tl::bench
