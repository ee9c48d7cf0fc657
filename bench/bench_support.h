// Timing helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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

// Fills `words` with pseudo-random data (xorshift), going on from `state`.
inline void FillPseudoRandom(std::vector<std::uint64_t>& words, std::uint64_t& state) {
    for (auto& w : words) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        w = state;
    }
}

// Pseudo-random filler (xorshift), with `count` of the samples written over
// it at sector boundaries spread evenly over the image; 0 plants nothing.
inline bool MakePlantedImage(const std::filesystem::path& image, std::uint64_t mib, const std::filesystem::path& samples, std::uint64_t count) {
    static const char* kSamples[] = {"sample.pdf", "sample.doc", "sample.xls", "sample.ppt", "sample.docx",
                                     "sample.xlsx", "sample.pptx", "sample.odt", "sample.rtf", "sample.jpg",
                                     "sample_big.jpg", "sample.png", "sample.gif", "sample.bmp", "sample.zip"};
    std::vector<std::string> contents;
    for (const char* s : kSamples) {
        std::ifstream in(samples / s, std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (contents.back().empty()) return false;
    }
    const std::uint64_t sectors = mib * 2048;
    std::vector<std::uint64_t> plants;  // sectors
    for (std::uint64_t k = 0; k < count; ++k) plants.push_back((k * 2 + 1) * (sectors / (2 * count)));
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> chunk(10 * 1024 * 1024 / 8);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    std::size_t next = 0;
    for (std::uint64_t at = 0; at < sectors; at += 20480) {
        FillPseudoRandom(chunk, x);
        auto* bytes = reinterpret_cast<char*>(chunk.data());
        for (; next < plants.size() && plants[next] < at + 20480; ++next) {
            const std::string& c = contents[next % contents.size()];
            const std::uint64_t offset = (plants[next] - at) * 512;
            std::memcpy(bytes + offset, c.data(), std::min<std::uint64_t>(c.size(), chunk.size() * 8 - offset));
        }
        out.write(bytes, static_cast<std::streamsize>(std::min<std::uint64_t>(20480, sectors - at) * 512));
    }
    return static_cast<bool>(out);
}

}  // namespace tl::bench
