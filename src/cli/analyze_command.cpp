#include "cli/analyze_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <thread>

#include "app/app.h"
#include "cli/object_listing.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/read_only_file.h"
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

// The sector stage alone on `v` (mode 1: lost volumes only), waited for.
void ScanSectorsOnly(CVolume& v, std::uint32_t mode) {
    v.Analyse_Boot();
    AnalysisBusy() = 1;
    v.StartSectorAnalysis(mode);
    v.WaitForWorker(24u * 3600 * 1000);
    AnalysisBusy() = 0;
}

void PrintJson(CVolume& v, const Options& opt) {
    CFoundTree& tree = v.FoundTree();
    const std::string volumeName = v.GetName();
    for (CFoundObject* o : tree.AllRecords()) {
        const CFoundObject r = tree.Snapshot(*o);
        if (!IsListed(tree, *o) || (opt.deletedOnly && !r.IsDeleted())) continue;
        PrintJsonLine(tree, volumeName, r);
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
    std::cout << v.GetName() << "  (" << v.GetFileSystemName() << ")\n";
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
        std::cout << "  " << fixed->GetName() << "\n";
        walk(fixed->Id, 2, 64);
    }
}

std::vector<CVolume*> AnalyseSource(CApp& app, const std::string& sourcePath, bool progress, bool sectors,
                                    bool freeSpaceOnly) {
    const Options o{sourcePath, "text", false, progress, sectors};
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

    // Whether the sector stage follows is this run's choice; the saved one stays.
    AppSettings& settings = app.Settings();
    const std::uint32_t savedSectors = settings.GetU32(AppSettings::kSectorsAfterFileSystem);
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, o.sectors ? 1 : 0);
    for (CVolume* v : volumes) {
        v->FreeSpaceOnly = freeSpaceOnly;
        computer.AnalyseVolume(*v);
    }
    const bool drawProgress = o.progress && ::isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    // Queued volumes are started one after the other, as the interface does.
    while (true) {
        const auto queue = computer.AnalysisQueue();
        if (AnalysisBusy().load() == 0) {
            if (queue.empty()) break;
            computer.AnalyseVolume(*queue.front());
        }
        if (drawProgress) {
            CVolume* v = computer.CurrentVolume();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const std::uint64_t end = v ? v->ProgressEnd.load() : 0, pos = v ? v->ProgressPos.load() : 0;
            std::fprintf(stderr, "\r%-24s %5.1f%%  %6.1f s  %u files", v ? v->GetName().c_str() : "",
                         end ? 100.0 * static_cast<double>(pos) / static_cast<double>(end) : 0.0, seconds,
                         v ? v->FsFiles.load() : 0u);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (CVolume* v : volumes) v->WaitForWorker(60000);
    if (drawProgress) std::fprintf(stderr, "\n");
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, savedSectors);
    return volumes;
}

namespace {

int Run(CApp& app, const Options& o) {
    if (o.sectorsOnly || o.lostVolumes) {
        CLocalComputer& computer = app.Computer();
        CVolume* v = nullptr;
        if (platform::DeviceNumberOf(o.source)) {
            computer.Volumes().Refresh(false);
            v = computer.Volumes().FindByDevicePath(o.source);
        } else {
            v = computer.LoadImage(o.source);
        }
        if (!v) {
            std::fprintf(stderr, "tessa-loft-cli: cannot read %s\n", o.source.c_str());
            return 1;
        }
        ScanSectorsOnly(*v, o.lostVolumes ? 1 : 0);
        if (o.lostVolumes) {
            for (CVolume* f : computer.Volumes().Snapshot())
                if (f->Kind == VK_FOUND && f->Parent == v)
                    std::printf("%s\t%llu\t%s\t%llu\n", f->GetName().c_str(), static_cast<unsigned long long>(f->VolumeOffset),
                                f->GetFileSystemName().c_str(), static_cast<unsigned long long>(f->Size));
            return 0;
        }
        TreeCounts counts;
        if (o.format == "json") PrintJson(*v, o);
        else if (o.format == "tsv") PrintTsv(*v, o);
        else PrintTree(*v, o.deletedOnly, counts);
        return 0;
    }
    const std::vector<CVolume*> volumes = AnalyseSource(app, o.source, o.progress, o.sectors || o.freeSpaceOnly, o.freeSpaceOnly);
    if (volumes.empty()) return 1;
    TreeCounts counts;
    for (CVolume* v : volumes) {
        if (o.format == "json") PrintJson(*v, o);
        else if (o.format == "tsv") PrintTsv(*v, o);
        else PrintTree(*v, o.deletedOnly, counts);
    }
    if (o.format == "text")
        std::printf("\n%llu folder(s), %llu file(s), %llu deleted\n", static_cast<unsigned long long>(counts.folders),
                    static_cast<unsigned long long>(counts.files), static_cast<unsigned long long>(counts.deleted));
    return 0;
}

}  // namespace

AnalyzeCommand AddAnalyzeCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* analyze = cli.add_subcommand("analyze", "List every live and deleted file of an image or block device");
    analyze->add_option("SOURCE", o->source, "An image file or a block device")->required();
    analyze->add_option("--format", o->format, "text, json or tsv")->check(CLI::IsMember({"text", "json", "tsv"}));
    analyze->add_flag("--deleted-only", o->deletedOnly, "Only deleted objects");
    analyze->add_flag("--progress", o->progress, "A progress line on standard error (when it is a terminal)");
    analyze->add_flag("--sectors", o->sectors, "After the file system, scan every sector for lost files and volumes");
    analyze->add_flag("--sectors-only", o->sectorsOnly, "Scan every sector, without the file-system stage");
    analyze->add_flag("--lost-volumes", o->lostVolumes, "Scan every sector for boot sectors of lost volumes only");
    analyze->add_flag("--free-space-only", o->freeSpaceOnly, "After the file system, scan only the sectors it leaves free");
    AnalyzeCommand command;
    command.opensDevice = [=] { return analyze->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app) { return analyze->parsed() ? Run(app, *o) : -1; };
    return command;
}

}  // namespace tl::cli
