#include <gtest/gtest.h>

#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include "app/app.h"
#include "app/string_ids.h"
#include "platform/security.h"
#include "platform/settings_store.h"
#include "recording_sink.h"
#include "test_support.h"

namespace tl {
namespace {

using test::ScratchDir;

class AppTest : public ::testing::Test {
protected:
    AppOptions Options(bool admin = true) {
        AppOptions o;
        o.settingsFile = dir / "settings.sqlite";
        o.languageFolders = {std::filesystem::path(TL_SOURCE_DIR) / "Languages"};
        SettingsDefaults d;
        d.destinationFolder = "/home/u/Recovered Files";
        d.tempFolder = "/tmp";
        d.now = 1;
        o.defaults = d;
        o.isAdmin = [admin] { return admin; };
        return o;
    }
    std::string StoredRecord() {
        platform::SettingsStore store(dir / "settings.sqlite");
        auto v = store.GetValue(CApp::kRegistryRoot, CApp::kSettingsValue);
        return v ? v->data : std::string();
    }

    ScratchDir dir;
    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>(platform::kIdNo);
    test::SinkGuard guard{sink};
};

TEST_F(AppTest, FreshStoreGetsDefaultsWrittenAndIdlePassesWriteNothing) {
    {
        CApp app(Options());
        EXPECT_EQ(CApp::Instance(), &app);
        EXPECT_EQ(app.Settings().RetryCount(), 3u);
        EXPECT_EQ(app.Settings().LanguageIndex(), -1);
        EXPECT_EQ(app.Settings().DestinationFolder(), "/home/u/Recovered Files");
        EXPECT_EQ(app.Settings().StartupRescan(), 1u);
    }
    EXPECT_EQ(CApp::Instance(), nullptr);
    const std::string first = StoredRecord();
    ASSERT_EQ(first.size(), AppSettings::kSize);
    {
        CApp app(Options());
        // Unchanged: nothing is written, not even the same bytes.
        platform::SettingsStore(dir / "settings.sqlite").SetValue(CApp::kRegistryRoot, CApp::kSettingsValue,
                                                                 platform::ValueType::Binary, "sentinel");
        EXPECT_TRUE(app.SaveSettingsIfChanged());
        EXPECT_EQ(StoredRecord(), "sentinel");
        app.Settings().SetU32(AppSettings::kRetryCount, 9);
        EXPECT_TRUE(app.SaveSettingsIfChanged());
        EXPECT_NE(StoredRecord(), "sentinel");
    }
    CApp app(Options());
    EXPECT_EQ(app.Settings().RetryCount(), 9u);
}

TEST_F(AppTest, DamagedRecordIsReplacedByDefaults) {
    {
        CApp app(Options());
        app.Settings().SetU32(AppSettings::kRetryCount, 11);
        app.Settings().SetLanguageIndex(1);
        app.Settings().SetDestinationFolder("/elsewhere");
        app.SaveSettingsIfChanged();
    }
    std::string record = StoredRecord();
    record[0x3000] ^= 0x40;  // one byte changed
    platform::SettingsStore(dir / "settings.sqlite")
        .SetValue(CApp::kRegistryRoot, CApp::kSettingsValue, platform::ValueType::Binary, record);
    CApp app(Options());
    EXPECT_EQ(app.Settings().RetryCount(), 3u);
    EXPECT_EQ(app.Settings().LanguageIndex(), -1);
    EXPECT_EQ(app.Settings().DestinationFolder(), "/home/u/Recovered Files");
    // The fresh record is already in the store.
    EXPECT_EQ(StoredRecord(), app.Settings().Bytes());
}

TEST_F(AppTest, DatabaseThatIsNotADatabaseRunsOnDefaultsAndSaysSoOnce) {
    test::WriteFileBytes(dir / "settings.sqlite", std::string(8192, '\x5A'));
    CApp app(Options());
    EXPECT_EQ(app.Settings().RetryCount(), 3u);
    std::size_t mentions = 0;
    for (const auto& line : app.Log().Lines())
        if (line.find("Settings:") == 0) ++mentions;
    EXPECT_EQ(mentions, 1u);
    EXPECT_TRUE(app.Start(true));
}

TEST_F(AppTest, NonAdministratorIsRefusedWithTheMessageBox) {
    CApp app(Options(/*admin=*/false));
    EXPECT_FALSE(app.Start(/*requireAdministrator=*/true));
    ASSERT_EQ(sink->sent.size(), 1u);
    EXPECT_EQ(sink->sent[0].id, platform::kMessageBox);
    EXPECT_EQ(sink->sent[0].caption, "Error: Administrator access necessary");
    // The refusal says how disks can be read, and that images still can be.
    EXPECT_EQ(sink->sent[0].text, std::string(BuiltinString(ids::kAdminAccessPleaseRunAsAdmin)) + "\n\n" +
                                      std::string(BuiltinString(ids::kDiskAccessAdvice)));
    EXPECT_EQ(sink->sent[0].wparam, platform::kMbOk | platform::kMbIconError);
    // The command line starts for commands that open no device.
    EXPECT_TRUE(app.Start(/*requireAdministrator=*/false));
}

TEST_F(AppTest, SavedLanguageIsAppliedAndTheLoadedIndexWrittenBack) {
    int german = -1;
    {
        CApp app(Options());
        german = app.Languages().IndexOf("Deutsch");
        ASSERT_GE(german, 0);
        app.Settings().SetLanguageIndex(german);
        app.SaveSettingsIfChanged();
    }
    {
        CApp app(Options());
        ASSERT_TRUE(app.Start(true));
        EXPECT_EQ(app.Languages().Current(), german);
        EXPECT_EQ(app.GetString(ids::kConfirmation), "Bestätigung");
        app.Settings().SetLanguageIndex(99);  // a language that is gone
        app.SaveSettingsIfChanged();
    }
    CApp app(Options());
    ASSERT_TRUE(app.Start(true));
    EXPECT_EQ(app.Settings().LanguageIndex(), app.Languages().IndexOf("English"));
}

TEST_F(AppTest, ExitAsksAndKeepsRunningOnNo) {
    CApp app(Options());
    app.SetWindowRectSource([] { return WindowRect{1, 2, 3, 4}; });
    const WindowRect before = app.Settings().GetWindowRect();
    EXPECT_EQ(app.Exit(), 0);
    ASSERT_EQ(sink->sent.size(), 1u);
    EXPECT_EQ(sink->sent[0].text, "Are you sure you want to exit the application?");
    EXPECT_EQ(sink->sent[0].caption, "Confirmation");
    EXPECT_EQ(app.Settings().GetWindowRect(), before);
    EXPECT_TRUE(sink->posted.empty());

    app.Settings().SetU32(AppSettings::kConfirmExit, 0);
    EXPECT_EQ(app.Exit(), 1);
    EXPECT_EQ(app.Settings().GetWindowRect(), (WindowRect{1, 2, 3, 4}));
    EXPECT_EQ(StoredRecord(), app.Settings().Bytes());
    ASSERT_FALSE(sink->posted.empty());
    EXPECT_EQ(sink->posted.back().id, platform::kQuit);
}

TEST_F(AppTest, UnopenableLogFileIsReportedAndSwitchedOff) {
    {
        CApp app(Options());
        app.Settings().SetU32(AppSettings::kLogToFile, 1);
        app.Settings().SetLogFileName((dir / "missing" / "x.log").string());
        app.SaveSettingsIfChanged();
    }
    CApp app(Options());
    EXPECT_FALSE(app.Settings().LogToFile());
    const auto lines = app.Log().Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("ERR: Log file", 0), 0u) << lines[1];
}

// The real administrator check, as the unprivileged user "nobody".
TEST(AdministratorCheck, RootIsAdministratorAndNobodyIsNot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to the user nobody";
    EXPECT_TRUE(platform::IsUserAdmin());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: drop every group and become nobody.
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        ::_exit(platform::IsUserAdmin() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody was taken for an administrator (or could not be switched to)";
}

}  // namespace
}  // namespace tl
