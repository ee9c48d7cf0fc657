// The "drives" and "info" commands: the drive list, and what one source
// (an image file or a block device) holds.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace tl {
class CApp;
class CVolume;
}

namespace tl::cli {

struct VolumeCommands {
    // Whether the parsed command opens a device (and so needs disk rights).
    std::function<bool()> opensDevice;
    // Runs the parsed command; -1 when none of these commands was given.
    std::function<int(CApp&)> run;
};

VolumeCommands AddVolumeCommands(CLI::App& cli);

// The volume of a source named on the command line: a listed disk or
// partition, or an image file loaded for the run. Null, with the reason on
// standard error, when it cannot be read.
CVolume* OpenSourceVolume(CApp& app, const std::string& source);

// Prints what "info" prints about a volume for people: its information rows,
// then the volumes found on it.
void PrintVolumeInformation(CApp& app, CVolume& volume);

}  // namespace tl::cli
