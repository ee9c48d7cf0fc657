// The application object: start-up and exit sequences, the settings record
// and its store, the language manager and the computer object. One exists for
// the run and is reachable through CApp::Instance(); the Qt interface and the
// CLI each create it and install their notification sink first.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "platform/notify.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"

namespace tl {

class CLocalComputer;

struct AppOptions {
    // Empty: the user's default database.
    std::filesystem::path settingsFile;
    // Empty: "Languages" beside the program, then the installed data folder.
    std::vector<std::filesystem::path> languageFolders;
    // Unset: the defaults of this machine and moment.
    std::optional<SettingsDefaults> defaults;
    // Unset: the platform's administrator check.
    std::function<bool()> isAdmin;
    // Log choices of this run (a log file named on the command line, quiet).
    CEventLog::Options log;
    // Where the first signature set is looked for (empty: beside the program,
    // then the installed data folder).
    std::vector<std::filesystem::path> firstSignatureSets;
};

class CApp {
public:
    static constexpr std::string_view kRegistryRoot = "Software\\Tessa-Loft\\Documents\\1.0";
    static constexpr std::string_view kSettingsValue = "Settings";

    // Start-up up to the administrator check: languages, settings, the
    // computer object with its log.
    explicit CApp(AppOptions options = {});
    ~CApp();
    CApp(const CApp&) = delete;
    CApp& operator=(const CApp&) = delete;

    // The one instance of the run, or nullptr outside its lifetime.
    static CApp* Instance();

    // The rest of start-up. With `requireAdministrator` (the windowed program,
    // or a command that opens a device) a user without the right is told so
    // in a message box and false is returned: the program must end. Then the
    // saved interface language is applied and the index actually loaded is
    // written back.
    bool Start(bool requireAdministrator);

    // Fills the settings from the store, or with defaults written back at once
    // when the stored record is missing or damaged. Always sets StartupRescan.
    void LoadSettings();
    // Writes the record when its checksum changed; true when nothing needed
    // writing or the write succeeded.
    bool SaveSettingsIfChanged();
    // The defaults of every field, written to the store.
    void ResetSettings();

    // The exit sequence: the confirmation, the window rectangle, the settings,
    // the quit notification. 0 when the user declined, 1 when ending.
    int Exit();

    bool IsUserAdmin() const;

    AppSettings& Settings() { return settings_; }
    CLanguages& Languages() { return *languages_; }
    const CLanguages& Languages() const { return *languages_; }
    CLocalComputer& Computer() { return *computer_; }
    CEventLog& Log();
    SignatureDatabase& Signatures();
    platform::SettingsStore& Store() { return *store_; }
    std::string RegistryRoot() const { return std::string(kRegistryRoot); }

    std::string GetString(unsigned id) const { return languages_->GetString(id); }
    template <class... Args>
    std::string Format(unsigned id, const Args&... args) const {
        return languages_->Format(id, args...);
    }

    void SetTopWindow(platform::WindowId window) { topWindow_ = window; }
    platform::WindowId TopWindow() const { return topWindow_; }
    void SetLogWindow(platform::WindowId window) { logWindow_ = window; }
    platform::WindowId LogWindow() const { return logWindow_; }
    // The top-level window's rectangle, asked at exit (unset: kept as it is).
    void SetWindowRectSource(std::function<std::optional<WindowRect>()> source) { windowRect_ = std::move(source); }
    int WindowMode() const { return windowMode_; }
    void SetWindowMode(int mode) { windowMode_ = mode; }

private:
    void LogLanguageProblem();

    AppOptions options_;
    SettingsDefaults defaults_;
    AppSettings settings_;
    std::unique_ptr<CLanguages> languages_;
    std::unique_ptr<platform::SettingsStore> store_;
    std::unique_ptr<CLocalComputer> computer_;
    std::atomic<platform::WindowId> topWindow_{0};
    std::atomic<platform::WindowId> logWindow_{0};
    std::function<std::optional<WindowRect>()> windowRect_;
    int windowMode_ = -1;
};

}  // namespace tl
