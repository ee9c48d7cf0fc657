// The computer object: owner of the event log, the signature database and
// the list of drives and volumes (and, as the program grows, of the recovery
// engines and the view filter). One exists for the whole run, created at
// start-up after the settings were loaded.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
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

    // Ids of every volume the program creates: -65537, -65538, ...
    std::int64_t NewVolumeId();
    // A volume of `kind` wired to this computer (settings, log, texts,
    // signatures, found-volume reports), with a new id and the volume flag.
    std::unique_ptr<CVolume> MakeVolume(VolumeKind kind);

    // "My Computer" (the root of the drive tree) and the Recycle Bin node.
    CVolume& MyComputer() { return *myComputer_; }
    CVolume& RecycleBin() { return *recycleBin_; }

    // Loads a drive image as a volume of the list; null when it cannot be opened.
    CVolume* LoadImage(const std::string& path);
    // A volume seen on a listed volume: confirms an existing one or adds a
    // found volume to the list (and to its disk's tree).
    void AddFoundVolume(const CFoundObject& record);
    // Analysis requests. A request while another analysis runs only queues
    // the volume; the front end starts the next queued volume when it hears
    // that an analysis finished.
    void AnalyseVolume(CVolume& volume);
    // 1 when stopped, 0 when the user declined the confirmation.
    int StopAnalysis(CVolume& volume, bool silent);
    void AnalysisFinished(CVolume& volume);
    std::vector<CVolume*> AnalysisQueue() const;
    CVolume* CurrentVolume() const { return currentVolume_.load(); }
    CVolume* LastVolume() const { return lastVolume_.load(); }

    // Drive images. Checks the destination of `job` (its SourceVolume and
    // FileName set) and starts the copy on a worker thread at idle priority.
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
    std::atomic<std::int64_t> nextVolumeId_{-65536};
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
