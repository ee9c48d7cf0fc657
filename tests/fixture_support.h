// Fixtures made by the scripts of tests/fixtures with real tools, cached in
// the build tree and made again only when their script changed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tl::test {

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `script` (a file of tests/fixtures) with `output` as its argument
// unless `output` is newer than the script and than the helpers the scripts
// source (the files of tests/fixtures not named make_*). Tests run in
// parallel processes: a lock file lets one of them make the fixture while the
// others wait. False when the script failed.
inline bool MakeFixture(const std::string& script, const std::filesystem::path& output) {
    const std::filesystem::path scripts = std::filesystem::path(TL_SOURCE_DIR) / "tests" / "fixtures";
    const std::filesystem::path source = scripts / script;
    std::filesystem::path stamp = output;
    stamp += ".made";
    std::filesystem::path lock = output;
    lock += ".lock";
    std::error_code ec;
    std::filesystem::create_directories(output.parent_path(), ec);
    const std::string inner = "[ " + ShellQuote(stamp.string()) + " -nt " + ShellQuote(source.string()) +
                              " ] && [ -z \"$(find " + ShellQuote(scripts.string()) +
                              " -maxdepth 1 -type f ! -name 'make_*' -newer " + ShellQuote(stamp.string()) +
                              ")\" ] || (bash " + ShellQuote(source.string()) + " " + ShellQuote(output.string()) +
                              " >/dev/null 2>&1 && touch " + ShellQuote(stamp.string()) + ")";
    const std::string cmd = "flock " + ShellQuote(lock.string()) + " sh -c " + ShellQuote(inner);
    return std::system(cmd.c_str()) == 0;
}

inline std::filesystem::path FixturePath(const std::string& name) {
    return std::filesystem::path(TL_BINARY_DIR) / "fixtures" / name;
}

}  // namespace tl::test
