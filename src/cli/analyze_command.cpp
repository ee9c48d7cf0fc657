#include "cli/analyze_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "cli/cli_sink.h"
#include "cli/exit_codes.h"
#include "cli/object_listing.h"
#include "cli/progress_line.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/settings_store.h"
#include "platform/terminal.h"
#include "session/scan_session.h"
#include "storage/analysis_session.h"
#include "storage/local_computer.h"

namespace tl::cli {
namespace {

struct Options {
    std::string source;
    std::string format = "text";
    bool deletedOnly = false;
    bool progress = false;
    bool sectors = false;
    bool sectorsOnly = false;
    bool lostVolumes = false;
    bool freeSpaceOnly = false;
    ScanFileChoice keep;
};

// The progress of the analyses that run while it lives, drawn on standard
// error from the stage notifications `sink` receives; nothing without a sink.
class Progress {
public:
    Progress(CliSink* sink, CLocalComputer& computer) : sink_(sink) {
        if (!sink_) return;
        line_.emplace(stderr, platform::IsTerminal(stderr), [&computer] { return computer.CurrentVolume(); });
        sink_->SetObserver([this](const platform::AppMessage& m) {
            if (m.id == msg::kStatusText) line_->StageBegins(m.wparam);
            else if (m.id == msg::kFileSystemStageEnded || m.id == msg::kSectorStageEnded) line_->StageEnds();
        });
    }
    ~Progress() {
        if (sink_) sink_->SetObserver({});
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Tick() {
        if (line_) line_->Tick();
    }
    void Finish() {
        if (line_) line_->Finish();
    }

private:
    CliSink* sink_;
    std::optional<ProgressLine> line_;
};

// Runs `stages` on `source` in a session, drawing the progress meanwhile;
// the session (its volumes) once the run has ended.
// An interrupt (Ctrl+C) stops the run in order: what was found is kept.
void RunSession(CAnalysisSession& session, CVolume& source, AnalysisStages stages, Progress& progress) {
    platform::CatchInterrupts();
    if (!session.Start(source, stages)) return;
    bool stopping = false;
    while (!session.Wait(20)) {
        progress.Tick();
        if (!stopping && platform::InterruptRequested()) {
            stopping = true;
            session.Stop();
        }
    }
    progress.Finish();
}

void PrintJson(CVolume& v, const Options& opt, std::size_t volumeIndex) {
    CFoundTree& tree = v.FoundTree();
    const std::string volumeName = v.GetName();
    for (CFoundObject* o : tree.AllRecords()) {
        const CFoundObject r = tree.Snapshot(*o);
        if (!IsListed(tree, *o) || (opt.deletedOnly && !r.IsDeleted())) continue;
        PrintJsonLine(v, volumeName, r, volumeIndex);
    }
}

void PrintTsv(CVolume& v, const Options& opt) {
    CFoundTree& tree = v.FoundTree();
    for (CFoundObject* o : tree.AllRecords()) {
        const CFoundObject r = tree.Snapshot(*o);
        if (!IsListed(tree, *o) || (opt.deletedOnly && !r.IsDeleted())) continue;
        PrintTsvLine(tree, r);
    }
}

}  // namespace

void PrintTree(CVolume& v, bool deletedOnly, TreeCounts& counts) {
    std::uint64_t& folders = counts.folders;
    std::uint64_t& files = counts.files;
    std::uint64_t& deleted = counts.deleted;
    CFoundTree& tree = v.FoundTree();
    std::cout << EscapeControls(v.GetName()) << "  (" << EscapeControls(v.GetFileSystemName()) << ")\n";
    const std::function<void(std::uint64_t, int, int)> walk = [&](std::uint64_t parent, int depth, int budget) {
        if (depth > 64 || budget <= 0) return;
        for (CFoundObject* o : tree.FindChildren(parent)) {
            const CFoundObject r = tree.Snapshot(*o);
            if (!IsListed(tree, *o) || r.Id == parent) continue;
            r.IsFolder() ? ++folders : ++files;
            if (r.IsDeleted()) ++deleted;
            if (!deletedOnly || r.IsDeleted() || r.IsFolder()) PrintTextLine(r, r.GetName(), depth * 2);
            if (r.IsFolder()) walk(r.Id, depth + 1, budget - 1);
        }
    };
    walk(tree.Root()->Id, 1, 64);
    for (CFoundObject* fixed : {tree.LostFragments(), tree.LostFiles()}) {
        if (tree.FindChildren(fixed->Id).empty()) continue;
        std::cout << "  " << EscapeControls(fixed->GetName()) << "\n";
        walk(fixed->Id, 2, 64);
    }
}

namespace {

CVolume* OpenSource(CAnalysisSession& session, const std::string& path) {
    std::string error;
    CVolume* source = session.OpenSource(path, error);
    if (!source)
        std::fprintf(stderr, "tessa-loft-cli: cannot open %s: %s\n", EscapeControls(path).c_str(),
                     EscapeControls(error).c_str());
    return source;
}

}  // namespace

void AddScanFileOptions(CLI::App& command, ScanFileChoice& choice) {
    command.add_option("--session", choice.file,
                       "The scan file that keeps this analysis (default: one per source in the settings folder); "
                       "without SOURCE, reopen it: list or recover what it holds without scanning again");
    auto* resume = command.add_flag("--resume", choice.resume, "Go on with the unfinished analysis of the scan file");
    auto* none = command.add_flag("--no-session", [&choice](std::int64_t) { choice.keep = false; },
                                  "Keep the analysis in memory only");
    none->excludes(resume);
}

std::vector<CVolume*> RunAnalysis(CApp& app, const std::string& sourcePath, AnalysisStages stages, const ScanFileChoice& keep,
                                  CliSink* progressSink, AnalysisStages* ran) {
    CLocalComputer& computer = app.Computer();
    const auto failed = [](const std::string& what, const std::string& why) {
        std::fprintf(stderr, "tessa-loft-cli: %s: %s\n", what.c_str(), EscapeControls(why).c_str());
        return std::vector<CVolume*>{};
    };
    // The scan file outlives the run that writes it.
    CScanSession scan(computer);
    CAnalysisSession session(computer);
    std::string error;
    // Opened again: the source the file names, and what the file holds.
    if (sourcePath.empty()) {
        const std::string path = CScanSession::SourcePathOf(keep.file, error);
        if (path.empty()) return failed("cannot reopen " + EscapeControls(keep.file), error);
        CVolume* source = OpenSource(session, path);
        if (!source) return {};
        if (!scan.Load(keep.file, *source, false, error)) return failed("cannot reopen " + EscapeControls(keep.file), error);
        if (ran) *ran = scan.SavedStages();
        return scan.Volumes();
    }
    CVolume* source = OpenSource(session, sourcePath);
    if (!source) return {};
    const std::string file = keep.file.empty() ? CScanSession::DefaultPath(app.Store(), source->DevicePath) : keep.file;
    bool kept = true;
    if (file.empty()) {
        // The settings live in memory this run: so does the scan.
        if (keep.resume) return failed("cannot go on", "no scan file is kept while the settings are kept in memory");
        kept = false;
    } else if (keep.resume) {
        if (!scan.Load(file, *source, true, error)) return failed("cannot go on with " + EscapeControls(file), error);
        stages = scan.SavedStages();
        if (ran) *ran = stages;
        if (scan.SavedRunEnded()) return scan.Volumes();
    } else if (keep.keep && !scan.Begin(file, *source, stages, error)) {
        // A scan file asked for must be kept; the default one is a help.
        if (!keep.file.empty()) return failed("cannot keep the scan in " + EscapeControls(file), error);
        std::fprintf(stderr, "tessa-loft-cli: the scan is not kept: %s\n", EscapeControls(error).c_str());
        kept = false;
    } else if (!keep.keep) {
        kept = false;
    }
    if (ran) *ran = stages;
    Progress progress(progressSink, computer);
    RunSession(session, *source, stages, progress);
    scan.End(!session.Stopped());
    if (session.Stopped() && kept && !scan.WritingFailed())
        std::fprintf(stderr, "tessa-loft-cli: stopped; the scan is kept in %s: go on with --resume --session %s\n",
                     EscapeControls(file).c_str(), EscapeControls(file).c_str());
    return keep.resume ? scan.Volumes() : session.Volumes();
}

std::vector<CVolume*> AnalyseSource(CApp& app, const std::string& sourcePath, CliSink* progressSink, bool sectors,
                                    bool freeSpaceOnly) {
    const AnalysisStages stages = freeSpaceOnly ? AnalysisStages::FreeSpaceOnly
                                  : sectors     ? AnalysisStages::FileSystemAndSectors
                                                : AnalysisStages::FileSystem;
    return RunAnalysis(app, sourcePath, stages, ScanFileChoice{.file = {}, .resume = false, .keep = false}, progressSink);
}

CVolume* ScanSourceSectorsOnly(CApp& app, const std::string& sourcePath, CliSink* progressSink) {
    const std::vector<CVolume*> volumes =
        RunAnalysis(app, sourcePath, AnalysisStages::SectorsOnly, ScanFileChoice{.file = {}, .resume = false, .keep = false}, progressSink);
    return volumes.empty() ? nullptr : volumes.front();
}

namespace {

// Every volume's listing in the chosen format; the text ends with the
// counts and a line for each volume whose file system was not read.
void PrintVolumes(const std::vector<CVolume*>& volumes, const Options& o) {
    TreeCounts counts;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        CVolume* v = volumes[i];
        if (o.format == "json") {
            PrintJsonVolume(*v, i + 1);
            PrintJson(*v, o, i + 1);
        } else if (o.format == "tsv") {
            PrintTsv(*v, o);
        } else {
            PrintTree(*v, o.deletedOnly, counts);
        }
    }
    if (o.format != "text") return;
    std::printf("\n%llu folder(s), %llu file(s), %llu deleted\n", static_cast<unsigned long long>(counts.folders),
                static_cast<unsigned long long>(counts.files), static_cast<unsigned long long>(counts.deleted));
    for (CVolume* v : volumes) {
        const std::string why = NotReadReason(*v);
        if (!why.empty())
            std::printf("%s\n", FormatMessageText(v->Context().texts, ids::kVolumesNotRead, EscapeControls(v->GetName()), why).c_str());
    }
}

int Run(CApp& app, CliSink& sink, const Options& o) {
    if (o.lostVolumes) {
        CAnalysisSession session(app.Computer());
        CVolume* source = OpenSource(session, o.source);
        if (!source) return kExitFailure;
        Progress progress(o.progress ? &sink : nullptr, app.Computer());
        RunSession(session, *source, AnalysisStages::LostVolumes, progress);
        for (CVolume* f : app.Computer().Volumes().Snapshot())
            if (f->Kind == VK_FOUND && f->Parent == source)
                std::printf("%s\t%llu\t%s\t%llu\n", EscapeControls(f->GetName()).c_str(), static_cast<unsigned long long>(f->VolumeOffset),
                        f->GetFileSystemName().c_str(), static_cast<unsigned long long>(f->Size));
        // Then what each lost volume holds: its file system read as a partition's would be.
        const std::vector<CVolume*> found = session.FoundVolumes();
        if (!found.empty()) PrintVolumes(found, o);
        return kExitOk;
    }
    const AnalysisStages stages = o.sectorsOnly    ? AnalysisStages::SectorsOnly
                                  : o.freeSpaceOnly ? AnalysisStages::FreeSpaceOnly
                                  : o.sectors       ? AnalysisStages::FileSystemAndSectors
                                                    : AnalysisStages::FileSystem;
    AnalysisStages ran = stages;
    const std::vector<CVolume*> volumes = RunAnalysis(app, o.source, stages, o.keep, o.progress ? &sink : nullptr, &ran);
    if (volumes.empty()) return kExitFailure;
    // Stopped by an interrupt: what was found is listed, and the run failed.
    const int done = platform::InterruptRequested() ? kExitFailure : kExitOk;
    // A scan of sectors alone lists the source's finds without a volume line.
    if (ran == AnalysisStages::SectorsOnly) {
        TreeCounts counts;
        CVolume* v = volumes.front();
        if (o.format == "json") PrintJson(*v, o, 1);
        else if (o.format == "tsv") PrintTsv(*v, o);
        else PrintTree(*v, o.deletedOnly, counts);
        return done;
    }
    PrintVolumes(volumes, o);
    return done;
}

}  // namespace

AnalyzeCommand AddAnalyzeCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* analyze = cli.add_subcommand("analyze", "List every live and deleted file of an image or block device");
    analyze->add_option("SOURCE", o->source, "An image file or a block device (none with --session FILE: reopen FILE)");
    analyze->add_option("--format", o->format, "text, json or tsv")->check(CLI::IsMember({"text", "json", "tsv"}));
    analyze->add_flag("--deleted-only", o->deletedOnly, "Only deleted objects");
    analyze->add_flag("--progress", o->progress,
                      "Percent, MB/s and time left of each stage on standard error (redrawn in place on a terminal)");
    analyze->add_flag("--sectors", o->sectors, "After the file system, scan every sector for lost files and volumes");
    analyze->add_flag("--sectors-only", o->sectorsOnly, "Scan every sector, without the file-system stage");
    analyze->add_flag("--lost-volumes", o->lostVolumes, "Scan every sector for boot sectors of lost volumes only");
    analyze->add_flag("--free-space-only", o->freeSpaceOnly, "After the file system, scan only the sectors it leaves free");
    AddScanFileOptions(*analyze, o->keep);
    analyze->callback([o] {
        if (o->source.empty() && (o->keep.file.empty() || o->keep.resume))
            throw CLI::RequiredError("SOURCE (or --session FILE to reopen a scan file)");
    });
    AnalyzeCommand command;
    command.opensDevice = [=] { return analyze->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app, CliSink& sink) { return analyze->parsed() ? Run(app, sink, *o) : -1; };
    return command;
}

}  // namespace tl::cli
