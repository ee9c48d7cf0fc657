// Drive images: a volume copied sector by sector into a file (".dsk": the
// raw 512-byte sectors from the volume's first one, no header), by a worker
// thread, so that a failing drive is read once and analysed from the copy.
//
// The copy goes in chunks of 4096 sectors through CVolume::ReadSectors. A
// chunk that cannot be read whole is read again in ever smaller pieces down to
// single sectors; what stays unreadable is written as zeros and counted, and
// the copy goes on to the end. The image therefore always has the volume's
// full length, and the log's last line of the job says whether every sector
// was read or how many are missing. A stopped copy or one whose file could
// not be written is not loaded as a volume.
//
// Before anything is written the destination is checked: the image file may
// not be the source itself, nor lie on a file system of the source device,
// and the destination must have room for the whole image and allow a file of
// its size.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/block_devices.h"
#include "platform/files.h"
#include "platform/notify.h"
#include "platform/time.h"

namespace tl {

class CEventLog;
class CLanguages;
class CLocalComputer;
class CVolume;

inline constexpr std::uint64_t kImageChunkSectors = 4096;

enum class ImageOutcome : std::uint32_t {
    NotStarted,
    Refused,          // the destination check said no; nothing was written
    Running,
    Complete,         // every sector read
    SectorsMissing,   // full length, some sectors unreadable and zeros
    Stopped,          // stopped before the end; the file is partial
    Failed,           // the volume could not be opened, or the file not created or written
};

// The system questions the destination check asks, replaceable in tests.
struct ImageDestinationQueries {
    std::function<std::optional<platform::FileIdentity>(const std::filesystem::path&)> identify =
        platform::IdentifyFile;
    std::function<std::optional<platform::FolderSpace>(const std::filesystem::path&, int&)> space =
        platform::SpaceInFolder;
    std::function<std::optional<platform::DeviceNumber>(const std::filesystem::path&)> deviceNumber =
        platform::DeviceNumberOf;
    std::function<std::optional<platform::DeviceNumber>(const std::filesystem::path&)> folderDevice =
        [](const std::filesystem::path& folder) { return platform::DeviceHoldingFolder(folder); };
    std::function<std::optional<platform::DiskExtent>(platform::DeviceNumber)> extent =
        [](platform::DeviceNumber device) { return platform::ExtentOnDisk(device); };
};

// One image job, shared between the one who starts it (the progress dialog,
// the command line) and the worker. The counters are single words written by
// the worker and only displayed by the others.
class CImageCreation {
public:
    // 1 while the worker copies.
    std::atomic<std::uint32_t> Running{0};
    // Where the worker's notifications go (0: the top-level window).
    platform::WindowId Window = 0;
    CVolume* SourceVolume = nullptr;
    // The volume's sectors at the start: the image's length.
    std::atomic<std::uint64_t> SectorTotal{0};
    // The first sector of the chunk being copied; SectorTotal at the end.
    std::atomic<std::uint64_t> Position{0};
    // The image file's full path.
    std::string FileName;
    platform::FileTime StartTime = 0;
    std::atomic<std::uint64_t> StartTick{0};
    CLocalComputer* Computer = nullptr;

    // Sectors that could not be read and are zeros in the image.
    std::atomic<std::uint64_t> UnreadableSectors{0};
    std::atomic<ImageOutcome> Outcome{ImageOutcome::NotStarted};
    // Why the job was refused or failed, as the log says it (empty otherwise).
    std::string Problem;
    ImageDestinationQueries Queries;

    // Asks the worker to end at the next piece it reads; it may not have begun.
    void Stop() { stop_ = true; }
    bool StopRequested() const { return stop_.load(); }
    // Waits until the worker has ended, up to `timeoutMs`. True when it has.
    bool WaitForEnd(std::uint32_t timeoutMs);
    bool Ended() const;

    // 0..100, as far as the copy has got.
    int ProgressPercent() const;
    // The average rate so far in kilobytes a second; 0 before the first chunk.
    std::uint64_t KilobytesPerSecond() const;

    // Checks the destination for `SourceVolume` and `FileName` and fixes
    // SectorTotal. False, with Outcome Refused and Problem logged, when the
    // image cannot be written there.
    bool CheckDestination(CEventLog* log, const CLanguages* texts);

    // The worker's body: copies the volume into the file. 0, or E_FAIL when
    // the volume could not be opened. Posts 32981 after each chunk written,
    // 32982 when the copy cannot begin (the volume does not open, or the
    // file cannot be created: the system's error code second), and 32983
    // when it ends, whatever the outcome. The log's last line of the job
    // names the outcome.
    std::int32_t Copy(CVolume& volume, CEventLog* log, const CLanguages* texts);

    // Called by the worker when it has ended (after its last notification).
    void MarkEnded();

private:
    std::atomic<bool> stop_{false};
    mutable std::mutex endMutex_;
    std::condition_variable endCv_;
    bool ended_ = false;
};

// The image file name offered for `volume`, without folder and extension:
// "Image from drive sdb1", with the label in brackets when there is one;
// a disk is named by its number, other volumes by their display name.
std::string DefaultImageFileName(CVolume& volume, const CLanguages* texts);

}  // namespace tl
