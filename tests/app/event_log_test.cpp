#include <gtest/gtest.h>

#include <algorithm>

#include <regex>
#include <thread>

#include "app/app_messages.h"
#include "app/event_log.h"
#include "platform/text.h"
#include "recording_sink.h"
#include "test_support.h"

namespace tl {
namespace {

using test::ReadFileBytes;
using test::ScratchDir;
using test::Utf16Le;

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SettingsDefaults d;
        d.destinationFolder = "/dest";
        d.tempFolder = dir.path().string();
        settings.Reset(d);
        settings.SetU32(AppSettings::kLogToFile, 1);
        settings.SetLogFileName((dir / "log.txt").string());
    }
    std::unique_ptr<CEventLog> MakeLog(platform::WindowId window = 0) {
        auto log = std::make_unique<CEventLog>(settings, [window] { return window; });
        log->SetDebugOutput([this](std::string_view s) { debug += s; });
        return log;
    }

    ScratchDir dir;
    AppSettings settings;
    std::string debug;
};

TEST_F(EventLogTest, EveryLevelWithoutTimestampsToTheExactBytes) {
    auto log = MakeLog();
    log->LogDebug("thread ended");
    log->LogError("CFileSystem_FAT.Initialize.except");
    log->LogInfo("Recovery started.");
    log->Write(kLogCritical, "disk on fire");
    log->LogWarning("CVolume::Close except");
    log->Write(3, "odd level");
    log.reset();
    const std::string expected = Utf16Le("DBG: thread ended\r\n") + Utf16Le("ERR: CFileSystem_FAT.Initialize.except\r\n") +
                                 Utf16Le("Recovery started.\r\n") + Utf16Le("CRITICALERR: disk on fire\r\n") +
                                 Utf16Le("CVolume::Close except\r\n") + Utf16Le("odd level\r\n");
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), expected);
    EXPECT_EQ(debug, "DBG: thread ended\r\nERR: CFileSystem_FAT.Initialize.except\r\nRecovery started.\r\n"
                     "CRITICALERR: disk on fire\r\nCVolume::Close except\r\nodd level\r\n");
}

// A name from a disk that carries terminal escapes (ESC, the C1 CSI, a bell,
// a line break) reaches the file, the debugger output and the lines escaped,
// each line still one line; other text stays as it is.
TEST_F(EventLogTest, ControlCharactersFromDiskNamesAreEscapedEverywhere) {
    auto log = MakeLog();
    log->LogInfo("Found file: red\x1b[31m\xC2\x9B" "2J\a\nnext \\ Café");
    const std::string shown = "Found file: red\\x1b[31m\\x9b2J\\x07\\x0anext \\ Café";
    ASSERT_EQ(log->Lines().size(), 1u);
    EXPECT_EQ(log->Lines()[0], shown);
    EXPECT_EQ(debug, shown + "\r\n");
    log.reset();
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), platform::Utf8ToUtf16LeBytes(shown + "\r\n"));
}

TEST_F(EventLogTest, TimestampsPrecedeTagAndMessage) {
    settings.SetLogTimestamps(true);
    auto log = MakeLog();
    log->LogError("broken");
    log->LogInfo("plain");
    log->LogWarning("warned");
    const auto lines = log->Lines();
    ASSERT_EQ(lines.size(), 3u);
    // C locale short date and time, one blank between them.
    const std::regex stamp(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d - )");
    EXPECT_TRUE(std::regex_search(lines[0], stamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(20), "ERR: broken");
    EXPECT_EQ(lines[1].substr(20), "plain");
    EXPECT_EQ(lines[2].substr(20), "warned");
    log.reset();
    std::string expected;
    for (const auto& l : lines) expected += Utf16Le(l + "\r\n");
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), expected);
}

TEST_F(EventLogTest, ClearOnStartDecidesWhetherRunsAccumulate) {
    settings.SetU32(AppSettings::kClearLogOnStart, 0);
    MakeLog()->LogInfo("first run");
    MakeLog()->LogInfo("second run");
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), Utf16Le("first run\r\nsecond run\r\n"));
    settings.SetU32(AppSettings::kClearLogOnStart, 1);
    MakeLog()->LogInfo("third run");
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), Utf16Le("third run\r\n"));
}

TEST_F(EventLogTest, UnopenableFileSwitchesFileLoggingOffButKeepsEveryLine) {
    auto sink = std::make_shared<test::RecordingSink>();
    test::SinkGuard guard(sink);
    settings.SetLogFileName((dir / "no-such-folder" / "log.txt").string());
    auto log = MakeLog(/*window=*/42);
    log->LogInfo("one");
    EXPECT_FALSE(settings.LogToFile());
    log->LogError("two");
    EXPECT_EQ(log->Lines(), (std::vector<std::string>{"one", "ERR: two"}));
    ASSERT_EQ(sink->posted.size(), 2u);
    EXPECT_EQ(sink->posted[0].id, msg::kLogLine);
    EXPECT_EQ(sink->posted[0].target, 42u);
    EXPECT_EQ(sink->posted[1].text, "ERR: two");
    EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));
}

TEST_F(EventLogTest, LinesFromManyThreadsStayWholeAndInOneOrder) {
    auto sink = std::make_shared<test::RecordingSink>();
    test::SinkGuard guard(sink);
    auto log = MakeLog(/*window=*/7);
    constexpr int kThreads = 4, kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                log->LogInfo("thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(40, 'x'));
        });
    for (auto& th : threads) th.join();
    const auto lines = log->Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    ASSERT_EQ(sink->posted.size(), lines.size());
    std::string expectedFile, expectedDebug;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(sink->posted[i].text, lines[i]);
        expectedFile += Utf16Le(lines[i] + "\r\n");
        expectedDebug += lines[i] + "\r\n";
    }
    log.reset();
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), expectedFile);
    EXPECT_EQ(debug, expectedDebug);
}

// Memory holds the newest lines only; the file keeps every line of the run.
TEST_F(EventLogTest, MemoryHoldsTheNewestLinesAndTheFileEveryLine) {
    auto log = MakeLog();
    const std::size_t total = CEventLog::kMemoryLines + 5;
    for (std::size_t i = 0; i < total; ++i) log->LogInfo("line " + std::to_string(i));
    const auto lines = log->Lines();
    ASSERT_EQ(lines.size(), CEventLog::kMemoryLines);
    EXPECT_EQ(lines.front(), "line 5");
    EXPECT_EQ(lines.back(), "line " + std::to_string(total - 1));
    EXPECT_EQ(log->LineCount(), total);
    log.reset();
    const std::string file = ReadFileBytes(dir / "log.txt");
    EXPECT_EQ(file.substr(0, Utf16Le("line 0\r\n").size()), Utf16Le("line 0\r\n"));
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), static_cast<std::ptrdiff_t>(total));
}

TEST_F(EventLogTest, DebuggerOutputFollowsItsSwitch) {
    settings.SetU32(AppSettings::kLogToDebugger, 0);
    MakeLog()->LogInfo("hidden");
    EXPECT_EQ(debug, "");
}

TEST_F(EventLogTest, FileIsRotatedAtItsSizeLimit) {
    settings.SetU32(AppSettings::kMaxLogSizeKB, 1);
    auto log = MakeLog();
    const std::string line(98, 'a');  // 200 bytes a line with CR LF in UTF-16
    for (int i = 0; i < 12; ++i) log->LogInfo(line);
    log.reset();
    // Five lines fit in 1024 bytes; the file was begun anew twice.
    EXPECT_EQ(ReadFileBytes(dir / "log.txt").size(), 2u * 200);
    EXPECT_EQ(ReadFileBytes(dir / "log.txt.1").size(), 5u * 200);
}

TEST_F(EventLogTest, ShowAsTextWritesEveryLineAndOpensTheFile) {
    settings.SetU32(AppSettings::kLogToFile, 0);
    auto log = MakeLog();
    std::vector<std::filesystem::path> opened;
    log->SetTextCopyFolder(dir.path());
    log->SetOpener([&](const std::filesystem::path& p) {
        opened.push_back(p);
        return true;
    });
    ASSERT_TRUE(log->ShowAsText("Can't create temporary file"));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], dir / "Recovery log file.txt");
    EXPECT_EQ(ReadFileBytes(opened[0]), "");  // no lines: an empty file
    log->LogError("x");
    ASSERT_TRUE(log->ShowAsText("Can't create temporary file"));
    EXPECT_EQ(ReadFileBytes(opened[0]), Utf16Le("ERR: x\r\n"));

    log->SetTextCopyFolder(dir / "missing");
    EXPECT_FALSE(log->ShowAsText("Can't create temporary file"));
    EXPECT_EQ(log->Lines().back(), "ERR: Can't create temporary file");
    EXPECT_EQ(opened.size(), 2u);
}

}  // namespace
}  // namespace tl
