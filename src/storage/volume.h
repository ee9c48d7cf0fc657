// One readable source of sectors: a whole disk, a partition, a region of a
// disk (a virtual drive or a volume found on it), or a drive image file.
// It owns the open device, learns the source's size and geometry, and reads
// 512-byte sectors by number with a time-out and a bounded number of
// attempts. Every reader of raw data goes through ReadSectors; all access is
// read-only.
//
// A volume is also a node of the found-object trees (it begins with the
// fields of a found-object record), so volumes found on a disk hang in the
// disk's tree and in the volume list.
//
// Reads may come from several threads at once (an analysis and a recovery):
// the device is read with positional reads, and opening and closing are
// guarded so that a read in flight keeps its device alive.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <span>
#include <string>
#include <vector>

#include "filesystems/file_system.h"
#include "filesystems/found_object.h"
#include "storage/sector_device.h"

namespace tl {

class AppSettings;
class CEventLog;
class CFoundTree;
class CLanguages;
class IAnalysisJournal;
class SignatureDatabase;
struct PartitionEntry;

enum VolumeKind : std::uint32_t {
    VK_PHYSICAL = 1,  // a whole disk
    VK_LOGICAL = 2,   // a partition or whole-disk file system listed by the system
    VK_VIRTUAL = 4,   // a region of the parent disk
    VK_IMAGE = 8,     // a drive image file
    VK_FOUND = 16,    // a volume found on the parent disk
    VK_PSEUDO = 32,   // a node of the drive tree that opens no device
};

// What a volume needs from the rest of the program. Any pointer may be null
// (tests): then reads use the default retry count, and nothing is logged.
struct VolumeContext {
    const AppSettings* settings = nullptr;
    CEventLog* log = nullptr;
    const CLanguages* texts = nullptr;
    SignatureDatabase* signatures = nullptr;
    // Where volumes seen on this one (by its partition table, or by their
    // boot sectors during a sector scan) are reported: the volume list.
    std::function<void(const CFoundObject&)> addFoundVolume;
    // Where the partitions of its partition table go with their table entry
    // (name, type, number); when unset they go to addFoundVolume.
    std::function<void(const CFoundObject&, const PartitionEntry&)> addPartition = {};
};

struct DiskGeometryRecord {
    std::uint64_t Cylinders = 0;
    std::uint32_t MediaType = 0;
    std::uint32_t TracksPerCylinder = 0;
    std::uint32_t SectorsPerTrack = 0;
    std::uint32_t BytesPerSector = 0;
};

inline constexpr std::uint8_t kPartitionStyleMbr = 0;
inline constexpr std::uint8_t kPartitionStyleGpt = 1;

// One partition as its table describes it: of a disk's layout, or of a
// partition or found volume, its own (entry 0).
struct PartitionEntry {
    std::uint64_t StartingOffset = 0;  // bytes from the start of the disk (of the parent, for found volumes)
    std::uint64_t PartitionLength = 0;
    std::uint32_t HiddenSectors = 0;
    std::uint32_t PartitionNumber = 0;
    std::uint8_t PartitionType = 0;  // MBR type byte
    std::uint8_t BootIndicator = 0;
    std::uint8_t RecognizedPartition = 0;
    std::uint8_t RewritePartition = 0;
    std::uint8_t PartitionStyle = kPartitionStyleMbr;
    // GUID partition tables only.
    std::array<std::uint8_t, 16> PartitionTypeGuid{};
    std::array<std::uint8_t, 16> PartitionId{};
    std::uint64_t GptAttributes = 0;
    std::string Name;  // UTF-8, made fit to show
};

struct DriveLayoutRecord {
    std::uint32_t PartitionCount = 0;
    std::uint32_t Signature = 0;
    std::array<PartitionEntry, 4> Entries{};
};

struct DeviceNumberRecord {
    std::uint32_t DeviceType = 0xFFFFFFFF;
    std::uint32_t DeviceNumber = 0xFFFFFFFF;
    std::uint32_t PartitionNumber = 0xFFFFFFFF;
};

inline constexpr std::int32_t kVolumeNotReady = static_cast<std::int32_t>(0x80004005);  // E_FAIL
inline constexpr std::uint32_t kDefaultReadTimeoutMs = 10000;
inline constexpr std::uint64_t kSectorBytes = 512;

class CVolume : public CFoundObject, public std::enable_shared_from_this<CVolume> {
public:
    // The id of the drive tree's root node, the parent of every volume.
    static constexpr std::uint64_t kDriveTreeRootId = static_cast<std::uint64_t>(-12);
    // Volumes found inside found volumes nest only as deep as someone
    // analyses them; a walk up the parents never goes further than this.
    static constexpr int kMaxNesting = 64;

    CVolume(VolumeKind kind, VolumeContext context);
    ~CVolume();
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    // Opens the source read-only (the parent's device for regions and found
    // volumes). False, with the failure logged, when it cannot be opened.
    bool OpenDrive();
    // Why the last opening failed ("not authorised to read ..."), empty once open.
    std::string OpenProblem() const;
    void Close();
    bool IsOpen() const;

    // Reads `sectorCount` 512-byte sectors from `firstSector` (relative to the
    // volume) into `buffer`, which must hold them all. Returns the bytes read:
    // the whole request, a short count when the source ends or stays short
    // through every attempt, or 0 on failure. Unread bytes are zero.
    std::uint32_t ReadSectors(void* buffer, std::uint64_t firstSector, std::uint64_t sectorCount);
    // The same, with the count given as a signed 32-bit value.
    std::uint32_t ReadSectors(void* buffer, std::uint64_t firstSector, std::int32_t sectorCount);

    // The wait of one read of `sectorCount` sectors: 10 s, or 2 ms a sector
    // above 3000 sectors.
    static std::uint32_t ReadTimeoutMs(std::uint64_t sectorCount);

    const std::string& GetDevicePath();
    // The display name: a disk's description, "sdb1 (LABEL)", "Volume at: N"
    // for regions, the file name of an image.
    std::string GetName() const;
    CVolume* GetParent() const { return Parent == this ? nullptr : Parent; }

    // Size and geometry: of an image from its file size, of devices from the
    // system. Sets State to 1 (ready) or not ready.
    void QueryInformation();

    // Reads the first two sectors into BootSector and learns the file system,
    // cluster size, serial, label and size from them; a volume without a
    // recognised boot sector has its partition table walked. 1, or E_FAIL
    // when fewer than 512 bytes could be read.
    std::int32_t Analyse_Boot();
    std::uint32_t ReadBoot();
    // Reads the partition table at `sector` and reports every partition to
    // the volume list, walking extended partitions (bounded, loops refused).
    void ProcessPartitionTable(std::uint32_t sector);

    // The file system's name; "Unknown" is first named again from the type
    // code (or from the boot sector when there is none).
    std::string GetFileSystemName();

    // The analysis stages, run on a worker thread of the volume (at idle
    // priority, stopped cooperatively: no thread is ever killed).
    std::int32_t Analyse_Do();
    void AnalyseFileSystem();
    // The sector stage: every sector tested against the enabled file types.
    // `mode` 1 looks for lost volumes only.
    void AnalyseSectors();
    void StartSectorAnalysis(std::uint32_t mode);
    void StartFileSystemAnalysis();
    // Sets the busy flag for a stage, unless a stop was asked meanwhile.
    void BecomeBusy();
    // Asks the running stage to end and waits up to 1 s for the worker.
    int Stop();
    // A stop asked of this volume's analysis, kept until the next analysis
    // is asked for: a worker that had not begun yet when the stop came sees
    // it, where the busy flag it sets itself would hide it.
    void RequestStop() { stopRequested_ = true; }
    void ClearStopRequest() { stopRequested_ = false; }
    bool StopRequested() const { return stopRequested_.load(); }
    // Called by the worker itself when its work is done.
    void EndWorker();
    // A cooperative pause of the worker (media removed and returned).
    void SuspendWorker() { paused_ = true; }
    void ResumeWorker();
    bool IsPaused() const { return paused_.load(); }
    bool IsWorkerRunning() const { return workerRunning_.load(); }
    // Where stage loops wait while the worker is paused; false when the
    // analysis was stopped meanwhile.
    bool PausePoint();
    // Starts `body` on the volume's worker thread (the previous worker, which
    // has ended, is joined first). False when a worker still runs.
    bool StartWorker(std::function<void()> body, const char* failureLine);
    // Waits for the worker to end, up to `timeoutMs`; true when it ended.
    bool WaitForWorker(std::uint32_t timeoutMs);

    // Sets FO_SIGNATURE_MATCH: a boot sector the sector scan met confirms
    // the volume.
    void MarkConfirmed();

    // The entry by which the file-system parsers add what they find: the
    // record goes to the tree, belongs to this volume and is counted.
    CFoundObject* AddFileSystemObject(const CFoundObject& record);

    // The entry by which the sector scan hands over what it recognises: boot
    // sectors become found volumes, MFT records go to the NTFS parser, files
    // go to the tree as signature-found files. Returns the stored record of a
    // file, or null.
    CFoundObject* OnObjectFound(CFoundObject& object);

    // Sectors of this volume (relative to it) that a volume inside it scans
    // on its own: a partition analysed in its own volume, or a volume the
    // sector stage found. This volume's sector stage reads around them, and
    // a file found in them is left to that volume. Safe from any thread.
    void ClaimSectors(std::uint64_t first, std::uint64_t count);
    // The end of the claimed range that holds `sector`, or 0 when it is not
    // claimed; `nextStart` receives the first claimed sector after it (all
    // ones when there is none).
    std::uint64_t ClaimedEnd(std::uint64_t sector, std::uint64_t* nextStart = nullptr) const;
    void ClearClaims();
    // Whether `sector` lies in the space a live file (or the file system
    // itself) holds, as the file-system stage reported it: a signature found
    // there is that file's content, not a lost file.
    bool InUsedSpace(std::uint64_t sector) const;
    // Sorts and merges the file system's used space for InUsedSpace, once
    // the parser has reported it (or it was loaded from a scan file).
    void BuildUsedIndex();
    // Whether any sector of `run` lies in that space.
    bool OverlapsUsedSpace(const SECTOR_RUN& run) const;
    // The sectors the file system leaves free, as its stage reported them;
    // unset while no file system was read. Not while a stage runs.
    std::optional<std::uint64_t> FreeSectorCount() const;

    std::uint64_t SectorsToClusters(std::uint64_t sectors) const;
    std::uint64_t ClustersToSectors(std::uint64_t clusters) const;

    // Replaces the device (tests and in-memory sources). Opening then uses it.
    void SetDevice(std::shared_ptr<ISectorDevice> device);

    const VolumeContext& Context() const { return context_; }
    CFileSystem& FileSystem() { return *fileSystem_; }
    void SetFileSystem(std::unique_ptr<CFileSystem> fileSystem);
    CFoundTree& FoundTree() { return *foundTree_; }

    // Fields, as the rest of the program reads them.
    std::array<std::uint8_t, 1024> BootSector{};
    CVolume* Parent = this;
    std::vector<CVolume*> Children;
    VolumeKind Kind;
    // 2 removable, 3 fixed, 5 CD/DVD, 7 image file, 0 found volumes.
    std::uint32_t DriveType = 0;
    std::string Description;
    std::string Label;
    std::string DevicePath;
    std::string RootPath;
    std::uint8_t Letter = 0;  // a disk's number for VK_PHYSICAL
    std::atomic<std::int32_t> State{kVolumeNotReady};
    std::atomic<std::uint64_t> ProgressPos{0};
    std::atomic<std::uint64_t> ProgressEnd{0};
    std::uint64_t FreeBytes = 0;
    std::uint32_t SerialNumber = 0;
    std::uint32_t SerialNumberHigh = 0;
    std::uint64_t TotalSectors = 0;
    std::uint64_t TotalClusters = 0;
    std::uint64_t VolumeOffset = 0;
    DiskGeometryRecord Geometry;
    DriveLayoutRecord Layout;
    DeviceNumberRecord DeviceNumber;
    std::uint32_t SectorsPerCluster = 1;
    std::uint32_t BytesPerSector = 512;
    std::uint32_t ClusterSize = 512;
    std::atomic<std::uint32_t> FsFolders{0}, FsFiles{0}, ScanFolders{0}, ScanFiles{0};
    // Reads that failed for good (after their retries) since the volume was listed.
    std::atomic<std::uint32_t> ReadErrors{0};
    std::atomic<std::uint32_t> ScanMode{0};
    // The sector stage reads only what the file system leaves unallocated.
    std::atomic<bool> FreeSpaceOnly{false};
    // Whether the full analysis goes on with the sector stage in this run
    // (0 or 1); -1 follows the saved setting.
    std::atomic<int> SectorsThisRun{-1};
    std::atomic<std::uint32_t> HasNewObjects{0};
    // A volume that the sector stage finds (by its boot sector) claims its
    // sectors here, to be analysed in a volume of its own.
    std::atomic<bool> LeaveFoundVolumesToOwnScan{false};
    // What the file-system stage made of the volume, for the front ends.
    enum class FsOutcome : std::uint32_t {
        NotAnalysed = 0,
        Read,            // a FAT, exFAT or NTFS file system was read
        PartitionTable,  // a partition table: its volumes are analysed on their own
        NotRead,         // a file system this program does not read (ProbedFileSystem names it)
        NoFileSystem,    // nothing recognised
    };
    std::atomic<FsOutcome> FileSystemOutcome{FsOutcome::NotAnalysed};
    // The file system that libblkid recognised where none is read ("ext4").
    std::string ProbedFileSystem;
    // The volumes the partition table listed at the last boot analysis.
    std::atomic<std::uint32_t> PartitionsListed{0};
    std::atomic<std::uint32_t> SectorScanRunning{0};
    // The keeper of this volume's scan file, set on the source of a run that
    // is kept; null: nothing is kept.
    std::atomic<IAnalysisJournal*> Journal{nullptr};
    // The journal of this volume or of the nearest volume it lies on.
    IAnalysisJournal* JournalOf() const;

private:
    // The volume's own record is a node of its tree and, for a volume on a
    // disk, of the disk's: readers on other threads read it there under the
    // tree's lock, so its fields change only with both trees locked.
    template <class F>
    void ChangeRecord(F&& change);
    // Stores a size learnt again (only when it changed).
    void SetRecordSize(std::uint64_t size);
    // Says why a FAT volume was taken for its type by its boot parameters.
    void LogFatTypeByParameters(const CFileSystem::BootClass& boot);
    // Walks the MBR-style table in block `block` (blocks of `blockBytes`).
    void ProcessTableAt(std::uint64_t block, std::uint64_t extendedStart, int depth,
                        std::vector<std::uint64_t>& visited, std::uint32_t blockBytes);
    // The GUID partition table of a disk whose first sector is `mbr` (null
    // when it holds no MBR): true when it was read and its partitions were
    // reported, so the MBR's own entries do not count.
    bool ProcessGuidPartitionTable(const std::array<std::uint8_t, 512>* mbr);
    // The block size in which the MBR `mbr` counts its sectors.
    std::uint32_t MbrBlockBytes(const std::array<std::uint8_t, 512>& mbr);
    // The logical sector size of the device, as the tables on it count.
    std::uint32_t DeviceBlockBytes() const;
    void ReportPartition(const CFoundObject& record, const PartitionEntry& entry);
    std::shared_ptr<ISectorDevice> AcquireDevice();
    std::shared_ptr<ISectorDevice> EnsureDevice();
    // The ranges the file system leaves free, as its stage reported them.
    std::vector<SECTOR_RUN> FreeRanges() const;
    static std::uint64_t SectorsIn(const std::vector<SECTOR_RUN>& ranges);
    // Logs a read that failed for good and counts it in ReadErrors.
    void LogReadFailure(std::uint64_t position, std::uint64_t attempt, int error);

    VolumeContext context_;
    std::unique_ptr<CFileSystem> fileSystem_;
    std::unique_ptr<CFoundTree> foundTree_;
    mutable std::mutex deviceMutex_;
    std::shared_ptr<ISectorDevice> device_;
    std::string openProblem_;
    std::shared_ptr<ISectorDevice> injected_;

    std::thread worker_;
    std::atomic<std::thread::id> workerId_{};
    std::atomic<bool> workerRunning_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> stopRequested_{false};
    // A source shorter than its structures say is logged at its first short read only.
    std::atomic<bool> shortReadLogged_{false};
    std::mutex workerMutex_;
    mutable std::mutex claimsMutex_;
    std::vector<SECTOR_RUN> claims_;  // sorted by first sector, not overlapping
    // The file system's used space, sorted and merged, for InUsedSpace.
    std::vector<SECTOR_RUN> usedIndex_;
    // The log line (and FileSystemOutcome) of a volume whose file system is
    // not read: a partition table, another program's file system, or nothing.
    void SayWhatIsNotRead();
    static constexpr std::uint64_t kProbeBytes = 1 << 20;
    std::condition_variable workerCv_;
};

}  // namespace tl
