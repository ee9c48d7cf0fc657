#include "storage/volumes_list.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>

#include "app/app_messages.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "platform/block_devices.h"
#include "platform/notify.h"
#include "storage/gpt_partition_table.h"
#include "storage/local_computer.h"

namespace tl {
namespace {

// The top of a volume's parent links: a disk, an image, itself.
const CVolume* RootOf(const CVolume& v) {
    const CVolume* root = &v;
    for (int depth = 0; depth < CVolume::kMaxNesting && root->GetParent(); ++depth) root = root->GetParent();
    return root;
}

// Images, the volumes found on them and virtual drives survive a rebuild.
bool KeptOverRebuild(const CVolume& v) {
    return v.Kind == VK_IMAGE || v.Kind == VK_VIRTUAL || RootOf(v)->Kind == VK_IMAGE;
}

// A partition as the system lists it, with what its table says of it.
PartitionEntry EntryOf(const platform::BlockDeviceInfo& p) {
    PartitionEntry entry;
    entry.StartingOffset = p.startSector * 512;
    entry.PartitionLength = p.sizeBytes;
    entry.PartitionNumber = p.partitionNumber;
    entry.RecognizedPartition = 1;
    entry.Name = CGptPartitionTable::SanitisedName(p.partitionName);
    if (p.partitionTable == "gpt") {
        entry.PartitionStyle = kPartitionStyleGpt;
        if (const auto type = CGptPartitionTable::ParseGuid(p.partitionType)) entry.PartitionTypeGuid = *type;
        if (const auto id = CGptPartitionTable::ParseGuid(p.partitionUuid)) entry.PartitionId = *id;
    } else if (p.partitionType.rfind("0x", 0) == 0) {
        entry.PartitionType = static_cast<std::uint8_t>(std::strtoul(p.partitionType.c_str() + 2, nullptr, 16));
    }
    return entry;
}

}  // namespace

CVolumesList::CVolumesList(CLocalComputer& computer) : computer_(computer) {}

CVolumesList::~CVolumesList() {
    if (refreshThread_.joinable()) refreshThread_.join();
}

CVolume* CVolumesList::GetAt(std::size_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= items_.size()) {
        computer_.Log().LogError("CVolumesList::GetAt except");
        return nullptr;
    }
    return items_[index].get();
}

std::size_t CVolumesList::GetCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

CVolume* CVolumesList::FindById(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : items_)
        if (v->Id == id) return v.get();
    return nullptr;
}

CVolume* CVolumesList::FindByDevicePath(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : items_)
        if (v->Kind != VK_FOUND && v->Kind != VK_VIRTUAL && v->DevicePath == path) return v.get();
    return nullptr;
}

std::vector<CVolume*> CVolumesList::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<CVolume*> out;
    for (const auto& v : items_) out.push_back(v.get());
    return out;
}

CVolume& CVolumesList::Append(std::unique_ptr<CVolume> volume) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(volume));
    return *items_.back();
}

std::size_t CVolumesList::Refresh(bool background) {
    if (!background) {
        Rebuild();
        return GetCount();
    }
    if (refreshing_.exchange(true)) return 0;  // one rebuild at a time
    if (refreshThread_.joinable()) refreshThread_.join();
    refreshThread_ = std::thread([this] {
        Rebuild();
        refreshing_ = false;
    });
    return 0;
}

void CVolumesList::RefreshAndWait() {
    Refresh(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (refreshing_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void CVolumesList::SortOut(std::vector<std::shared_ptr<CVolume>>& volumes, const std::vector<CVolume*>& queued,
                           std::vector<std::shared_ptr<CVolume>>& kept,
                           std::vector<std::shared_ptr<CVolume>>& dropped) {
    // A volume in use holds on to everything under the top of its parent
    // links: its reads go through its parents, a disk's walk reads its
    // children. So does a virtual drive kept over a disk that is not.
    std::set<const CVolume*> held;
    for (const auto& v : volumes) {
        // Shared elsewhere: a scan's parser left to finish on its own holds its volume.
        const bool inUse = v.use_count() > 1 || v->IsWorkerRunning() || v.get() == computer_.CurrentVolume() ||
                           v.get() == computer_.LastVolume() ||
                           std::find(queued.begin(), queued.end(), v.get()) != queued.end();
        if (inUse || (KeptOverRebuild(*v) && !KeptOverRebuild(*RootOf(*v)))) held.insert(RootOf(*v));
    }
    for (auto& v : volumes) {
        if (KeptOverRebuild(*v))
            kept.push_back(std::move(v));
        else if (held.count(RootOf(*v)))
            retired_.push_back(std::move(v));
        else
            dropped.push_back(std::move(v));
    }
    volumes.clear();
}

void CVolumesList::Rebuild() {
    // Images, their found volumes and virtual drives survive a rebuild with
    // their objects and ids; volumes in use wait in retired_ (see the header).
    const std::vector<CVolume*> queued = computer_.AnalysisQueue();
    // The volumes that leave the list are told first, unlocked (the front
    // end may read the list meanwhile): a front end that shares one then
    // keeps it in use, and with it its disk, when the list is sorted out.
    std::set<const CVolume*> told;
    {
        std::vector<std::shared_ptr<CVolume>> leaving;
        {
            std::lock_guard lock(mutex_);
            for (const auto& v : items_)
                if (!KeptOverRebuild(*v)) leaving.push_back(v);
        }
        for (const auto& v : leaving) {
            platform::SendAppMessage(0, msg::kVolumeRemoved, reinterpret_cast<std::uintptr_t>(v.get()));
            told.insert(v.get());
        }
    }
    std::vector<std::shared_ptr<CVolume>> kept;
    std::vector<std::shared_ptr<CVolume>> dropped;
    std::vector<std::shared_ptr<CVolume>> late;
    {
        std::lock_guard lock(mutex_);
        // Volumes retired before are sorted out again with the listed ones
        // (none of them is of a kind that is kept): freed once unused.
        std::vector<std::shared_ptr<CVolume>> all = std::move(items_);
        items_.clear();
        for (const auto& v : all)
            if (!KeptOverRebuild(*v) && !told.count(v.get())) late.push_back(v);
        for (auto& v : retired_) all.push_back(std::move(v));
        retired_.clear();
        SortOut(all, queued, kept, dropped);
    }
    // A volume appended while the others were told is told before it is freed.
    for (const auto& v : late) platform::SendAppMessage(0, msg::kVolumeRemoved, reinterpret_cast<std::uintptr_t>(v.get()));
    late.clear();
    // Freed unlocked: a volume's end joins its finished worker, and a worker
    // that was just started would need the list to finish.
    dropped.clear();

    const auto disks = platform::ListDisks();
    std::vector<std::shared_ptr<CVolume>> fresh;
    std::vector<std::shared_ptr<CVolume>> partitions;
    for (std::size_t n = 0; n < disks.size(); ++n) {
        const auto& info = disks[n];
        auto disk = computer_.MakeVolume(VK_PHYSICAL);
        disk->Letter = static_cast<std::uint8_t>(std::min<std::size_t>(n, 255));
        disk->Description = FormatMessageText(computer_.Texts(), ids::kDriveNumber, static_cast<int>(n));
        std::string vendorModel = info.vendor;
        if (!info.model.empty()) vendorModel += (vendorModel.empty() ? "" : ", ") + info.model;
        if (!vendorModel.empty()) disk->Description += " (" + vendorModel + ")";
        disk->DevicePath = info.devicePath;
        disk->DriveType = 3;
        disk->State = 1;
        disk->BytesPerSector = info.logicalSectorSize ? info.logicalSectorSize : 512;
        // Partitions, or the disk's own file system when it has no table.
        std::vector<platform::BlockDeviceInfo> parts = info.partitions;
        if (parts.empty()) {
            if (auto probe = platform::ProbeVolume(info.devicePath); probe && !probe->type.empty()) {
                platform::BlockDeviceInfo whole = info;
                whole.isPartition = false;
                whole.startSector = 0;
                parts.push_back(whole);
            }
        }
        // The disk's layout: its first four partitions as the system lists them.
        for (const auto& p : info.partitions) {
            if (disk->Layout.PartitionCount >= disk->Layout.Entries.size()) break;
            disk->Layout.Entries[disk->Layout.PartitionCount++] = EntryOf(p);
        }
        for (const auto& p : parts) {
            auto part = computer_.MakeVolume(VK_LOGICAL);
            part->DevicePath = p.devicePath;
            part->DriveType = info.removable ? 2 : 3;
            part->Parent = disk.get();
            part->Layout.PartitionCount = 1;
            part->Layout.Entries[0] = EntryOf(p);
            part->Layout.Entries[0].RecognizedPartition = 0;
            part->BytesPerSector = disk->BytesPerSector;
            disk->Children.push_back(part.get());
            partitions.push_back(std::move(part));
        }
        fresh.push_back(std::move(disk));
    }
    for (auto& p : partitions) fresh.push_back(std::move(p));

    std::vector<CVolume*> toQuery;
    {
        std::lock_guard lock(mutex_);
        for (auto& v : fresh) {
            toQuery.push_back(v.get());
            items_.push_back(std::move(v));
        }
    }
    // Query every volume at once: each learns its size, geometry and boot
    // sector; volumes found in partition tables are appended meanwhile.
    std::vector<std::future<void>> queries;
    for (CVolume* volume : toQuery)
        queries.push_back(std::async(std::launch::async, [volume] { volume->QueryInformation(); }));
    for (auto& q : queries) q.wait();

    std::lock_guard lock(mutex_);
    for (auto& k : kept) items_.push_back(std::move(k));
}

std::shared_ptr<CVolume> CVolumesList::Share(const CVolume* volume) const {
    std::lock_guard lock(mutex_);
    for (const auto* group : {&items_, &retired_})
        for (const auto& v : *group)
            if (v.get() == volume) return v;
    return nullptr;
}

}  // namespace tl
