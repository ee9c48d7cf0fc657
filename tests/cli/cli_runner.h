// Runs the built tessa-loft-cli with a private configuration folder and
// captures what it prints.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

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

// The command prefix that runs the program as a user without disk rights:
// root switches to nobody (setpriv, of util-linux); any other user is one
// already. Empty in `missingTool` when it can be had.
inline std::string UnprivilegedPrefix(std::string& missingTool) {
    if (::geteuid() != 0) return "";
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) missingTool = "setpriv (util-linux)";
    return "setpriv --reuid=65534 --regid=65534 --clear-groups";
}

class CliRunner {
public:
    // `prefix` goes in front of the command (for example a user switch).
    CliResult Run(const std::vector<std::string>& args, const std::string& prefix = "") const {
        std::string cmd = prefix + " env TESSALOFT_CONFIG_DIR=" + Quote(config_.string()) + " " + Quote(program_.string());
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " >" + Quote((dir_ / "out").string()) + " 2>" + Quote((dir_ / "err").string()) + " </dev/null";
        const int status = std::system(cmd.c_str());
        CliResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFileBytes(dir_ / "out");
        r.err = ReadFileBytes(dir_ / "err");
        return r;
    }
    // From now on runs a copy of the program, with the data and language
    // folders it finds beside itself, from the scratch folder, which every
    // user may enter and write: the build tree may lie where only its owner
    // can reach it (a clone in /root), and a test that switches to another
    // user must not depend on where the tree was cloned.
    void RunACopyEveryUserReaches() {
        namespace fs = std::filesystem;
        const fs::path built(TL_CLI_PATH);
        const fs::path bin = dir_ / "bin";
        fs::create_directories(bin);
        fs::copy_file(built, bin / built.filename(), fs::copy_options::overwrite_existing);
        for (const char* folder : {"data", "Languages"})
            if (fs::exists(built.parent_path() / folder))
                fs::copy(built.parent_path() / folder, bin / folder,
                         fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::permissions(dir_.path(), fs::perms::all);
        fs::create_directories(config_);
        fs::permissions(config_, fs::perms::all);
        program_ = bin / built.filename();
    }
    const std::filesystem::path& ConfigFolder() const { return config_; }
    const ScratchDir& Scratch() const { return dir_; }

private:
    ScratchDir dir_;
    std::filesystem::path config_ = dir_ / "config";
    std::filesystem::path program_ = TL_CLI_PATH;
};

}  // namespace tl::test
