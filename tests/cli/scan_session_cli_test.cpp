// Scans kept in scan files, through the command line as a person runs it:
// a scan killed at random moments and resumed ends as an uninterrupted one
// does, a saved scan is reopened and recovered from without scanning, and
// scan files that are empty, cut, newer, of another source, or held by
// another process are refused or load what they can, never crash.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <sstream>

#include "cli_runner.h"
#include "filesystems/found_object.h"
#include "fixture_support.h"
#include "platform/sqlite_database.h"
#include "test_support.h"

namespace tl {
namespace {

// The listing of `analyze --format json` as a set of lines without the ids,
// which a resumed scan numbers anew.
std::multiset<std::string> Listing(const std::string& out) {
    std::multiset<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '{') continue;
        auto j = nlohmann::json::parse(line);
        j.erase("id");
        j.erase("parent_id");
        lines.insert(j.dump());
    }
    return lines;
}

// Runs the program with `args` and sends it `signal` after `seconds`:
// whether the signal came before the run ended, and what the run wrote on
// standard error.
struct Interrupted {
    bool sent = false;
    std::string err;
};
Interrupted RunAndSignalAfter(const test::CliRunner& cli, std::vector<std::string> args, double seconds, int signal) {
    Interrupted result;
    const auto errFile = cli.Scratch() / "interrupted.err";
    const std::string config = cli.ConfigFolder().string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("TESSALOFT_CONFIG_DIR", config.c_str(), 1);
        const int null = ::open("/dev/null", O_RDWR);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null, 0), ::dup2(null, 1), ::dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(TL_CLI_PATH)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(TL_CLI_PATH, argv.data());
        ::_exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (!result.sent && std::chrono::steady_clock::now() >= until) {
            ::kill(pid, signal);
            result.sent = true;
        }
        ::usleep(5000);
    }
    result.err = test::ReadFileBytes(errFile);
    return result;
}

// How much of the source the scan file says was scanned, 0 to 1; read once
// the run that held the file has ended.
double ScannedFraction(const std::string& file, std::uint64_t sourceBytes) {
    platform::SqliteDatabase db;
    if (!std::filesystem::exists(file) || !db.Open(file, platform::SqliteDatabase::Mode::ReadWrite)) return 0;
    auto q = db.Prepare("SELECT sector_state, sector_done FROM volumes WHERE number = 0;");
    if (q.Step() != platform::SqliteStatement::kRow) return 0;
    return q.Int(0) == 2 ? 1.0 : static_cast<double>(q.Int(1)) * 512 / static_cast<double>(sourceBytes);
}

TEST(ScanSessions, AScanKilledFiveTimesAndResumedEndsAsAnUninterruptedOneAndReopensWithoutScanning) {
    const auto card = test::FixturePath("planted_card.img");
    TL_REQUIRE_FIXTURE("make_planted_card.sh", card);
    test::CliRunner cli;
    const std::string image = card.string();
    const auto scan = (cli.Scratch() / "card.tlscan").string();

    const auto started = std::chrono::steady_clock::now();
    const test::CliResult whole = cli.Run({"--quiet", "analyze", image, "--sectors", "--no-session", "--format", "json"});
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    const double wholeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const test::CliResult wholeCopies =
        cli.Run({"--quiet", "recover", image, "--sectors", "--no-session", "--to", (cli.Scratch() / "whole").string()});

    // Killed (a crash, a power cut: up to the last second's finds are lost)
    // or interrupted with Ctrl+C (the run stops in order and keeps all it
    // found: the next run goes on from where it stopped). Each run is cut
    // at a random point of what it has left; one that ends first (a machine
    // faster than the first run showed) starts the scan over, cut sooner.
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> moment(0.3, 0.7);
    const std::uint64_t imageBytes = std::filesystem::file_size(card);
    const int signals[] = {SIGKILL, SIGINT, SIGKILL, SIGINT, SIGKILL};
    int cuts = 0, stoppedInOrder = 0;
    double pace = 1.0;
    bool fresh = true, afterInterrupt = false;
    for (int attempt = 0; cuts < 5 && attempt < 25; ++attempt) {
        std::vector<std::string> args{"analyze", image, "--sectors", "--session", scan, "--format", "json"};
        if (!fresh) args.push_back("--resume");
        const double left = fresh ? 1.0 : 1.0 - ScannedFraction(scan, imageBytes);
        const Interrupted run = RunAndSignalAfter(cli, args, 0.1 + pace * moment(random) * left * wholeSeconds, signals[cuts]);
        if (afterInterrupt) {
            EXPECT_NE(run.err.find("the sector scan goes on from sector"), std::string::npos) << run.err;
        }
        if (!run.sent || ScannedFraction(scan, imageBytes) >= 1.0) {
            pace *= 0.6;
            fresh = true;
            afterInterrupt = false;
            continue;
        }
        afterInterrupt = signals[cuts] == SIGINT && run.err.find("stopped; the scan is kept") != std::string::npos;
        stoppedInOrder += afterInterrupt ? 1 : 0;
        fresh = false;
        ++cuts;
    }
    ASSERT_EQ(cuts, 5) << "the scan could not be cut short five times";
    EXPECT_GE(stoppedInOrder, 1) << "no Ctrl+C came while the sectors were scanned";
    const test::CliResult resumed = cli.Run({"analyze", image, "--resume", "--session", scan, "--format", "json"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(Listing(resumed.out), Listing(whole.out));

    // Copied to another folder (another machine's) and reopened there, it
    // recovers what an uninterrupted run recovers, without a scan.
    const auto elsewhere = cli.Scratch() / "elsewhere" / "card.tlscan";
    std::filesystem::create_directories(elsewhere.parent_path());
    std::filesystem::copy_file(scan, elsewhere);
    const test::CliResult reopened =
        cli.Run({"recover", "--session", elsewhere.string(), "--to", (cli.Scratch() / "reopened").string()});
    EXPECT_EQ(reopened.exitCode, wholeCopies.exitCode) << reopened.err;
    EXPECT_EQ(reopened.err.find("Starting drive sector analysis"), std::string::npos) << "it scanned again";
    const auto files = [](const std::filesystem::path& root) {
        std::map<std::string, std::string> found;
        for (const auto& f : std::filesystem::recursive_directory_iterator(root))
            if (f.is_regular_file()) found[std::filesystem::relative(f.path(), root).string()] = test::ReadFileBytes(f.path());
        return found;
    };
    EXPECT_EQ(files(cli.Scratch() / "reopened"), files(cli.Scratch() / "whole"));
}

// A scan file of fat16.img, made by a short analysis.
std::string MakeScanFile(const test::CliRunner& cli, const std::string& image, const std::string& name) {
    const auto file = (cli.Scratch() / name).string();
    const test::CliResult r = cli.Run({"--quiet", "analyze", image, "--session", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return file;
}

void Change(const std::string& file, const char* sql) {
    platform::SqliteDatabase db;
    ASSERT_TRUE(db.Open(file, platform::SqliteDatabase::Mode::ReadWrite));
    ASSERT_TRUE(db.Exec(sql)) << db.Error();
}

TEST(ScanSessions, BadScanFilesAreRefusedWithTheReasonOrLoadWhatTheyCan) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const std::string fat16 = (fat / "fat16.img").string(), fat12 = (fat / "fat12.img").string();
    test::CliRunner cli;
    const auto reopen = [&](const std::string& file) { return cli.Run({"--quiet", "analyze", "--session", file, "--format", "json"}); };
    const auto expectRefused = [&](const test::CliResult& r, const std::string& why) {
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    };

    test::WriteFileBytes(cli.Scratch() / "empty.tlscan", "");
    expectRefused(reopen((cli.Scratch() / "empty.tlscan").string()), "is empty");
    test::WriteFileBytes(cli.Scratch() / "text.tlscan", std::string(8192, 'x'));
    expectRefused(reopen((cli.Scratch() / "text.tlscan").string()), "is not a scan file");

    const std::string newer = MakeScanFile(cli, fat16, "newer.tlscan");
    Change(newer, "UPDATE facts SET value = '99' WHERE name = 'format';");
    expectRefused(reopen(newer), "later version of the program (format 99");

    const std::string other = MakeScanFile(cli, fat16, "other.tlscan");
    expectRefused(cli.Run({"--quiet", "analyze", fat12, "--resume", "--session", other}), "was made of another source");

    // A record that claims to lie past the end of its volume is left out, and said.
    const std::string past = MakeScanFile(cli, fat16, "past.tlscan");
    Change(past, "UPDATE records SET data_offset = 1099511627776 WHERE name = 'README.TXT';");
    const test::CliResult r = cli.Run({"analyze", "--session", past, "--format", "json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("lie past the volume's end"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("README.TXT"), std::string::npos);
    EXPECT_NE(r.out.find("Letter.txt"), std::string::npos) << "the sound records load";

    // A sector scan that claims to have gone past its volume's end starts over.
    const std::string beyond = (cli.Scratch() / "beyond.tlscan").string();
    ASSERT_EQ(cli.Run({"--quiet", "analyze", fat16, "--sectors", "--session", beyond}).exitCode, 0);
    Change(beyond, "UPDATE facts SET value = 'running' WHERE name = 'state';"
                   "UPDATE volumes SET sector_state = 1, sector_done = 4611686018427387904 WHERE number = 0;");
    const test::CliResult over = cli.Run({"analyze", fat16, "--resume", "--session", beyond, "--format", "json"});
    EXPECT_EQ(over.exitCode, 0) << over.err;
    EXPECT_NE(over.err.find("past the volume's end; it starts over"), std::string::npos) << over.err;
    EXPECT_NE(over.out.find("Letter.txt"), std::string::npos);

    // Cut in the middle of what was written: whatever is read, nothing crashes.
    const std::string cut = MakeScanFile(cli, fat16, "cut.tlscan");
    const std::string bytes = test::ReadFileBytes(cut);
    test::WriteFileBytes(cut, bytes.substr(0, bytes.size() / 2));
    const test::CliResult c = reopen(cut);
    EXPECT_TRUE(c.exitCode == 0 || c.exitCode == 1) << c.exitCode;
    EXPECT_NE(c.err.find("scan file"), std::string::npos) << c.err;
}

TEST(ScanSessions, AScanFileAnotherProcessHoldsIsRefused) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const std::string fat16 = (fat / "fat16.img").string();
    test::CliRunner cli;
    const std::string held = MakeScanFile(cli, fat16, "held.tlscan");
    // Held as a running analysis holds it: exclusively, from its first write.
    platform::SqliteDatabase holder;
    ASSERT_TRUE(holder.Open(held, platform::SqliteDatabase::Mode::ReadWrite));
    ASSERT_TRUE(holder.Exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN IMMEDIATE; UPDATE facts SET value = value;"));
    for (const auto& args : {std::vector<std::string>{"--quiet", "analyze", fat16, "--resume", "--session", held},
                             std::vector<std::string>{"--quiet", "analyze", fat16, "--session", held},
                             std::vector<std::string>{"--quiet", "analyze", "--session", held}}) {
        const test::CliResult second = cli.Run(args);
        EXPECT_EQ(second.exitCode, 1) << second.out;
        EXPECT_NE(second.err.find("in use by another process"), std::string::npos) << second.err;
    }
}

// A scan file on a drive that fills: the writing stops with a log line, and
// the analysis goes on and lists everything.
TEST(ScanSessions, AFullDriveStopsTheWritingNotTheAnalysis) {
    // scripts/test.sh runs as root, as it must to fill the FUSE fixtures.
    ASSERT_EQ(::geteuid(), 0u) << "mounting a small tmpfs needs root";
    const auto big = test::FixturePath("fat32_big.img");
    TL_REQUIRE_FIXTURE("make_fat32_big.sh", big);
    test::CliRunner cli;
    const auto small = cli.Scratch() / "small";
    std::filesystem::create_directories(small);
    ASSERT_EQ(test::CommandOutput("mount -t tmpfs -o size=1m tmpfs " + test::ShellQuote(small.string()) + " && echo ok"), "ok\n");
    const test::CliResult r = cli.Run({"analyze", big.string(), "--session", (small / "big.tlscan").string(), "--format", "tsv"});
    test::CommandOutput("umount " + test::ShellQuote(small.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("keeps what it finds from now on in memory only"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 101100) << "100 000 files in 1 100 folders";
}

}  // namespace
}  // namespace tl
