// One analysis run as a front end asks for it: the source opened, the
// stages asked for, the volumes of its partition table and the volumes its
// sector stage finds analysed in turn, the stop, and how long it took. The
// command line and the desktop program both drive analyses through it, so
// the order of the stages lives here once.
//
// The run's choices (whether the sector stage follows, free space only)
// are given to the volumes for this run: the saved settings are not
// touched. One run at a time in the process: the run owns AnalysisBusy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tl {

class CLocalComputer;
class CVolume;

enum class AnalysisStages : std::uint8_t {
    FileSystem,            // the file system of the source and of each volume of its table
    FileSystemAndSectors,  // then every sector, for lost files and lost volumes
    FreeSpaceOnly,         // then only the sectors the file system leaves free
    SectorsOnly,           // every sector of the source, without its file system
    LostVolumes,           // every sector for boot sectors only; then the file systems of what was found
    // The sector stage alone of the source and each volume of its table,
    // after a run of FileSystem: what their file systems gave stays, and
    // the free space is what they left free.
    SectorStage,
    FreeSpaceSectorStage,  // the same, reading only the free space
};

class CAnalysisSession {
public:
    explicit CAnalysisSession(CLocalComputer& computer);
    // A run still going is stopped and waited for.
    ~CAnalysisSession();
    CAnalysisSession(const CAnalysisSession&) = delete;
    CAnalysisSession& operator=(const CAnalysisSession&) = delete;

    // The volume of an image file or of a listed block device (the list is
    // refreshed first); null, with the reason in `error`, when it cannot be read.
    CVolume* OpenSource(const std::string& path, std::string& error);
    // Starts the run on a thread of its own. False when an analysis runs
    // already in this process, or this session's run has not ended.
    bool Start(CVolume& source, AnalysisStages stages);
    // Asks the run to stop: the stage running ends at its next block or
    // record, and no further volume is started. What was found stays.
    void Stop();
    // Waits up to `timeoutMs` for the run's end; true when it has ended (or
    // none was started).
    bool Wait(std::uint32_t timeoutMs);
    bool Running() const { return running_.load(); }
    bool Stopped() const { return stopped_.load(); }

    // The volumes whose analysis the run started, in order: the source (for
    // LostVolumes only when it holds no lost volume), the volumes of its
    // table, then those the sector stage found.
    std::vector<CVolume*> Volumes() const;
    // The lost volumes the sector stage found on the source.
    std::vector<CVolume*> FoundVolumes() const;
    // Milliseconds from Start to the end (or until now while it runs).
    std::uint64_t Milliseconds() const;

    // The volumes found on `source` that are not in `seen` yet: each is added
    // to `seen`; those lying inside a volume of `analysed` other than the
    // source are only logged; the rest are returned, to be analysed.
    static std::vector<CVolume*> FoundVolumesToAnalyse(CLocalComputer& computer, CVolume& source,
                                                       const std::vector<CVolume*>& analysed, std::vector<CVolume*>& seen);

private:
    void Run(CVolume& source, AnalysisStages stages);
    // `fileSystems` false: the sector stage only, of volumes whose file
    // systems were read by an earlier run.
    void AnalyseWhole(CVolume& source, bool sectors, bool freeSpaceOnly, bool fileSystems = true);
    void FindLostVolumes(CVolume& source, std::uint32_t mode);
    // Analyses the volumes of `batch` one after the other, as the queue
    // starts them, and waits for the last.
    void AnalyseInTurn(const std::vector<CVolume*>& batch, bool sectors, bool freeSpaceOnly);
    // The sector stage of each volume of `batch`, one after the other.
    void ScanSectorsInTurn(const std::vector<CVolume*>& batch, bool freeSpaceOnly);
    void Add(const std::vector<CVolume*>& volumes, std::vector<CVolume*>& to);

    CLocalComputer& computer_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<CVolume*> volumes_;
    std::vector<CVolume*> found_;
    std::uint64_t startedMs_ = 0, endedMs_ = 0;
};

}  // namespace tl
