#include "cli/recover_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/app.h"
#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "cli/analyze_command.h"
#include "cli/cli_sink.h"
#include "cli/exit_codes.h"
#include "cli/object_listing.h"
#include "cli/search_command.h"
#include "filesystems/found_tree.h"
#include "platform/terminal.h"
#include "platform/time.h"
#include "recovery/recovery.h"
#include "recovery/target_path.h"
#include "storage/analysis_session.h"
#include "platform/block_devices.h"
#include "storage/local_computer.h"

namespace tl::cli {
namespace {

struct Options : Selection {
    std::string source;
    ScanFileChoice keep;
    std::string to;
    bool sectors = false;
    bool sectorsOnly = false;
    std::vector<std::string> ids;  // "ID" or "VOLUME:ID" (VOLUME counts from 1, in the order analyze prints)
    int sizeChoice = 3;
    std::uint64_t customSize = 0;
    bool flat = false;
    bool keepStructure = false;
    bool progress = false;
};

// A volume's display name as one folder name ("Volume at 1048576").
std::string VolumeFolder(CVolume& v) {
    std::string name = v.GetName();
    for (char& c : name)
        if (c == ':') c = ' ';
    std::string squeezed;
    for (char c : name)
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' ')) squeezed += c;
    return SafeSegment(squeezed);
}

// One --id: the object's id and, when given, the 1-based volume it is on.
struct IdChoice {
    std::uint64_t id = 0;
    std::size_t volume = 0;  // 0: any
    std::string text;
};

bool ParseIds(const std::vector<std::string>& texts, std::vector<IdChoice>& out) {
    for (const std::string& t : texts) {
        IdChoice c;
        c.text = t;
        std::string idText = t;
        if (const std::size_t colon = t.find(':'); colon != std::string::npos) {
            const std::string v = t.substr(0, colon);
            if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
            c.volume = std::stoull(v);
            idText = t.substr(colon + 1);
        }
        // Ids print as signed 64-bit values (made-up folders are negative).
        const bool negative = !idText.empty() && idText[0] == '-';
        const std::string digits = negative ? idText.substr(1) : idText;
        if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
        const std::uint64_t magnitude = std::stoull(digits);
        c.id = negative ? ~magnitude + 1 : magnitude;
        out.push_back(c);
    }
    return true;
}

int Run(CApp& app, CliSink& sink, const Options& o) {
    std::vector<IdChoice> idChoices;
    if (!ParseIds(o.ids, idChoices)) {
        std::fprintf(stderr, "tessa-loft-cli: --id takes an id as analyze prints it, or VOLUME:ID\n");
        return kExitUsage;
    }
    CLocalComputer& computer = app.Computer();
    AppSettings& settings = app.Settings();
    const AnalysisStages stages = o.sectorsOnly ? AnalysisStages::SectorsOnly
                                  : o.sectors   ? AnalysisStages::FileSystemAndSectors
                                                : AnalysisStages::FileSystem;
    const std::vector<CVolume*> volumes = RunAnalysis(app, o.source, stages, o.keep, o.progress ? &sink : nullptr);
    // An analysis stopped by an interrupt recovers nothing.
    if (volumes.empty() || platform::InterruptRequested()) return kExitFailure;

    // This run's choices; the saved settings stay as they were.
    const std::uint32_t savedKeep = settings.GetU32(AppSettings::kKeepFolderStructure);
    settings.SetU32(AppSettings::kKeepFolderStructure, o.flat ? 0 : 1);
    std::vector<std::pair<CVolume*, std::vector<CFoundObject*>>> work;
    // The same test as the find bar's, on files only.
    Selection files = o;
    files.filesOnly = true;
    const FindCriteria criteria = CriteriaOf(files);
    // Each --id names exactly one object of the source: an id no object
    // has, or one that several volumes share without a volume given, is an
    // error before anything is written.
    std::vector<std::vector<std::size_t>> idHits(idChoices.size());
    for (std::size_t index = 0; index < volumes.size(); ++index) {
        CVolume* v = volumes[index];
        for (CFoundObject* rec : v->FoundTree().AllRecords()) {
            if (rec == v || !IsListed(v->FoundTree(), *rec)) continue;
            const CFoundObject r = v->FoundTree().Snapshot(*rec);
            for (std::size_t k = 0; k < idChoices.size(); ++k)
                if (r.Id == idChoices[k].id && (idChoices[k].volume == 0 || idChoices[k].volume == index + 1))
                    idHits[k].push_back(index + 1);
        }
    }
    for (std::size_t k = 0; k < idChoices.size(); ++k) {
        if (idHits[k].empty()) {
            std::fprintf(stderr, "tessa-loft-cli: no found object has the id %s\n", idChoices[k].text.c_str());
            return kExitUsage;
        }
        if (idHits[k].size() > 1) {
            std::string forms;
            for (std::size_t volume : idHits[k]) forms += (forms.empty() ? "" : ", ") + std::to_string(volume) + ":" + idChoices[k].text;
            std::fprintf(stderr, "tessa-loft-cli: the id %s names objects on several volumes; give one of %s\n",
                         idChoices[k].text.c_str(), forms.c_str());
            return kExitUsage;
        }
    }
    for (std::size_t index = 0; index < volumes.size(); ++index) {
        CVolume* v = volumes[index];
        std::vector<CFoundObject*> chosen;
        for (CFoundObject* rec : v->FoundTree().AllRecords()) {
            if (rec == v || !IsListed(v->FoundTree(), *rec)) continue;
            const CFoundObject r = v->FoundTree().Snapshot(*rec);
            if (r.IsFolder() || !FindMatches(criteria, r, &computer.Log())) continue;
            if (!idChoices.empty() && std::none_of(idChoices.begin(), idChoices.end(), [&](const IdChoice& c) {
                    return c.id == r.Id && (c.volume == 0 || c.volume == index + 1);
                }))
                continue;
            chosen.push_back(rec);
        }
        if (!chosen.empty()) work.emplace_back(v, std::move(chosen));
    }
    std::uint32_t complete = 0, skipped = 0, failed = 0, empty = 0;
    std::vector<CRecovery::Failure> failures;
    std::uint64_t bytes = 0;
    for (auto& [v, chosen] : work) {
        // Files of several volumes each go below a folder of their volume.
        const std::filesystem::path folder = volumes.size() > 1 ? std::filesystem::path(o.to) / VolumeFolder(*v)
                                                                : std::filesystem::path(o.to);
        std::string destination = folder.string();
        if (computer.CheckDestination(*v, destination) < 0) {
            std::fprintf(stderr, "tessa-loft-cli: choose a destination on another drive with --to\n");
            settings.SetU32(AppSettings::kKeepFolderStructure, savedKeep);
            return kExitFailure;
        }
        CRecovery recovery(RecoveryContext{&settings, &computer.Log(), &app.Languages(), &computer.Signatures()});
        recovery.SizeChoiceForAll = o.sizeChoice;
        recovery.SizeForAllKB = static_cast<std::int32_t>(std::min<std::uint64_t>(o.customSize / 1024, 0x7FFFFFFF));
        recovery.BuildRecoveryList(chosen, v->FoundTree());
        computer.Log().LogInfo(FormatMessageText(&app.Languages(), ids::kRecoveryStarted));
        recovery.StartRecovery(*v, destination);
        const auto started = std::chrono::steady_clock::now();
        while (!recovery.Wait(250)) {
            if (o.progress) {
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                std::fprintf(stderr, "\r%d of %zu files  %3d%%  %.0f MB/s   ", recovery.Current.load(), chosen.size(),
                             recovery.CurrentPercent.load(), s > 0 ? static_cast<double>(recovery.BytesWritten.load()) / s / 1e6 : 0.0);
            }
        }
        if (o.progress) std::fprintf(stderr, "\n");
        complete += recovery.CompleteCount.load();
        empty += recovery.EmptyCount.load();
        for (auto& f : recovery.Failures()) failures.push_back(std::move(f));
        skipped += recovery.SkippedCount.load();
        failed += recovery.FailedCount.load();
        bytes += recovery.BytesWritten.load();
    }
    settings.SetU32(AppSettings::kKeepFolderStructure, savedKeep);
    if (work.empty()) computer.Log().LogError(FormatMessageText(&app.Languages(), ids::kRecoveryListEmpty));
    // What did not come back, and why, above the counts.
    for (const CRecovery::Failure& f : failures)
        std::printf("%s: %s: %s\n", f.skipped ? "Skipped" : "Failed", EscapeControls(f.name).c_str(), f.reason.c_str());
    const std::string emptyNote = empty ? " (" + std::to_string(empty) + " empty)" : "";
    std::printf("%u recovered%s, %u skipped, %u failed, %llu bytes\n", complete, emptyNote.c_str(), skipped, failed,
                static_cast<unsigned long long>(bytes));
    return skipped == 0 && failed == 0 && !work.empty() ? kExitOk : kExitFailure;
}

int RunOpen(CApp& app, CliSink&, const std::string& source, std::uint64_t id) {
    CLocalComputer& computer = app.Computer();
    const std::vector<CVolume*> volumes = AnalyseSource(app, source);
    if (volumes.empty()) return kExitFailure;
    for (CVolume* v : volumes) {
        CFoundObject* item = v->FoundTree().FindFirstById(id);
        if (!item || item->IsFolder() || (item->Flags & FO_VOLUME)) continue;
        CRecovery& opening = computer.Opening();
        // Sizes still unknown are taken as far as the next file of the same type.
        opening.SizeChoiceForAll = 3;
        opening.BuildRecoveryList({item}, v->FoundTree());
        opening.StartOpening(*v);
        while (!opening.Wait(250)) {
        }
        const std::string copy = opening.CurrentTargetText();
        std::printf("%s\n", copy.c_str());
        return opening.CompleteCount.load() == 1 && opening.OpenResult.load() >= 32 ? kExitOk : kExitFailure;
    }
    std::fprintf(stderr, "tessa-loft-cli: no found file has the id %llu\n", static_cast<unsigned long long>(id));
    return kExitUsage;
}

}  // namespace

RecoverCommand AddOpenCommand(CLI::App& cli) {
    auto source = std::make_shared<std::string>();
    auto id = std::make_shared<std::uint64_t>(0);
    auto* c = cli.add_subcommand("open", "Copy one found file to the temporary folder and open it with its application");
    c->add_option("SOURCE", *source, "An image file or a block device")->required();
    c->add_option("--id", *id, "The found object's id (as analyze prints it)")->required();
    RecoverCommand command;
    command.opensDevice = [=] { return c->parsed() && platform::DeviceNumberOf(*source).has_value(); };
    command.run = [=](CApp& app, CliSink& sink) { return c->parsed() ? RunOpen(app, sink, *source, *id) : -1; };
    return command;
}

RecoverCommand AddRecoverCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* c = cli.add_subcommand("recover", "Copy found files of an image or block device into a folder");
    c->add_option("SOURCE", o->source, "An image file or a block device (none with --session FILE: recover from FILE)");
    c->add_option("--to", o->to, "The destination folder (on another drive)")->required();
    c->add_flag("--sectors", o->sectors, "After the file system, scan every sector for lost files");
    c->add_flag("--sectors-only", o->sectorsOnly, "Scan every sector, without the file-system stage");
    c->add_flag("--deleted-only", o->deletedOnly, "Only deleted files");
    c->add_option("--name", o->name, "Only files whose name fits (\"*\" any run, \"?\" one character, case ignored)");
    auto* lt = c->add_option("--size-lt", o->sizeLess, "Only files smaller than N bytes");
    c->add_option("--size-gt", o->sizeGreater, "Only files larger than N bytes")->excludes(lt);
    c->add_option("--since", o->sinceDays, "Only files created in the last DAYS days");
    c->add_option("--id", o->ids, "Only the found objects with these ids (as analyze prints them; VOLUME:ID where volumes share an id)");
    c->add_option("--size-choice", o->sizeChoice,
                  "Size of lost files whose size is unknown: 1 type's default, 2 next file, 3 next file of its type, 4 --custom-size")
        ->check(CLI::Range(1, 4));
    c->add_option("--custom-size", o->customSize, "The size of choice 4, in bytes");
    auto* keep = c->add_flag("--keep-structure", o->keepStructure, "Re-create each file's folders (the default)");
    c->add_flag("--flat", o->flat, "Every file straight into the destination, names made unique")->excludes(keep);
    c->add_flag("--progress", o->progress, "Files, percent and MB/s on standard error");
    AddScanFileOptions(*c, o->keep);
    c->callback([o] {
        if (o->source.empty() && (o->keep.file.empty() || o->keep.resume))
            throw CLI::RequiredError("SOURCE (or --session FILE to recover from a scan file)");
    });
    RecoverCommand command;
    command.opensDevice = [=] { return c->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app, CliSink& sink) { return c->parsed() ? Run(app, sink, *o) : -1; };
    return command;
}

}  // namespace tl::cli
