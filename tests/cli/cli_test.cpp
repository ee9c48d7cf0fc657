// End-to-end tests of tessa-loft-cli: the built program run as a user would.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "cli_runner.h"
#include "fixture_support.h"
#include "test_support.h"

namespace tl {
namespace {

using test::ReadFileBytes;
using test::ScratchDir;

using Result = test::CliResult;

class CliTest : public ::testing::Test {
protected:
    Result Run(const std::vector<std::string>& args, const std::string& prefix = "") { return cli.Run(args, prefix); }

    test::CliRunner cli;
    const test::ScratchDir& dir = cli.Scratch();
    std::filesystem::path config = cli.ConfigFolder();
};

TEST_F(CliTest, SettingsShowSetAndResetByName) {
    Result r = Run({"settings", "show"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RetryCount             = 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("LanguageIndex          = "), std::string::npos);
    EXPECT_NE(r.out.find("LogFileName            = Documents Tessa-Loft.log\n"), std::string::npos);

    r = Run({"settings", "set", "RetryCount", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "RetryCount = 5\n");
    r = Run({"settings", "set", "DestinationFolder", "/srv/r\xC3\xA9sultats"});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    r = Run({"--quiet", "settings", "show", "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\"RetryCount\": 5,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"DestinationFolder\": \"/srv/r\xC3\xA9sultats\""), std::string::npos);
    EXPECT_NE(r.out.find("\"WindowRect\": {"), std::string::npos);

    r = Run({"settings", "reset"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Run({"settings", "show"});
    EXPECT_NE(r.out.find("RetryCount             = 3\n"), std::string::npos);
}

TEST_F(CliTest, BadUsageExitsWithTwoAndOneLine) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"settings", "set", "NoSuchSetting", "1"}, {"settings", "set", "RetryCount", "many"},
             {"settings", "show", "--format", "xml"}, {"--language", "Klingon", "demo"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(no arguments)" : args[0]) << ": " << r.err;
        EXPECT_NE(r.err.find("tessa-loft-cli: "), std::string::npos) << r.err;
    }
    const Result v = Run({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_EQ(v.out.rfind("tessa-loft-cli ", 0), 0u);
}

TEST_F(CliTest, LogLinesGoToStandardErrorAndTheLogFileOption) {
    const auto logFile = dir / "run.log";
    Result r = Run({"--log-file", logFile.string(), "--language", "Deutsch", "log", "show"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Documents Tessa-Loft"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Oberflächensprache: Deutsch"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Oberflächensprache: Deutsch\r\n"), std::string::npos) << r.err;
    const std::string bytes = ReadFileBytes(logFile);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
    // The language chosen for one run is not saved.
    r = Run({"settings", "show"});
    EXPECT_NE(r.out.find("LanguageIndex          = "), std::string::npos);
    EXPECT_EQ(r.out.find("Oberfl"), std::string::npos);
}

TEST_F(CliTest, DemoReportsTheApplicationObjects) {
    const Result r = Run({"demo"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Interface language: English"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Read retries:       3, pause 0 ms"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find((config / "settings.sqlite").string()), std::string::npos) << r.out;

    // The store named is the one this run uses, also when --config-dir overrides the default.
    const auto other = dir / "other config";
    const Result o = Run({"--config-dir", other.string(), "demo"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("Settings store:     " + (other / "settings.sqlite").string() + "\n"), std::string::npos)
        << o.out;
    EXPECT_TRUE(std::filesystem::exists(other / "settings.sqlite"));
}

TEST_F(CliTest, DemoWithAnImageListsItsTreeAndWhatCanBeRecovered) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const Result r = Run({"--quiet", "demo", "--image", (fat / "fat16.img").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line : {"fat16.img  (FAT16)\n", "      Draft Report.txt  600  [deleted]",
                             "        Quarterly Report Q1.txt  1000  ", "6 folder(s), 17 file(s), 8 deleted\n",
                             "  Draft Report.txt (600 bytes): its clusters are free; it can be recovered\n",
                             "  Letter.txt (250 bytes): its clusters are free; it can be recovered\n",
                             // The fragmented file took GAP.BIN's clusters after it was deleted.
                             "  _AP.BIN (6144 bytes): live files hold some of its clusters again; it is partly overwritten\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
}

TEST_F(CliTest, CorruptSettingsDatabaseRunsOnDefaults) {
    std::filesystem::create_directories(config);
    test::WriteFileBytes(config / "settings.sqlite", std::string(10000, '\x01'));
    const Result r = Run({"settings", "show"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("RetryCount             = 3\n"), std::string::npos);
    EXPECT_NE(r.err.find("Settings: the settings database"), std::string::npos) << r.err;
}

TEST_F(CliTest, UserWithoutDiskRightsMayStillUseCommandsThatOpenNoDevice) {
    std::string missing;
    const std::string user = test::UnprivilegedPrefix(missing);
    if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
    cli.RunACopyEveryUserReaches();
    const Result probe = Run({"--version"}, user);
    ASSERT_EQ(probe.exitCode, 0) << "the user cannot run the program's copy: " << probe.err;
    const Result r = Run({"demo"}, user);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // As nobody the answer is known: no direct access (udisks2 may or may not
    // run); a user of this machine may have rights of its own.
    EXPECT_NE(r.out.find("Disk access:        "), std::string::npos) << r.out;
    if (!user.empty()) {
        EXPECT_EQ(r.out.find("Disk access:        direct"), std::string::npos) << r.out;
    }
}

}  // namespace
}  // namespace tl
