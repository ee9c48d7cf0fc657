// The "drives" and "info" commands: the drive list, and what one source
// (an image file or a block device) holds.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace tl {
class CApp;
}

namespace tl::cli {

struct VolumeCommands {
    // Whether the parsed command opens a device (and so needs disk rights).
    std::function<bool()> opensDevice;
    // Runs the parsed command; -1 when none of these commands was given.
    std::function<int(CApp&)> run;
};

VolumeCommands AddVolumeCommands(CLI::App& cli);

}  // namespace tl::cli
