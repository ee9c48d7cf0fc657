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
#include "platform/terminal.h"
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
void RunSession(CAnalysisSession& session, CVolume& source, AnalysisStages stages, Progress& progress) {
    if (!session.Start(source, stages)) return;
    while (!session.Wait(20)) progress.Tick();
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

std::vector<CVolume*> AnalyseSource(CApp& app, const std::string& sourcePath, CliSink* progressSink, bool sectors,
                                    bool freeSpaceOnly) {
    CAnalysisSession session(app.Computer());
    CVolume* source = OpenSource(session, sourcePath);
    if (!source) return {};
    Progress progress(progressSink, app.Computer());
    RunSession(session, *source,
               freeSpaceOnly ? AnalysisStages::FreeSpaceOnly
                             : (sectors ? AnalysisStages::FileSystemAndSectors : AnalysisStages::FileSystem),
               progress);
    return session.Volumes();
}

CVolume* ScanSourceSectorsOnly(CApp& app, const std::string& sourcePath, CliSink* progressSink) {
    CAnalysisSession session(app.Computer());
    CVolume* source = OpenSource(session, sourcePath);
    if (!source) return nullptr;
    Progress progress(progressSink, app.Computer());
    RunSession(session, *source, AnalysisStages::SectorsOnly, progress);
    return source;
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
    if (o.sectorsOnly) {
        CVolume* v = ScanSourceSectorsOnly(app, o.source, o.progress ? &sink : nullptr);
        if (!v) return kExitFailure;
        TreeCounts counts;
        if (o.format == "json") PrintJson(*v, o, 1);
        else if (o.format == "tsv") PrintTsv(*v, o);
        else PrintTree(*v, o.deletedOnly, counts);
        return kExitOk;
    }
    const std::vector<CVolume*> volumes =
        AnalyseSource(app, o.source, o.progress ? &sink : nullptr, o.sectors || o.freeSpaceOnly, o.freeSpaceOnly);
    if (volumes.empty()) return kExitFailure;
    PrintVolumes(volumes, o);
    return kExitOk;
}

}  // namespace

AnalyzeCommand AddAnalyzeCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* analyze = cli.add_subcommand("analyze", "List every live and deleted file of an image or block device");
    analyze->add_option("SOURCE", o->source, "An image file or a block device")->required();
    analyze->add_option("--format", o->format, "text, json or tsv")->check(CLI::IsMember({"text", "json", "tsv"}));
    analyze->add_flag("--deleted-only", o->deletedOnly, "Only deleted objects");
    analyze->add_flag("--progress", o->progress,
                      "Percent, MB/s and time left of each stage on standard error (redrawn in place on a terminal)");
    analyze->add_flag("--sectors", o->sectors, "After the file system, scan every sector for lost files and volumes");
    analyze->add_flag("--sectors-only", o->sectorsOnly, "Scan every sector, without the file-system stage");
    analyze->add_flag("--lost-volumes", o->lostVolumes, "Scan every sector for boot sectors of lost volumes only");
    analyze->add_flag("--free-space-only", o->freeSpaceOnly, "After the file system, scan only the sectors it leaves free");
    AnalyzeCommand command;
    command.opensDevice = [=] { return analyze->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app, CliSink& sink) { return analyze->parsed() ? Run(app, sink, *o) : -1; };
    return command;
}

}  // namespace tl::cli
