#include "cli/analyze_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <thread>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "cli/cli_sink.h"
#include "cli/object_listing.h"
#include "cli/progress_line.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/read_only_file.h"
#include "platform/terminal.h"
#include "storage/analysis_busy.h"
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

// Analyses every volume of `batch`, one after the other as the interface
// starts queued volumes, and waits for the last.
void AnalyseInTurn(CLocalComputer& computer, const std::vector<CVolume*>& batch, Progress& progress, bool freeSpaceOnly) {
    for (CVolume* v : batch) {
        v->FreeSpaceOnly = freeSpaceOnly;
        computer.AnalyseVolume(*v);
    }
    while (true) {
        const auto queue = computer.AnalysisQueue();
        if (AnalysisBusy().load() == 0) {
            if (queue.empty()) break;
            computer.AnalyseVolume(*queue.front());
        }
        progress.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (CVolume* v : batch) v->WaitForWorker(60000);
}

// The sector stage alone on `v` (mode 1: lost volumes only), waited for.
void ScanSectorsOnly(CVolume& v, std::uint32_t mode, Progress& progress) {
    v.Analyse_Boot();
    AnalysisBusy() = 1;
    v.StartSectorAnalysis(mode);
    while (!v.WaitForWorker(20)) progress.Tick();
    progress.Finish();
    AnalysisBusy() = 0;
}

void PrintJson(CVolume& v, const Options& opt, std::size_t volumeIndex) {
    CFoundTree& tree = v.FoundTree();
    const std::string volumeName = v.GetName();
    for (CFoundObject* o : tree.AllRecords()) {
        const CFoundObject r = tree.Snapshot(*o);
        if (!IsListed(tree, *o) || (opt.deletedOnly && !r.IsDeleted())) continue;
        PrintJsonLine(tree, volumeName, r, volumeIndex);
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

std::vector<CVolume*> FoundVolumesToAnalyse(CLocalComputer& computer, CVolume& source, const std::vector<CVolume*>& analysed,
                                            std::vector<CVolume*>& seen) {
    std::vector<CVolume*> found;
    for (CVolume* v : computer.Volumes().Snapshot()) {
        if (v->Kind != VK_FOUND || std::find(seen.begin(), seen.end(), v) != seen.end()) continue;
        if (!CLocalComputer::ExtentIn(source, *v)) continue;  // on another device
        seen.push_back(v);
        const auto holder = std::find_if(analysed.begin(), analysed.end(), [&](CVolume* w) {
            return w != &source && CLocalComputer::ExtentIn(*w, *v).has_value();
        });
        if (holder != analysed.end()) {
            computer.Log().LogInfo(FormatMessageText(computer.Texts(), ids::kFoundVolumeInside, v->GetFileSystemName(),
                                                     v->VolumeOffset, (*holder)->GetName()));
            continue;
        }
        found.push_back(v);
    }
    return found;
}

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

std::vector<CVolume*> AnalyseSource(CApp& app, const std::string& sourcePath, CliSink* progressSink, bool sectors,
                                    bool freeSpaceOnly) {
    const Options o{sourcePath, "text", false, progressSink != nullptr, sectors};
    CLocalComputer& computer = app.Computer();
    CVolume* source = nullptr;
    if (platform::DeviceNumberOf(o.source)) {
        computer.Volumes().Refresh(false);
        source = computer.Volumes().FindByDevicePath(o.source);
    } else {
        platform::ReadOnlyFile probe;
        if (const int error = probe.Open(o.source)) {
            std::fprintf(stderr, "tessa-loft-cli: cannot open %s: %s\n", o.source.c_str(), platform::ErrorText(error).c_str());
            return {};
        }
        source = computer.LoadImage(o.source);
    }
    if (!source) {
        std::fprintf(stderr, "tessa-loft-cli: cannot read %s\n", o.source.c_str());
        return {};
    }
    std::vector<CVolume*> volumes{source};
    for (CVolume* v : computer.Volumes().Snapshot())
        if (v != source && v->Parent == source && (v->Kind == VK_FOUND || v->Kind == VK_LOGICAL)) volumes.push_back(v);

    // Each sector is scanned once: every partition in its own volume, and
    // the source's own stage only the space outside them. Volumes its scan
    // meets claim their sectors the same way and are analysed next.
    source->ClearClaims();
    if (o.sectors)
        for (CVolume* v : volumes)
            if (const auto extent = CLocalComputer::ExtentIn(*source, *v)) source->ClaimSectors(extent->FirstSector, extent->SectorCount);
    source->LeaveFoundVolumesToOwnScan = o.sectors;

    // Whether the sector stage follows is this run's choice; the saved one stays.
    AppSettings& settings = app.Settings();
    const std::uint32_t savedSectors = settings.GetU32(AppSettings::kSectorsAfterFileSystem);
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, o.sectors ? 1 : 0);
    Progress progress(progressSink, computer);
    const auto analyse = [&](const std::vector<CVolume*>& batch) { AnalyseInTurn(computer, batch, progress, freeSpaceOnly); };
    analyse(volumes);
    // The volumes the sector stage found join the source's, each analysed
    // in turn; one that lies inside a volume analysed already is only named.
    std::vector<CVolume*> seen = volumes;
    for (int round = 0; round < CVolume::kMaxNesting; ++round) {
        const std::vector<CVolume*> found = FoundVolumesToAnalyse(computer, *source, volumes, seen);
        if (found.empty()) break;
        for (CVolume* v : found) v->LeaveFoundVolumesToOwnScan = o.sectors;
        analyse(found);
        volumes.insert(volumes.end(), found.begin(), found.end());
    }
    progress.Finish();
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, savedSectors);
    return volumes;
}

CVolume* ScanSourceSectorsOnly(CApp& app, const std::string& source, CliSink* progressSink, std::uint32_t mode) {
    CLocalComputer& computer = app.Computer();
    CVolume* v = nullptr;
    if (platform::DeviceNumberOf(source)) {
        computer.Volumes().Refresh(false);
        v = computer.Volumes().FindByDevicePath(source);
    } else {
        v = computer.LoadImage(source);
    }
    if (!v) {
        std::fprintf(stderr, "tessa-loft-cli: cannot read %s\n", source.c_str());
        return nullptr;
    }
    Progress progress(progressSink, computer);
    ScanSectorsOnly(*v, mode, progress);
    return v;
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
    if (o.sectorsOnly || o.lostVolumes) {
        CLocalComputer& computer = app.Computer();
        CVolume* v = ScanSourceSectorsOnly(app, o.source, o.progress ? &sink : nullptr, o.lostVolumes ? 1 : 0);
        if (!v) return 1;
        if (o.lostVolumes) {
            for (CVolume* f : computer.Volumes().Snapshot())
                if (f->Kind == VK_FOUND && f->Parent == v)
                    std::printf("%s\t%llu\t%s\t%llu\n", EscapeControls(f->GetName()).c_str(), static_cast<unsigned long long>(f->VolumeOffset),
                                f->GetFileSystemName().c_str(), static_cast<unsigned long long>(f->Size));
            // Then what each lost volume holds: its file system read as a
            // partition's would be.
            std::vector<CVolume*> seen{v};
            const std::vector<CVolume*> found = FoundVolumesToAnalyse(computer, *v, {v}, seen);
            if (found.empty()) return 0;
            AppSettings& settings = app.Settings();
            const std::uint32_t savedSectors = settings.GetU32(AppSettings::kSectorsAfterFileSystem);
            settings.SetU32(AppSettings::kSectorsAfterFileSystem, 0);
            {
                Progress progress(o.progress ? &sink : nullptr, computer);
                AnalyseInTurn(computer, found, progress, false);
                progress.Finish();
            }
            settings.SetU32(AppSettings::kSectorsAfterFileSystem, savedSectors);
            PrintVolumes(found, o);
            return 0;
        }
        TreeCounts counts;
        if (o.format == "json") PrintJson(*v, o, 1);
        else if (o.format == "tsv") PrintTsv(*v, o);
        else PrintTree(*v, o.deletedOnly, counts);
        return 0;
    }
    const std::vector<CVolume*> volumes =
        AnalyseSource(app, o.source, o.progress ? &sink : nullptr, o.sectors || o.freeSpaceOnly, o.freeSpaceOnly);
    if (volumes.empty()) return 1;
    PrintVolumes(volumes, o);
    return 0;
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
