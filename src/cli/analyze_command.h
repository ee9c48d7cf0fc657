// The "analyze" command: the file-system analysis of an image or block
// device (and of every volume its partition table lists), printed as a tree
// for people or as one JSON object a line.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace tl {
class CApp;
}

namespace tl::cli {

struct AnalyzeCommand {
    std::function<bool()> opensDevice;
    std::function<int(CApp&)> run;  // -1 when the command was not given
};

AnalyzeCommand AddAnalyzeCommand(CLI::App& cli);

}  // namespace tl::cli
