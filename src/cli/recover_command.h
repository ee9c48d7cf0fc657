// The "recover" command: analyses an image or block device as "analyze"
// does, selects found files by name, state, size, age or id, and copies
// them with the recovery engine into a destination folder.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace tl {
class CApp;
}

namespace tl::cli {

class CliSink;

struct RecoverCommand {
    std::function<bool()> opensDevice;
    // -1 when the command was not given; 0 when every selected file came back whole.
    std::function<int(CApp&, CliSink&)> run;
};

RecoverCommand AddRecoverCommand(CLI::App& cli);
// "open SOURCE --id ID": the opening engine on one found file (a temporary
// copy, opened with its application).
RecoverCommand AddOpenCommand(CLI::App& cli);

}  // namespace tl::cli
