// The "image" command: a volume copied sector by sector into a drive image
// file, then loaded and described as "info" describes it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace tl {
class CApp;
}

namespace tl::cli {

class CliSink;

struct ImageCommand {
    std::function<bool()> opensDevice;
    // -1 when the command was not given. The sink is drained while the copy
    // runs: a chunk notification for every 2 MiB would otherwise pile up.
    std::function<int(CApp&, CliSink&)> run;
};

ImageCommand AddImageCommand(CLI::App& cli);

}  // namespace tl::cli
