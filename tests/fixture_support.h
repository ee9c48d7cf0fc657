// Fixtures made by the scripts of tests/fixtures with real tools, cached in
// the build tree (or in $TL_FIXTURE_DIR, which builds of several kinds can
// share: what the tools make does not depend on the build) and made again
// only when their script changed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>

namespace tl::test {

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The exit status of a fixture script that lacks a tool (or root, or
// /dev/fuse): tests/fixtures/tools.sh names what is missing on stderr.
inline constexpr int kFixtureToolMissing = 77;

// What became of a fixture. `detail` names what is missing, or holds the
// end of the script's output when it failed.
struct Fixture {
    enum class State { Made, ToolMissing, Failed };
    State state = State::Failed;
    std::string detail;
    explicit operator bool() const { return state == State::Made; }
};

// The last `count` lines of a text file.
inline std::string TailOfFile(const std::filesystem::path& file, std::size_t count) {
    std::ifstream in(file);
    std::deque<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
        if (lines.size() > count) lines.pop_front();
    }
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

// Runs `script` (a file of tests/fixtures) with `output` as its argument
// through tests/fixtures/fixture.sh, which makes it only when it is older
// than its script, and lets one of the parallel test processes make it
// while the others wait. The script's output goes to `output`.log.
inline Fixture MakeFixture(const std::string& script, const std::filesystem::path& output) {
    const std::filesystem::path scripts = std::filesystem::path(TL_SOURCE_DIR) / "tests" / "fixtures";
    std::filesystem::path log = output;
    log += ".log";
    const std::string cmd = "bash " + ShellQuote((scripts / "fixture.sh").string()) + " " + ShellQuote(script) + " " +
                            ShellQuote(output.string());
    const int status = std::system(cmd.c_str());
    Fixture f;
    if (status == 0) {
        f.state = Fixture::State::Made;
        return f;
    }
    const int code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == kFixtureToolMissing) {
        f.state = Fixture::State::ToolMissing;
        f.detail = script + " cannot run here: " + TailOfFile(log, 5);
    } else {
        f.detail = script + " failed (exit status " + std::to_string(code) + "); the end of " + log.string() +
                   ":\n" + TailOfFile(log, 40);
    }
    return f;
}

// For helpers that return a value: a fixture that could not be made is a
// failure of the test, with the reason.
inline bool ExpectFixture(const std::string& script, const std::filesystem::path& output) {
    const Fixture f = MakeFixture(script, output);
    EXPECT_TRUE(f) << f.detail;
    return static_cast<bool>(f);
}

inline std::filesystem::path FixturePath(const std::string& name) {
    if (const char* shared = std::getenv("TL_FIXTURE_DIR"); shared && *shared)
        return std::filesystem::path(shared) / name;
    return std::filesystem::path(TL_BINARY_DIR) / "fixtures" / name;
}

}  // namespace tl::test

// Ends the test unless the fixture `made` (a test::Fixture) is there:
// skipped when a tool is missing (naming it), failed with the maker's output
// when it failed. For test bodies and SetUp.
#define TL_REQUIRE_MADE(made)                                                      \
    do {                                                                           \
        const ::tl::test::Fixture tl_fixture_ = (made);                            \
        if (tl_fixture_.state == ::tl::test::Fixture::State::ToolMissing)          \
            GTEST_SKIP() << tl_fixture_.detail;                                    \
        ASSERT_TRUE(tl_fixture_) << tl_fixture_.detail;                            \
    } while (false)

// Makes the fixture of `script` at `output`, or ends the test as above.
#define TL_REQUIRE_FIXTURE(script, output) TL_REQUIRE_MADE(::tl::test::MakeFixture((script), (output)))
