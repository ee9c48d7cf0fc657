#include "storage/volume.h"

#include <algorithm>

#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/read_only_file.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr std::uint32_t kDefaultRetryCount = 3;
constexpr std::uint64_t kLargeRequestSectors = 3000;
constexpr std::uint32_t kTimeoutMsPerSector = 2;
// ReadSectors answers in 32 bits: larger requests are refused.
constexpr std::uint64_t kMaxRequestSectors = std::numeric_limits<std::uint32_t>::max() / kSectorBytes;
constexpr int kTimedOutError = 110;  // the system's "connection timed out", for the log line

}  // namespace

CVolume::CVolume(VolumeKind kind, VolumeContext context)
    : Kind(kind),
      context_(context),
      fileSystem_(std::make_unique<CFileSystem>()),
      foundTree_(std::make_unique<CFoundTree>(this, context.signatures, context.texts)) {
    Init();
    ParentId = kDriveTreeRootId;
    Size = 0;
    Volume = this;
}

CVolume::~CVolume() {
    // A worker still running is asked to stop and then waited for: it reads
    // this volume.
    if (worker_.joinable()) {
        paused_ = false;
        workerCv_.notify_all();
        worker_.join();
    }
    Close();
    foundTree_->Clear();
}

void CVolume::SetDevice(std::shared_ptr<ISectorDevice> device) {
    std::lock_guard lock(deviceMutex_);
    injected_ = std::move(device);
    device_.reset();
}

void CVolume::SetFileSystem(std::unique_ptr<CFileSystem> fileSystem) {
    if (fileSystem) fileSystem_ = std::move(fileSystem);
}

bool CVolume::IsOpen() const {
    std::lock_guard lock(deviceMutex_);
    return device_ != nullptr;
}

std::shared_ptr<ISectorDevice> CVolume::AcquireDevice() {
    std::lock_guard lock(deviceMutex_);
    return device_;
}

bool CVolume::OpenDrive() { return EnsureDevice() != nullptr; }

std::string CVolume::OpenProblem() const {
    std::lock_guard lock(deviceMutex_);
    return openProblem_;
}

std::shared_ptr<ISectorDevice> CVolume::EnsureDevice() {
    std::string path;
    {
        std::lock_guard lock(deviceMutex_);
        if (device_) return device_;
        if (injected_) {
            device_ = injected_;
            return device_;
        }
    }
    switch (Kind) {
    case VK_PHYSICAL:
    case VK_LOGICAL:
    case VK_IMAGE:
        path = DevicePath;
        break;
    case VK_VIRTUAL:
    case VK_FOUND:
        if (CVolume* parent = GetParent()) {
            // A region is read through its parent's device, at its offset.
            if (auto shared = parent->EnsureDevice()) {
                std::lock_guard lock(deviceMutex_);
                device_ = shared;
                return shared;
            }
            path = parent->DevicePath;
            break;
        }
        return nullptr;
    default:
        return nullptr;  // pseudo-volumes open nothing
    }
    int error = 0;
    std::string problem;
    std::unique_ptr<ISectorDevice> device = path.empty() ? nullptr : OpenFileSectorDevice(path, error, &problem);
    if (!device) {
        if (problem.empty()) problem = platform::ErrorText(error ? error : 2);
        if (context_.log) context_.log->LogError(FormatMessageText(context_.texts, ids::kCantOpenVolume, path, problem));
        std::lock_guard lock(deviceMutex_);
        openProblem_ = std::move(problem);
        return nullptr;
    }
    std::lock_guard lock(deviceMutex_);
    openProblem_.clear();
    if (!device_) device_ = std::move(device);
    return device_;
}

void CVolume::Close() {
    std::shared_ptr<ISectorDevice> taken;
    std::lock_guard lock(deviceMutex_);
    // A read in flight keeps its own reference; the device closes after it.
    taken = std::move(device_);
}

std::uint32_t CVolume::ReadTimeoutMs(std::uint64_t sectorCount) {
    if (sectorCount > kLargeRequestSectors) return static_cast<std::uint32_t>(sectorCount * kTimeoutMsPerSector);
    return kDefaultReadTimeoutMs;
}

void CVolume::LogReadFailure(std::uint64_t position, std::uint64_t attempt, int error) {
    ++ReadErrors;
    if (!context_.log) return;
    context_.log->LogError(
        FormatMessageText(context_.texts, ids::kVolumeReadFailed, GetName(), position, static_cast<int>(attempt)) +
        FormatMessageText(context_.texts, ids::kWindowsErrorSuffix, error));
}

std::uint32_t CVolume::ReadSectors(void* buffer, std::uint64_t firstSector, std::int32_t sectorCount) {
    return ReadSectors(buffer, firstSector, static_cast<std::uint64_t>(static_cast<std::int64_t>(sectorCount)));
}

std::uint32_t CVolume::ReadSectors(void* buffer, std::uint64_t firstSector, std::uint64_t sectorCount) {
    if (sectorCount == 0 || buffer == nullptr) return 0;
    if (sectorCount > kMaxRequestSectors || firstSector > (std::numeric_limits<std::uint64_t>::max() - VolumeOffset) / kSectorBytes) {
        if (context_.log)
            context_.log->LogError(FormatMessageText(context_.texts, ids::kReadTooLarge, GetName(),
                                                     static_cast<std::int64_t>(sectorCount),
                                                     static_cast<std::int64_t>(firstSector)));
        return 0;
    }
    // The reference keeps the device open for this read, whatever another
    // thread closes meanwhile.
    const std::shared_ptr<ISectorDevice> device = EnsureDevice();
    if (!device) return 0;

    const std::uint64_t position = firstSector * kSectorBytes + VolumeOffset;
    const auto bytes = static_cast<std::size_t>(sectorCount * kSectorBytes);
    const std::span<std::uint8_t> out(static_cast<std::uint8_t*>(buffer), bytes);
    const std::uint32_t timeout = ReadTimeoutMs(sectorCount);
    const std::uint32_t retries = context_.settings ? context_.settings->RetryCount() : kDefaultRetryCount;
    const std::uint32_t pauseMs = context_.settings ? context_.settings->RetryPauseMs() : 0;
    const auto logTimeout = [&](std::uint64_t retry) {
        if (context_.log)
            context_.log->LogError(FormatMessageText(context_.texts, ids::kVolumeReadTimeout, GetName(), position,
                                                     static_cast<int>(retry)));
    };

    std::uint64_t lastShort = 0;
    for (std::uint64_t i = 0; i <= retries; ++i) {
        // The pause between attempts: only after an attempt came back short.
        if (i > 0 && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        // The buffer holds zeros wherever nothing was read: a failed read
        // clears it whole, a short one its tail (a full one needs nothing,
        // which keeps large reads as cheap as the read itself).
        std::unique_ptr<IPendingRead> pending;
        DeviceReadResult r = device->Read(position, out, pending);
        if (r.state == DeviceReadResult::State::Failed) {
            std::memset(buffer, 0, bytes);
            LogReadFailure(position, i + 1, r.error);
            return 0;
        }
        if (r.state == DeviceReadResult::State::Pending) {
            if (!pending) {
                std::memset(buffer, 0, bytes);
                return 0;
            }
            std::uint64_t j = i;
            bool signalled = pending->Wait(timeout);
            while (!signalled) {
                ++j;
                logTimeout(j + 1);
                if (j > retries) break;
                signalled = pending->Wait(timeout);
            }
            if (!signalled) {
                pending->Cancel();
                std::memset(buffer, 0, bytes);
                LogReadFailure(position, i + 1, kTimedOutError);
                return 0;
            }
            r = pending->Finish();
            if (r.state != DeviceReadResult::State::Done) {
                std::memset(buffer, 0, bytes);
                LogReadFailure(position, i + 1, r.error);
                return 0;
            }
        }
        if (r.bytes >= bytes) return static_cast<std::uint32_t>(bytes);
        // A short read: try again; the source may only have ended here.
        lastShort = r.bytes;
        std::memset(static_cast<std::uint8_t*>(buffer) + r.bytes, 0, bytes - r.bytes);
    }
    if (context_.log && !shortReadLogged_.exchange(true))
        context_.log->LogError(
            FormatMessageText(context_.texts, ids::kSourceEndsShort, GetName(), bytes, position, lastShort));
    return static_cast<std::uint32_t>(lastShort);
}

IAnalysisJournal* CVolume::JournalOf() const {
    const CVolume* v = this;
    for (int depth = 0; v && depth <= kMaxNesting; ++depth, v = v->GetParent())
        if (IAnalysisJournal* journal = v->Journal.load()) return journal;
    return nullptr;
}

const std::string& CVolume::GetDevicePath() {
    if ((Kind == VK_VIRTUAL || Kind == VK_FOUND) && GetParent()) {
        DevicePath = GetParent()->GetDevicePath();
        RootPath.clear();
    }
    return DevicePath;
}

std::string CVolume::GetName() const {
    switch (Kind) {
    case VK_PHYSICAL:
        return Description;
    case VK_LOGICAL: {
        std::string name = DevicePath.substr(DevicePath.rfind('/') == std::string::npos ? 0 : DevicePath.rfind('/') + 1);
        const std::string_view label = platform::TrimChars(Label, " ");
        // The file system's label, and the partition's name of its table
        // when it says something else.
        std::string shown(label);
        const std::string& partition = Layout.Entries[0].Name;
        if (!partition.empty() && !platform::EqualsIgnoreAsciiCase(partition, shown))
            shown += (shown.empty() ? "" : ", ") + partition;
        if (!shown.empty()) name += " (" + shown + ")";
        return name;
    }
    case VK_VIRTUAL:
    case VK_FOUND: {
        std::string name = FormatMessageText(context_.texts, ids::kVolumeAt, static_cast<std::int64_t>(VolumeOffset));
        if (!Layout.Entries[0].Name.empty()) name += " (" + Layout.Entries[0].Name + ")";
        return name;
    }
    case VK_IMAGE: {
        const auto slash = DevicePath.rfind('/');
        return slash == std::string::npos ? DevicePath : DevicePath.substr(slash + 1);
    }
    default:
        return CFoundObject::GetName();
    }
}

void CVolume::QueryInformation() {
    State = 0;
    const std::shared_ptr<ISectorDevice> device = EnsureDevice();
    if (!device) {
        State = kVolumeNotReady;
        return;
    }
    const std::uint64_t deviceSize = device && device->Size() ? *device->Size() : 0;
    // The size is learnt before the boot sector: the partition-table walk
    // skips partitions that start beyond the volume.
    if ((Kind == VK_PHYSICAL || Kind == VK_LOGICAL || Kind == VK_IMAGE) && deviceSize) {
        Size = deviceSize;
        TotalSectors = Size / kSectorBytes;
    }
    // So is the logical sector size: the partition tables count in it.
    if ((Kind == VK_PHYSICAL || Kind == VK_LOGICAL) && device->Descriptor() >= 0)
        if (const auto bps = platform::BlockDeviceSectorSize(device->Descriptor()); bps && *bps) BytesPerSector = *bps;
    Analyse_Boot();
    switch (Kind) {
    case VK_IMAGE:
        Size = deviceSize;
        BytesPerSector = 512;
        ClusterSize = 512;
        SectorsPerCluster = 1;
        TotalSectors = Size / kSectorBytes;
        TotalClusters = Size / ClusterSize;
        State = 1;
        break;
    case VK_PHYSICAL:
    case VK_LOGICAL: {
        // The size is the device's own, never cylinders x heads x sectors,
        // which would cut off the end of the disk.
        Size = deviceSize;
        const int fd = device ? device->Descriptor() : -1;
        if (fd >= 0) {
            if (const auto bps = platform::BlockDeviceSectorSize(fd); bps && *bps) BytesPerSector = *bps;
            if (const auto g = platform::GetGeometry(fd)) {
                Geometry.Cylinders = g->cylinders;
                Geometry.TracksPerCylinder = g->tracksPerCylinder;
                Geometry.SectorsPerTrack = g->sectorsPerTrack;
                Geometry.BytesPerSector = g->bytesPerSector;
                Geometry.MediaType = 12;  // fixed hard disk
            }
        }
        if (const auto number = platform::DeviceNumberOf(DevicePath)) {
            DeviceNumber.DeviceType = 7;  // a disk
            DeviceNumber.DeviceNumber = number->major;
            DeviceNumber.PartitionNumber = number->minor;
        }
        if (Kind == VK_LOGICAL) {
            if (const auto probe = platform::ProbeVolume(DevicePath)) {
                if (!probe->label.empty()) Label = probe->label;
                if (probe->serial) {
                    SerialNumber = probe->serial;
                    SerialNumberHigh = probe->serialHigh;
                }
            }
            if (const auto number = platform::DeviceNumberOf(DevicePath)) {
                if (const auto mount = platform::MountOf(number->major, number->minor, DevicePath)) {
                    RootPath = mount->mountPoint;
                    if (const auto free = platform::FreeBytes(RootPath)) FreeBytes = *free;
                }
            }
            if (Size == 0) Size = Layout.Entries[0].PartitionLength;
        }
        TotalSectors = Size / kSectorBytes;
        TotalClusters = ClusterSize ? Size / ClusterSize : 0;
        State = Size ? 1 : kVolumeNotReady;
        Close();
        break;
    }
    case VK_VIRTUAL:
    case VK_FOUND:
        // The region's size comes from the partition entry or boot sector
        // that found it.
        TotalClusters = ClusterSize ? Size / ClusterSize : 0;
        State = 1;
        break;
    default:
        State = kVolumeNotReady;
        break;
    }
}

std::string CVolume::GetFileSystemName() {
    if (!platform::EqualsIgnoreAsciiCase(fileSystem_->TypeName, "Unknown")) return fileSystem_->TypeName;
    const std::uint32_t code = fileSystem_->TypeCode
                                   ? fileSystem_->TypeCode
                                   : CFileSystem::ClassifyBoot(std::span<const std::uint8_t>(BootSector.data(), 512));
    return fileSystem_->SetTypeName(code);
}

void CVolume::ClaimSectors(std::uint64_t first, std::uint64_t count) {
    if (count == 0) return;
    const std::uint64_t end = count > ~std::uint64_t{0} - first ? ~std::uint64_t{0} : first + count;
    std::lock_guard lock(claimsMutex_);
    // Kept sorted and merged: overlapping and touching claims become one.
    std::vector<SECTOR_RUN> merged;
    SECTOR_RUN added{first, end - first};
    bool placed = false;
    for (const SECTOR_RUN& c : claims_) {
        const std::uint64_t cEnd = c.FirstSector + c.SectorCount;
        if (cEnd < added.FirstSector) {
            merged.push_back(c);
        } else if (c.FirstSector > added.FirstSector + added.SectorCount) {
            if (!placed) merged.push_back(added), placed = true;
            merged.push_back(c);
        } else {
            const std::uint64_t lo = std::min(c.FirstSector, added.FirstSector);
            const std::uint64_t hi = std::max(cEnd, added.FirstSector + added.SectorCount);
            added = {lo, hi - lo};
        }
    }
    if (!placed) merged.push_back(added);
    claims_ = std::move(merged);
}

std::uint64_t CVolume::ClaimedEnd(std::uint64_t sector, std::uint64_t* nextStart) const {
    std::lock_guard lock(claimsMutex_);
    if (nextStart) *nextStart = ~std::uint64_t{0};
    const auto after = std::upper_bound(claims_.begin(), claims_.end(), sector,
                                        [](std::uint64_t s, const SECTOR_RUN& c) { return s < c.FirstSector; });
    if (nextStart && after != claims_.end()) *nextStart = after->FirstSector;
    if (after == claims_.begin()) return 0;
    const SECTOR_RUN& c = *(after - 1);
    return sector - c.FirstSector < c.SectorCount ? c.FirstSector + c.SectorCount : 0;
}

void CVolume::ClearClaims() {
    std::lock_guard lock(claimsMutex_);
    claims_.clear();
}

void CVolume::BuildUsedIndex() {
    std::vector<SECTOR_RUN> used;
    for (const auto& u : fileSystem_->UsedSpace)
        if (u.length) used.push_back({u.start, u.length});
    std::sort(used.begin(), used.end(), [](const SECTOR_RUN& a, const SECTOR_RUN& b) { return a.FirstSector < b.FirstSector; });
    usedIndex_.clear();
    for (const SECTOR_RUN& u : used) {
        if (!usedIndex_.empty()) {
            SECTOR_RUN& last = usedIndex_.back();
            if (u.FirstSector <= last.FirstSector + last.SectorCount) {
                last.SectorCount = std::max(last.FirstSector + last.SectorCount, u.FirstSector + u.SectorCount) - last.FirstSector;
                continue;
            }
        }
        usedIndex_.push_back(u);
    }
}

bool CVolume::InUsedSpace(std::uint64_t sector) const {
    const auto after = std::upper_bound(usedIndex_.begin(), usedIndex_.end(), sector,
                                        [](std::uint64_t s, const SECTOR_RUN& u) { return s < u.FirstSector; });
    if (after == usedIndex_.begin()) return false;
    const SECTOR_RUN& u = *(after - 1);
    return sector - u.FirstSector < u.SectorCount;
}

bool CVolume::OverlapsUsedSpace(const SECTOR_RUN& run) const {
    if (run.SectorCount == 0) return false;
    // The first used run that ends after the run's first sector.
    const auto it = std::upper_bound(usedIndex_.begin(), usedIndex_.end(), run.FirstSector, [](std::uint64_t s, const SECTOR_RUN& u) {
        return s < u.FirstSector + u.SectorCount;
    });
    if (it == usedIndex_.end()) return false;
    return it->FirstSector <= run.FirstSector || it->FirstSector - run.FirstSector < run.SectorCount;
}

std::uint64_t CVolume::SectorsToClusters(std::uint64_t sectors) const {
    if (sectors == 0 || SectorsPerCluster == 0) return ~std::uint64_t{0};
    return sectors / SectorsPerCluster;
}

std::uint64_t CVolume::ClustersToSectors(std::uint64_t clusters) const {
    if (clusters == 0 || SectorsPerCluster == 0) return ~std::uint64_t{0};
    return clusters * SectorsPerCluster;
}

}  // namespace tl
