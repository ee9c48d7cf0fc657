#include "app/app.h"

#include <algorithm>
#include <cstdlib>

#include "app/app_messages.h"
#include "app/string_ids.h"
#include "platform/security.h"
#include "platform/udisks.h"
#include "storage/local_computer.h"

#ifndef TL_VERSION
#define TL_VERSION "0"
#endif

namespace tl {
namespace {

std::atomic<CApp*> g_instance{nullptr};

}  // namespace

CApp::CApp(AppOptions options) : options_(std::move(options)) {
    g_instance.store(this);
    defaults_ = options_.defaults ? *options_.defaults : SettingsDefaults::ForThisMachine();
    languages_ = std::make_unique<CLanguages>(options_.languageFolders.empty() ? CLanguages::DefaultFolders()
                                                                               : options_.languageFolders);
    store_ = std::make_unique<platform::SettingsStore>(
        options_.settingsFile.empty() ? platform::SettingsStore::DefaultPath() : options_.settingsFile);
    LoadSettings();
    computer_ = std::make_unique<CLocalComputer>(settings_, *store_, RegistryRoot(), *languages_,
                                                 [this] { return logWindow_.load(); }, options_.log);

    const bool wantedFile = settings_.LogToFile();
    Log().LogInfo(Format(ids::kProgramStarted, TL_VERSION));
    if (wantedFile && !settings_.LogToFile())
        Log().LogError(Format(ids::kLogFileNotOpened, settings_.LogFileName()));
    if (!store_->Problem().empty()) Log().LogWarning(Format(ids::kSettingsStoreProblem, store_->Problem()));
    LogLanguageProblem();
}

CApp::~CApp() {
    computer_.reset();
    CApp* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

CApp* CApp::Instance() { return g_instance.load(); }

CEventLog& CApp::Log() { return computer_->Log(); }

SignatureDatabase& CApp::Signatures() { return computer_->Signatures(); }

bool CApp::IsUserAdmin() const {
    if (options_.isAdmin) return options_.isAdmin();
    // udisks2 hands out read-only descriptors of disks to the user once polkit agrees.
    return platform::IsUserAdmin() || platform::UDisksReachable();
}

void CApp::LogLanguageProblem() {
    if (auto problem = languages_->TakeProblem()) Log().LogWarning(Format(problem->id, problem->path));
}

bool CApp::Start(bool requireAdministrator) {
    if (requireAdministrator && !IsUserAdmin()) {
        // The long sentence is the text and the short one the caption: the
        // other way round the box would show a sentence as its title.
        platform::ShowMessageBox(0, GetString(ids::kAdminAccessPleaseRunAsAdmin) + "\n\n" + GetString(ids::kDiskAccessAdvice),
                                 GetString(ids::kErrorAdminAccessNecessary),
                                 platform::kMbOk | platform::kMbIconError);
        return false;
    }
    const int wanted = settings_.LanguageIndex();
    if (wanted >= 0) languages_->Apply(wanted);
    settings_.SetLanguageIndex(languages_->Current());
    LogLanguageProblem();

    // The signature database: the first set goes into an empty store.
    SignatureDatabase& signatures = computer_->Signatures();
    if (!store_->KeyExists(signatures.SignaturesKey())) {
        const auto files = options_.firstSignatureSets.empty() ? SignatureDatabase::FirstSetFiles()
                                                               : options_.firstSignatureSets;
        const auto found = std::find_if(files.begin(), files.end(),
                                        [](const auto& f) { std::error_code ec; return std::filesystem::exists(f, ec); });
        std::string places;
        for (const auto& f : files) places += (places.empty() ? "" : ", ") + f.string();
        if (found != files.end()) signatures.InstallFirstSet(*found);
        else Log().LogWarning(Format(ids::kFirstSetMissing, places));
    }
    signatures.Load();
    return true;
}

void CApp::LoadSettings() {
    if (!settings_.Load(*store_, kRegistryRoot, kSettingsValue)) ResetSettings();
    settings_.SetU32(AppSettings::kStartupRescan, 1);
}

void CApp::ResetSettings() {
    settings_.Reset(defaults_);
    settings_.Save(*store_, kRegistryRoot, kSettingsValue);
}

bool CApp::SaveSettingsIfChanged() {
    const std::uint32_t sum = settings_.ComputeChecksum();
    if (sum == settings_.Checksum()) return true;
    settings_.SetU32(AppSettings::kChecksum, sum);
    return settings_.Save(*store_, kRegistryRoot, kSettingsValue);
}

int CApp::Exit() {
    if (settings_.ConfirmExit()) {
        const auto answer = platform::ShowMessageBox(topWindow_.load(), GetString(ids::kConfirmExitApplication),
                                                     GetString(ids::kConfirmation),
                                                     platform::kMbYesNo | platform::kMbIconQuestion);
        if (answer != platform::kIdYes) return 0;
    }
    if (windowRect_) {
        if (auto rect = windowRect_()) settings_.SetWindowRect(*rect);
    }
    SaveSettingsIfChanged();
    platform::PostAppMessage(0, platform::kQuit);
    if (settings_.ForceProcessExit()) std::_Exit(0);
    return 1;
}

}  // namespace tl
