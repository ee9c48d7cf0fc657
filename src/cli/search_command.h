// The "search" command: the find bar's search over the found objects of an
// image or block device (and of every volume its partition table lists),
// after the same analysis as "analyze", printing the matches as "analyze"
// prints objects.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace tl {
class CApp;
}

namespace tl::cli {

struct SearchCommand {
    std::function<bool()> opensDevice;
    std::function<int(CApp&)> run;  // -1 when the command was not given
};

SearchCommand AddSearchCommand(CLI::App& cli);

}  // namespace tl::cli
