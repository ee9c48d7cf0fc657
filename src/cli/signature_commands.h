// The "signatures" commands of the command line: list, show, import, export,
// enable or disable, and test a block of any file against the types.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>

namespace tl {
class CApp;
}

namespace tl::cli {

struct SignatureCommandOptions {
    std::string format = "text";
    std::string id;  // an Id, or a group name for enable/disable
    std::string file;
    unsigned long long offset = 0;
    bool all = false;
};

// Adds "signatures" and its subcommands to `cli`. The returned function runs
// the parsed subcommand against a started application and returns the exit
// code; it returns -1 when no signatures command was given.
std::function<int(CApp&)> AddSignatureCommands(CLI::App& cli);

}  // namespace tl::cli
