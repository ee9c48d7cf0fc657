#include "storage/analysis_session.h"

#include <algorithm>
#include <chrono>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "platform/time.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"
#include "storage/volume.h"

namespace tl {

CAnalysisSession::CAnalysisSession(CLocalComputer& computer) : computer_(computer) {}

CAnalysisSession::~CAnalysisSession() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

CVolume* CAnalysisSession::OpenSource(const std::string& path, std::string& error) {
    return computer_.OpenSource(path, error);
}

bool CAnalysisSession::Start(CVolume& source, AnalysisStages stages) {
    if (running_.load() || AnalysisBusy().load() != 0) return false;
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(mutex_);
        volumes_.clear();
        found_.clear();
        startedMs_ = platform::TickCountMs();
        endedMs_ = 0;
    }
    stopped_ = false;
    running_ = true;
    thread_ = std::thread([this, &source, stages] {
        try {
            Run(source, stages);
        } catch (const std::exception& e) {
            computer_.Log().LogError(std::string("CAnalysisSession.Run: ") + e.what());
        } catch (...) {
            computer_.Log().LogError("CAnalysisSession.Run: unknown exception");
        }
        // The run's choices were for this run only.
        {
            std::lock_guard lock(mutex_);
            for (CVolume* v : volumes_) v->SectorsThisRun = -1;
            endedMs_ = platform::TickCountMs();
            running_ = false;
        }
        ended_.notify_all();
    });
    return true;
}

void CAnalysisSession::Stop() {
    if (!running_.load()) return;
    stopped_ = true;
    // The volume analysed now, and every volume of the run still queued.
    std::vector<CVolume*> ours = Volumes();
    CVolume* current = computer_.CurrentVolume();
    if (current && std::find(ours.begin(), ours.end(), current) == ours.end()) ours.push_back(current);
    const std::vector<CVolume*> queued = computer_.AnalysisQueue();
    for (CVolume* v : ours)
        if (v == current || std::find(queued.begin(), queued.end(), v) != queued.end()) computer_.StopAnalysis(*v, true);
    AnalysisBusy() = 0;
}

bool CAnalysisSession::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running_.load(); });
}

std::vector<CVolume*> CAnalysisSession::Volumes() const {
    std::lock_guard lock(mutex_);
    return volumes_;
}

std::vector<CVolume*> CAnalysisSession::FoundVolumes() const {
    std::lock_guard lock(mutex_);
    return found_;
}

std::uint64_t CAnalysisSession::Milliseconds() const {
    std::lock_guard lock(mutex_);
    return (endedMs_ ? endedMs_ : platform::TickCountMs()) - startedMs_;
}

void CAnalysisSession::Add(const std::vector<CVolume*>& volumes, std::vector<CVolume*>& to) {
    std::lock_guard lock(mutex_);
    to.insert(to.end(), volumes.begin(), volumes.end());
}

void CAnalysisSession::Run(CVolume& source, AnalysisStages stages) {
    switch (stages) {
    case AnalysisStages::FileSystem: AnalyseWhole(source, false, false); break;
    case AnalysisStages::FileSystemAndSectors: AnalyseWhole(source, true, false); break;
    case AnalysisStages::FreeSpaceOnly: AnalyseWhole(source, true, true); break;
    case AnalysisStages::SectorsOnly: FindLostVolumes(source, 0); break;
    case AnalysisStages::LostVolumes: FindLostVolumes(source, 1); break;
    case AnalysisStages::SectorStage: AnalyseWhole(source, true, false, false); break;
    case AnalysisStages::FreeSpaceSectorStage: AnalyseWhole(source, true, true, false); break;
    }
}

void CAnalysisSession::AnalyseWhole(CVolume& source, bool sectors, bool freeSpaceOnly, bool fileSystems) {
    // A source nobody analysed yet has its partition table read first, for
    // the sector stage to know its volumes.
    if (!fileSystems && source.FileSystemOutcome.load() == CVolume::FsOutcome::NotAnalysed) source.Analyse_Boot();
    std::vector<CVolume*> volumes{&source};
    for (CVolume* v : computer_.Volumes().Snapshot())
        if (v != &source && v->Parent == &source && (v->Kind == VK_FOUND || v->Kind == VK_LOGICAL)) volumes.push_back(v);

    // Each sector is scanned once: every partition in its own volume, and
    // the source's own stage only the space outside them. Volumes its scan
    // meets claim their sectors the same way and are analysed next.
    source.ClearClaims();
    if (sectors)
        for (CVolume* v : volumes)
            if (const auto extent = CLocalComputer::ExtentIn(source, *v)) source.ClaimSectors(extent->FirstSector, extent->SectorCount);
    source.LeaveFoundVolumesToOwnScan = sectors;
    if (fileSystems)
        AnalyseInTurn(volumes, sectors, freeSpaceOnly);
    else
        ScanSectorsInTurn(volumes, freeSpaceOnly);

    // The volumes the sector stage found join the source's, each analysed
    // in turn; one that lies inside a volume analysed already is only named.
    std::vector<CVolume*> analysed = volumes;
    std::vector<CVolume*> seen = volumes;
    for (int round = 0; round < CVolume::kMaxNesting && !stopped_.load(); ++round) {
        const std::vector<CVolume*> found = FoundVolumesToAnalyse(computer_, source, analysed, seen);
        if (found.empty()) break;
        Add(found, found_);
        for (CVolume* v : found) v->LeaveFoundVolumesToOwnScan = sectors;
        AnalyseInTurn(found, sectors, freeSpaceOnly);
        analysed.insert(analysed.end(), found.begin(), found.end());
    }
}

void CAnalysisSession::FindLostVolumes(CVolume& source, std::uint32_t mode) {
    if (mode == 0) Add({&source}, volumes_);
    source.Analyse_Boot();
    AnalysisBusy() = 1;
    if (!stopped_.load()) source.StartSectorAnalysis(mode);
    // A Stop that came while the scan was being started did not see it.
    if (stopped_.load()) computer_.StopAnalysis(source, true);
    while (!source.WaitForWorker(50)) {
    }
    AnalysisBusy() = 0;
    if (mode == 0 || stopped_.load()) return;
    // What each lost volume holds: its file system read as a partition's would be.
    std::vector<CVolume*> seen{&source};
    const std::vector<CVolume*> found = FoundVolumesToAnalyse(computer_, source, {&source}, seen);
    Add(found, found_);
    if (found.empty()) {
        Add({&source}, volumes_);
        return;
    }
    AnalyseInTurn(found, false, false);
}

void CAnalysisSession::AnalyseInTurn(const std::vector<CVolume*>& batch, bool sectors, bool freeSpaceOnly) {
    if (stopped_.load()) return;
    Add(batch, volumes_);
    for (CVolume* v : batch) {
        v->FreeSpaceOnly = freeSpaceOnly;
        v->SectorsThisRun = sectors ? 1 : 0;
        computer_.AnalyseVolume(*v);
        // A Stop that came while the volume was being started did not see it.
        if (stopped_.load()) computer_.StopAnalysis(*v, true);
    }
    // The queue starts the next volume when nothing is busy any more, as the
    // main window does when it hears that an analysis finished. The start
    // reads the queue again under its lock: a volume whose analysis ended
    // since the look here is not started a second time.
    while (!stopped_.load()) {
        if (AnalysisBusy().load() == 0) {
            const auto queue = computer_.AnalysisQueue();
            const bool ours = std::any_of(queue.begin(), queue.end(),
                                          [&](CVolume* q) { return std::find(batch.begin(), batch.end(), q) != batch.end(); });
            if (!ours) break;
            computer_.StartFirstQueued();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (CVolume* v : batch) v->WaitForWorker(60000);
}

void CAnalysisSession::ScanSectorsInTurn(const std::vector<CVolume*>& batch, bool freeSpaceOnly) {
    if (stopped_.load()) return;
    Add(batch, volumes_);
    for (CVolume* v : batch) {
        if (stopped_.load()) break;
        v->FreeSpaceOnly = freeSpaceOnly;
        AnalysisBusy() = 1;
        v->StartSectorAnalysis(0);
        // A Stop that came while the scan was being started did not see it.
        if (stopped_.load()) computer_.StopAnalysis(*v, true);
        while (!v->WaitForWorker(50)) {
        }
    }
    AnalysisBusy() = 0;
}

std::vector<CVolume*> CAnalysisSession::FoundVolumesToAnalyse(CLocalComputer& computer, CVolume& source,
                                                              const std::vector<CVolume*>& analysed,
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

}  // namespace tl
