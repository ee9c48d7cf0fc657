// Runs the built tessa-loft-cli with a private configuration folder and
// captures what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace tl::test {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CliRunner {
public:
    // `prefix` goes in front of the command (for example a user switch).
    CliResult Run(const std::vector<std::string>& args, const std::string& prefix = "") const {
        std::string cmd = prefix + " env TESSALOFT_CONFIG_DIR=" + Quote(config_.string()) + " " + Quote(TL_CLI_PATH);
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " >" + Quote((dir_ / "out").string()) + " 2>" + Quote((dir_ / "err").string()) + " </dev/null";
        const int status = std::system(cmd.c_str());
        CliResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFileBytes(dir_ / "out");
        r.err = ReadFileBytes(dir_ / "err");
        return r;
    }
    const std::filesystem::path& ConfigFolder() const { return config_; }
    const ScratchDir& Scratch() const { return dir_; }

private:
    ScratchDir dir_;
    std::filesystem::path config_ = dir_ / "config";
};

}  // namespace tl::test
