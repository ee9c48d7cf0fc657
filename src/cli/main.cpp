// tessa-loft-cli: the command-line face of the recovery engine, for scripts,
// tests and benchmarks. Results go to standard output, log lines to standard
// error (unless --quiet). Exit codes: 0 success, 1 the operation failed,
// 2 bad usage.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/app.h"
#include "recovery/recoverability.h"
#include "app/text_format.h"
#include "filesystems/file_system_fat.h"
#include "storage/volume.h"
#include "filesystems/found_tree.h"
#include "app/string_ids.h"
#include "cli/analyze_command.h"
#include "cli/exit_codes.h"
#include "cli/recover_command.h"
#include "cli/cli_sink.h"
#include "cli/search_command.h"
#include "cli/image_command.h"
#include "cli/settings_commands.h"
#include "cli/signature_commands.h"
#include "cli/volume_commands.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/settings_store.h"

#ifndef TL_VERSION
#define TL_VERSION "0"
#endif

namespace {

using tl::cli::kExitFailure;
using tl::cli::kExitOk;
using tl::cli::kExitUsage;

struct GlobalOptions {
    std::string configDir;
    std::string logFile;
    std::string language;
    bool quiet = false;
    bool yes = false;
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "tessa-loft-cli: %s\n", message.c_str());
    return kExitUsage;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "tessa-loft-cli: %s\n", message.c_str());
    return kExitFailure;
}

// The settings database of this run: in the folder given by --config-dir,
// else the user's default one.
std::filesystem::path SettingsFile(const GlobalOptions& g) {
    return g.configDir.empty() ? tl::platform::SettingsStore::DefaultPath()
                               : std::filesystem::path(g.configDir) / "settings.sqlite";
}

// How this user reads disks: directly, through udisks2, or not at all.
std::string DiskAccessText(tl::CApp& app) {
    if (tl::platform::IsUserAdmin()) return "direct (root or the group disk)";
    if (app.IsUserAdmin()) return "read-only descriptors from udisks2 (polkit asks the administrator's password)";
    return "none (device commands are refused)";
}

// Creates the application objects the way every command needs them.
std::unique_ptr<tl::CApp> StartApp(const GlobalOptions& g, bool opensDevice, int& exitCode) {
    tl::AppOptions options;
    options.settingsFile = SettingsFile(g);
    if (g.quiet) options.log.debugOutput = tl::CEventLog::DebugOutput();
    if (!g.logFile.empty()) options.log.fileOverride = std::filesystem::path(g.logFile);
    auto app = std::make_unique<tl::CApp>(std::move(options));
    if (!app->Start(opensDevice)) {
        exitCode = kExitFailure;
        return nullptr;
    }
    if (!g.language.empty()) {
        const int index = app->Languages().IndexOf(g.language);
        if (index < 0) {
            std::string known;
            for (const auto& name : app->Languages().Names()) known += (known.empty() ? "" : ", ") + name;
            exitCode = Usage("unknown language '" + g.language + "' (available: " +
                             (known.empty() ? std::string("none") : known) + ")");
            return nullptr;
        }
        // For this run only: the saved choice stays as it is.
        const int saved = app->Settings().LanguageIndex();
        app->Languages().Apply(index);
        app->Settings().SetLanguageIndex(saved);
        app->Log().LogInfo(app->Format(tl::ids::kLanguageApplied, app->Languages().CurrentName()));
    }
    exitCode = kExitOk;
    return app;
}

// The main job shown end to end: the tree of an image, then each deleted
// file with whether its clusters are still free (recoverable) or were
// reused by live files since.
int RunDemoAnalysis(tl::CApp& app, const std::string& image) {
    const auto volumes = tl::cli::AnalyseSource(app, image);
    if (volumes.empty()) return kExitFailure;
    std::cout << "\n";
    tl::cli::TreeCounts counts;
    for (tl::CVolume* v : volumes) tl::cli::PrintTree(*v, false, counts);
    std::cout << "\n" << counts.folders << " folder(s), " << counts.files << " file(s), " << counts.deleted
              << " deleted\n\nDeleted files:\n";
    for (tl::CVolume* v : volumes)
        for (tl::CFoundObject* o : v->FoundTree().AllRecords()) {
            if (!o->IsDeleted() || o->IsFolder() || (o->Flags & tl::FO_VOLUME) || o->Size == 0) continue;
            const tl::Recoverability state = tl::JudgeRecoverability(*v, *o);
            const std::string verdict =
                state == tl::Recoverability::UnknownSize ? std::string("unknown size") : tl::ExplainRecoverability(*v, *o);
            std::cout << "  " << tl::EscapeControls(o->GetName()) << " (" << o->Size << " bytes): " << verdict << "\n";
        }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Documents Tessa-Loft: find and recover lost and deleted documents from FAT, exFAT and NTFS disks and images.",
                 "tessa-loft-cli"};
    cli.set_version_flag("--version", std::string("tessa-loft-cli ") + TL_VERSION);
    cli.require_subcommand(1);

    GlobalOptions g;
    cli.add_option("--config-dir", g.configDir, "Folder of the settings database (default: $TESSALOFT_CONFIG_DIR or "
                                                "$XDG_CONFIG_HOME/tessa-loft)");
    cli.add_option("--log-file", g.logFile, "Also write this run's log to FILE (UTF-16LE)");
    cli.add_option("--language", g.language, "Interface language for this run (a name from the Languages folder)");
    cli.add_flag("--quiet,-q", g.quiet, "Do not copy log lines to standard error");
    cli.add_flag("--yes,-y", g.yes, "Answer Yes to every question");

    auto* settings = cli.add_subcommand("settings", "Show or change the settings");
    settings->require_subcommand(1);
    auto* show = settings->add_subcommand("show", "Print every named setting");
    std::string format = "text";
    show->add_option("--format", format, "text or json")->check(CLI::IsMember({"text", "json"}));
    auto* set = settings->add_subcommand("set", "Change one setting");
    std::string name, value;
    set->add_option("NAME", name, "Setting name (as 'settings show' prints it)")->required();
    set->add_option("VALUE", value, "New value")->required();
    auto* reset = settings->add_subcommand("reset", "Restore every setting to its default");

    auto* log = cli.add_subcommand("log", "The event log");
    log->require_subcommand(1);
    auto* logShow = log->add_subcommand("show", "Print this run's log lines");

    auto* demo = cli.add_subcommand("demo", "Analyse a FAT image and say which deleted documents can be recovered");
    std::string demoImage;
    demo->add_option("--image", demoImage, "The image to analyse (scripts/run.sh makes one with real tools)");

    auto runSignatures = tl::cli::AddSignatureCommands(cli);
    auto volumes = tl::cli::AddVolumeCommands(cli);
    auto analyze = tl::cli::AddAnalyzeCommand(cli);
    auto recover = tl::cli::AddRecoverCommand(cli);
    auto open = tl::cli::AddOpenCommand(cli);
    auto search = tl::cli::AddSearchCommand(cli);
    auto image = tl::cli::AddImageCommand(cli);

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        return Usage(what + " (see --help)");
    }

    auto sink = std::make_shared<tl::cli::CliSink>(g.yes);
    tl::platform::InstallNotificationSink(sink);

    int exitCode = kExitOk;
    auto app = StartApp(g, volumes.opensDevice() || analyze.opensDevice() || recover.opensDevice() || open.opensDevice() || search.opensDevice() ||
                               image.opensDevice(),
                        exitCode);
    if (!app) {
        tl::platform::InstallNotificationSink(nullptr);
        return exitCode;
    }

    if (const int code = runSignatures(*app); code >= 0) {
        exitCode = code;
    } else if (const int volumeCode = volumes.run(*app); volumeCode >= 0) {
        exitCode = volumeCode;
    } else if (const int analyzeCode = analyze.run(*app, *sink); analyzeCode >= 0) {
        exitCode = analyzeCode;
    } else if (const int recoverCode = recover.run(*app, *sink); recoverCode >= 0) {
        exitCode = recoverCode;
    } else if (const int openCode = open.run(*app, *sink); openCode >= 0) {
        exitCode = openCode;
    } else if (const int searchCode = search.run(*app); searchCode >= 0) {
        exitCode = searchCode;
    } else if (const int imageCode = image.run(*app, *sink); imageCode >= 0) {
        exitCode = imageCode;
    } else if (show->parsed()) {
        std::cout << (format == "json" ? tl::cli::SettingsAsJson(app->Settings())
                                       : tl::cli::SettingsAsText(app->Settings()));
    } else if (set->parsed()) {
        const auto* field = tl::AppSettings::FindField(name);
        if (!field) {
            exitCode = Usage("unknown setting '" + name + "' (see 'settings show')");
        } else if (auto error = app->Settings().SetFieldFromText(*field, value)) {
            exitCode = Usage(*error);
        } else if (!app->SaveSettingsIfChanged()) {
            exitCode = Failure("the settings could not be written to " + app->Store().Problem());
        } else {
            std::cout << field->name << " = " << app->Settings().FieldText(*field) << "\n";
        }
    } else if (reset->parsed()) {
        app->ResetSettings();
        app->Log().LogInfo(app->GetString(tl::ids::kSettingsReset));
    } else if (logShow->parsed()) {
        for (const auto& line : app->Log().Lines()) std::cout << line << "\n";
    } else if (demo->parsed()) {
        const auto& s = app->Settings();
        std::cout << "Documents Tessa-Loft " << TL_VERSION << "\n"
                  << "Settings store:     "
                  << (app->Store().Persistent() ? SettingsFile(g).string() : std::string("(memory only)"))
                  << "\n"
                  << "Interface language: "
                  << (app->Languages().CurrentName().empty() ? "built-in English" : app->Languages().CurrentName())
                  << " (" << app->Languages().Names().size() << " available in "
                  << app->Languages().Folder().string() << ")\n"
                  << "Disk access:        " << DiskAccessText(*app)
                  << "\n"
                  << "Destination folder: " << s.DestinationFolder() << "\n"
                  << "Temporary folder:   " << s.TempFolder() << "\n"
                  << "Read retries:       " << s.RetryCount() << ", pause " << s.RetryPauseMs() << " ms\n"
                  << "Log file:           " << (s.LogToFile() ? s.LogFileName() : std::string("off")) << "\n"
                  << "File types known:   " << app->Signatures().Signatures().size() << " in "
                  << app->Signatures().Groups().size() << " groups\n"
                  << "Log lines so far:   " << app->Log().LineCount() << "\n";
        if (!demoImage.empty()) exitCode = RunDemoAnalysis(*app, demoImage);
    }

    app->SaveSettingsIfChanged();
    app.reset();
    tl::platform::InstallNotificationSink(nullptr);
    return exitCode;
}
