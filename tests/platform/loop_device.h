// Test helpers for real block devices: a partitioned disk image made by the
// usual tools, and a loop device that is always detached again.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "fixture_support.h"

namespace tl::test {

struct CommandResult {
    int status = -1;  // exit code; -1 when the command did not run or was killed
    std::string output;  // standard output and error
};

// Runs a shell command with a time limit, so a hanging tool cannot hang the test.
inline CommandResult RunCommand(const std::string& command, int seconds = 30) {
    CommandResult result;
    const std::string line = "PATH=$PATH:/usr/sbin:/sbin timeout " + std::to_string(seconds) + " " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return result;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline bool HaveTool(const std::string& name) {
    return RunCommand("sh -c 'command -v " + name + "'", 5).status == 0;
}

// Layout of the test disk: 16 MiB, an MBR with a FAT12 partition at sector
// 2048 (12288 sectors, label "TESTLABEL") and an empty Linux partition at
// 14336 up to the end (18432 sectors).
inline constexpr std::uint64_t kDiskBytes = 16u << 20;
inline constexpr std::uint64_t kPart1Start = 2048, kPart1Sectors = 12288;
inline constexpr std::uint64_t kPart2Start = 14336, kPart2Sectors = 18432;
inline constexpr const char* kPart1Label = "TESTLABEL";

// Makes the test disk at `image`.
inline Fixture MakePartitionedDisk(const std::filesystem::path& image) {
    Fixture f;
    for (const char* tool : {"sfdisk", "mkfs.fat"})
        if (!HaveTool(tool)) {
            f.state = Fixture::State::ToolMissing;
            f.detail = std::string("missing tool: ") + tool;
            return f;
        }
    const std::string quoted = "'" + image.string() + "'";
    auto r = RunCommand("truncate -s 16M " + quoted);
    if (r.status == 0)
        r = RunCommand("sh -c \"printf 'label: dos\\nstart=2048, size=12288, type=c\\nstart=14336, type=83\\n' | "
                       "sfdisk -q " + quoted + "\"");
    // The block count is in KiB: 12288 sectors.
    if (r.status == 0) r = RunCommand("mkfs.fat -F 12 -n " + std::string(kPart1Label) + " --offset 2048 " + quoted + " 6144");
    if (r.status != 0) {
        f.detail = "the test disk could not be made: " + r.output;
        return f;
    }
    f.state = Fixture::State::Made;
    return f;
}

// A loop device over an image, with its partitions made known to the kernel
// (which does not scan loop devices itself everywhere). Detached on
// destruction, so a failing test leaves nothing attached.
class LoopDevice {
public:
    // `sectorSize`: the logical sector size the device reports (0: the default).
    explicit LoopDevice(const std::filesystem::path& image, unsigned sectorSize = 0) {
        if (::geteuid() != 0) {
            error_ = "loop devices need root";
            return;
        }
        if (!std::filesystem::exists("/dev/loop-control")) {
            error_ = "no /dev/loop-control";
            return;
        }
        if (!HaveTool("losetup") || !HaveTool("partx")) {
            error_ = "losetup or partx is not installed";
            return;
        }
        const std::string size = sectorSize ? "--sector-size " + std::to_string(sectorSize) + " " : "";
        const auto r = RunCommand("losetup -f --show " + size + "'" + image.string() + "'");
        if (r.status != 0 || r.output.rfind("/dev/loop", 0) != 0) {
            error_ = "losetup failed: " + r.output;
            return;
        }
        path_ = r.output.substr(0, r.output.find('\n'));
    }
    ~LoopDevice() { Detach(); }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    bool attached() const { return !path_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    std::string name() const { return std::filesystem::path(path_).filename().string(); }

    // Registers the partitions of the attached image. True when they exist.
    bool AddPartitions() {
        if (!attached()) return false;
        const std::filesystem::path first = "/sys/block/" + name() + "/" + name() + "p1";
        if (!std::filesystem::exists(first)) {
            const auto r = RunCommand("partx -a '" + path_ + "'");
            if (r.status != 0) error_ = "partx -a failed: " + r.output;
        }
        return std::filesystem::exists(first);
    }

    void Detach() {
        if (!attached()) return;
        RunCommand("partx -d '" + path_ + "'");
        const auto r = RunCommand("losetup -d '" + path_ + "'");
        if (r.status != 0) ADD_FAILURE() << "could not detach " << path_ << ": " << r.output;
        path_.clear();
    }

private:
    std::string path_;
    std::string error_;
};

}  // namespace tl::test
