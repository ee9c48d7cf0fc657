// The computer object: owner of the event log, the signature database, the
// view filter and the list of drives and volumes (and, as the program grows,
// of the recovery engines). One exists for the whole run, created at
// start-up after the settings were loaded.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/filter_settings.h"
#include "recovery/recovery.h"
#include "platform/device_monitor.h"
#include "signatures/signature_database.h"
#include "storage/volume.h"
#include "storage/volumes_list.h"

namespace tl {

class CImageCreation;
class CLanguages;

class CLocalComputer {
public:
    CLocalComputer(AppSettings& settings, platform::SettingsStore& store, const std::string& settingsRoot,
                   const CLanguages& texts, CEventLog::WindowSource logWindow, CEventLog::Options logOptions = {});
    ~CLocalComputer();
    CLocalComputer(const CLocalComputer&) = delete;
    CLocalComputer& operator=(const CLocalComputer&) = delete;

    CEventLog& Log() { return log_; }
    SignatureDatabase& Signatures() { return signatures_; }
    CVolumesList& Volumes() { return volumes_; }
    const CLanguages* Texts() const { return texts_; }
    const AppSettings& Settings() const { return settings_; }
    // The view filter: the defaults at every start (they are written to the
    // store only when its Filter key does not exist yet).
    FilterSettings& Filter() { return filter_; }
    const FilterSettings& Filter() const { return filter_; }

    // Ids of every volume the program creates, taken from the process-wide
    // counter of synthetic ids (-65537, -65538, ...) that also names records
    // without an id of their own and the signature groups: a volume's id is
    // never the id of a record of its tree.
    std::int64_t NewVolumeId();
    // A volume of `kind` wired to this computer (settings, log, texts,
    // signatures, found-volume reports), with a new id and the volume flag.
    std::unique_ptr<CVolume> MakeVolume(VolumeKind kind);

    // "My Computer" (the root of the drive tree) and the Recycle Bin node.
    CVolume& MyComputer() { return *myComputer_; }
    CVolume& RecycleBin() { return *recycleBin_; }

    // Loads a drive image as a volume of the list; null when it cannot be opened.
    CVolume* LoadImage(const std::string& path);
    // The volume of an image file or of a listed block device (the list is
    // refreshed first), its device open; null, with the reason in `error`
    // (udisks2's refusal for a disk the user may not open), when it cannot be read.
    CVolume* OpenSource(const std::string& path, std::string& error);
    // A volume seen on a listed volume: confirms an existing one or adds a
    // found volume to the list (and to its disk's tree). `partition` is the
    // entry of the partition table that listed it, when one did.
    void AddFoundVolume(const CFoundObject& record, const PartitionEntry* partition = nullptr);

    // Before a recovery from `source` into `destination`: when the
    // destination's file system lives on the device the source is read from
    // (or, for a whole disk, on one of its partitions), asks whether to pick
    // another folder. 1: another drive (or a folder on one was picked);
    // 0: the same drive, and the recovery goes ahead there; -1: another
    // folder was wanted but none was picked.
    int CheckDestination(const CVolume& source, std::string& destination);
    // The engine that opens found files through temporary copies.
    CRecovery& Opening() { return *opening_; }
    // Where `inner` (a partition or a volume found on `outer`'s device) lies
    // in `outer`, in 512-byte sectors relative to `outer`; nullopt when it
    // does not lie in it.
    static std::optional<SECTOR_RUN> ExtentIn(const CVolume& outer, const CVolume& inner);
    // The question's ground: whether `destination` lies on the source's device.
    static bool DestinationOnSource(const CVolume& source, const std::string& destination);
    // Analysis requests. A request while another analysis runs only queues
    // the volume; the front end starts the next queued volume when it hears
    // that an analysis finished.
    void AnalyseVolume(CVolume& volume);
    // Starts the first queued volume when nothing is busy and the worker of
    // its last analysis has ended; the volume is the one still queued, read
    // under the queue's lock, so a volume whose analysis has just ended is
    // never queued again. Returns the volume started, or null.
    CVolume* StartFirstQueued();
    // 1 when stopped, 0 when the user declined the confirmation.
    int StopAnalysis(CVolume& volume, bool silent);
    void AnalysisFinished(CVolume& volume);
    std::vector<CVolume*> AnalysisQueue() const;
    CVolume* CurrentVolume() const { return currentVolume_.load(); }
    CVolume* LastVolume() const { return lastVolume_.load(); }
    // Makes `volume` the current volume of the computer that made it (and
    // its last started one when `started`): a stage started on the volume
    // itself reports here, as a volume does not know its computer. Nothing
    // happens for a volume no computer made.
    static void SetCurrentVolumeOf(CVolume& volume, bool started);

    // Drive images. Checks the destination of `job` (its SourceVolume and
    // FileName set) and starts the copy on a worker thread at low priority.
    // False when the destination was refused (the job's Problem says why) or
    // no thread could be started.
    bool StartImageCreation(const std::shared_ptr<CImageCreation>& job);
    // The worker's body: 0, or E_FAIL when the volume cannot be opened.
    std::int32_t CreateImage(CImageCreation& job, CVolume& volume);
    // The image of a job that has ended, loaded as a volume of the list; null
    // when the copy did not reach the volume's end (stopped or failed).
    CVolume* LoadCreatedImage(const CImageCreation& job);

    // Media arrival and removal of listed devices.
    void OnDeviceChange(const platform::DeviceEvent& event);
    // Watches block devices on a thread of its own and hands every event to
    // OnDeviceChange. False, with the reason, where the system allows no watch.
    bool StartDeviceMonitor(std::string* whyNot = nullptr);

private:
    // The worker of a full analysis of `v`; AnalysisBusy is set.
    void StartAnalysisWorker(CVolume& v);
    bool Holds(const CVolume& volume) const;
    struct ImageWorker {
        std::thread thread;
        std::shared_ptr<CImageCreation> job;
    };
    // Asks every image worker to stop and waits for them: they read volumes
    // of the list.
    void StopImageWorkers();

    AppSettings& settings_;
    const CLanguages* texts_;
    CEventLog log_;
    SignatureDatabase signatures_;
    std::unique_ptr<CRecovery> opening_;
    FilterSettings filter_;
    std::atomic<CVolume*> currentVolume_{nullptr};
    std::atomic<CVolume*> lastVolume_{nullptr};
    mutable std::mutex queueMutex_;
    std::vector<CVolume*> analysisQueue_;
    std::unique_ptr<CVolume> myComputer_;
    std::unique_ptr<CVolume> recycleBin_;
    CVolumesList volumes_;
    std::mutex imageMutex_;
    std::vector<ImageWorker> imageWorkers_;
    platform::BlockDeviceMonitor monitor_;  // last: stopped first
};

}  // namespace tl
