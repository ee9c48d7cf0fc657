// Timing helpers shared by the benchmark programs.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

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

}  // namespace tl::bench
