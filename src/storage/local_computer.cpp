#include "storage/local_computer.h"

#include <algorithm>
#include <array>
#include <limits>

#include "app/app_messages.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/found_tree.h"
#include "filesystems/file_system_exfat.h"
#include "filesystems/synthetic_ids.h"
#include "platform/block_devices.h"
#include "platform/notify.h"
#include "platform/read_only_file.h"
#include "storage/analysis_busy.h"
#include "storage/image_creation.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

// Every computer object alive, so that a volume's stages can reach theirs.
std::mutex g_computersMutex;
std::vector<CLocalComputer*> g_computers;

// The volume whose device `v` reads through: `v` itself, or for a region of
// a disk (a found volume, a virtual drive) the nearest volume above it with
// a device of its own. Every VolumeOffset counts from the start of that
// device.
const CVolume* DeviceOwner(const CVolume& v) {
    const CVolume* owner = &v;
    for (int depth = 0; depth < CVolume::kMaxNesting && (owner->Kind == VK_FOUND || owner->Kind == VK_VIRTUAL); ++depth) {
        const CVolume* parent = owner->GetParent();
        if (!parent) break;
        owner = parent;
    }
    return owner;
}

}  // namespace

CLocalComputer::CLocalComputer(AppSettings& settings, platform::SettingsStore& store, const std::string& settingsRoot,
                               const CLanguages& texts, CEventLog::WindowSource logWindow,
                               CEventLog::Options logOptions)
    : settings_(settings),
      texts_(&texts),
      log_(settings, std::move(logWindow), std::move(logOptions)),
      signatures_(store, settingsRoot, &texts, &log_),
      opening_(std::make_unique<CRecovery>(RecoveryContext{&settings, &log_, &texts, &signatures_})),
      volumes_(*this) {
    const std::string filterKey = FilterSettings::KeyPath(settingsRoot);
    if (!store.KeyExists(filterKey)) filter_.Save(store, filterKey);
    myComputer_ = MakeVolume(VK_PSEUDO);
    myComputer_->Id = myComputer_->ParentId = CVolume::kDriveTreeRootId;
    myComputer_->SetName(texts.GetString(ids::kMyComputer));
    recycleBin_ = MakeVolume(VK_PSEUDO);
    recycleBin_->SetName(texts.GetString(ids::kRecycleBin));
    currentVolume_ = lastVolume_ = myComputer_.get();
    std::lock_guard lock(g_computersMutex);
    g_computers.push_back(this);
}

bool CLocalComputer::Holds(const CVolume& v) const {
    // Every volume this computer makes carries its event log (MakeVolume):
    // that tells its volumes without taking the list's lock, which a rebuild
    // holds while it ends volumes and waits for their workers.
    return v.Context().log == &log_;
}

void CLocalComputer::SetCurrentVolumeOf(CVolume& v, bool started) {
    std::lock_guard lock(g_computersMutex);
    for (CLocalComputer* computer : g_computers) {
        if (!computer->Holds(v)) continue;
        computer->currentVolume_ = &v;
        if (started) computer->lastVolume_ = &v;
        return;
    }
}

void CLocalComputer::AnalyseVolume(CVolume& v) {
    if (v.State.load() == 2) return;  // its sector stage runs
    // Queued before the worker starts: a quick analysis that finishes at once
    // must find itself in the queue to leave it.
    {
        std::lock_guard lock(queueMutex_);
        if (std::find(analysisQueue_.begin(), analysisQueue_.end(), &v) == analysisQueue_.end())
            analysisQueue_.push_back(&v);
    }
    std::uint32_t idle = 0;
    if (AnalysisBusy().compare_exchange_strong(idle, 1)) {
        currentVolume_ = lastVolume_ = &v;
        if (!v.IsWorkerRunning())
            StartAnalysisWorker(v);
        else
            // Its last analysis still ends: it stays queued, and nothing is
            // busy with nothing started.
            AnalysisBusy() = 0;
    }
}

void CLocalComputer::StartAnalysisWorker(CVolume& v) {
    v.ClearStopRequest();
    v.StartWorker(
        [this, &v] {
            // A drive that cannot be opened ends its analysis too: nothing
            // may stay busy with nothing running.
            v.Analyse_Do();
            AnalysisFinished(v);
            v.EndWorker();
        },
        "pVolume->Analyse_Do.FatalError");
}

CVolume* CLocalComputer::StartFirstQueued() {
    std::lock_guard lock(queueMutex_);
    if (analysisQueue_.empty()) return nullptr;
    CVolume& v = *analysisQueue_.front();
    // Its last analysis still ends: it leaves the queue itself when it does.
    if (v.IsWorkerRunning() || v.State.load() == 2) return nullptr;
    std::uint32_t idle = 0;
    if (!AnalysisBusy().compare_exchange_strong(idle, 1)) return nullptr;
    currentVolume_ = lastVolume_ = &v;
    StartAnalysisWorker(v);
    return &v;
}

int CLocalComputer::StopAnalysis(CVolume& v, bool silent) {
    CVolume* current = currentVolume_.load();
    const std::int32_t state = current ? current->State.load() : 0;
    if (settings_.ConfirmScanAbort() && (state == 2 || state == 4) && !silent) {
        const auto answer = platform::ShowMessageBox(0, texts_->GetString(ids::kConfirmStopScanning),
                                                     texts_->GetString(ids::kConfirmation),
                                                     platform::kMbYesNo | platform::kMbIconQuestion);
        if (answer != platform::kIdYes) return 0;
    }
    // Asked of the volume before the flag is cleared (see CVolume::BecomeBusy).
    v.RequestStop();
    AnalysisBusy() = 0;
    {
        std::lock_guard lock(queueMutex_);
        std::erase(analysisQueue_, &v);
    }
    v.State = 1;
    return v.Stop();
}

void CLocalComputer::AnalysisFinished(CVolume& v) {
    AnalysisBusy() = 0;
    StopAnalysis(v, true);
    platform::PostAppMessage(0, msg::kAnalysisFinished, reinterpret_cast<std::uintptr_t>(&v), 0);
}

std::vector<CVolume*> CLocalComputer::AnalysisQueue() const {
    std::lock_guard lock(queueMutex_);
    return analysisQueue_;
}

CLocalComputer::~CLocalComputer() {
    // The opening worker reads volumes of the list: it ends first.
    opening_->Stop();
    opening_->Wait(60000);
    StopImageWorkers();
    std::lock_guard lock(g_computersMutex);
    std::erase(g_computers, this);
}

std::int64_t CLocalComputer::NewVolumeId() { return NextSyntheticId(); }

std::unique_ptr<CVolume> CLocalComputer::MakeVolume(VolumeKind kind) {
    VolumeContext context{&settings_, &log_, texts_, &signatures_, {}};
    context.addFoundVolume = [this](const CFoundObject& record) { AddFoundVolume(record); };
    context.addPartition = [this](const CFoundObject& record, const PartitionEntry& entry) { AddFoundVolume(record, &entry); };
    auto volume = std::make_unique<CVolume>(kind, std::move(context));
    volume->Id = static_cast<std::uint64_t>(NewVolumeId());
    volume->Flags = FO_VOLUME;
    return volume;
}

CVolume* CLocalComputer::LoadImage(const std::string& path) {
    int error = 0;
    std::shared_ptr<ISectorDevice> device = OpenFileSectorDevice(path, error);
    if (!device) return nullptr;
    auto volume = MakeVolume(VK_IMAGE);
    volume->DriveType = 7;
    volume->DevicePath = path;
    volume->SetDevice(device);
    CVolume& added = volumes_.Append(std::move(volume));
    added.Analyse_Boot();
    added.State = 1;
    return &added;
}

CVolume* CLocalComputer::OpenSource(const std::string& path, std::string& error) {
    if (platform::DeviceNumberOf(path)) {
        volumes_.Refresh(false);
        CVolume* source = volumes_.FindByDevicePath(path);
        if (!source) {
            error = "not a disk or partition of the drive list";
            return nullptr;
        }
        // A disk the user may not open was asked of udisks2: its refusal is
        // told here rather than as an empty analysis.
        if (!source->OpenDrive()) {
            error = source->OpenProblem();
            return nullptr;
        }
        return source;
    }
    platform::ReadOnlyFile probe;
    if (const int e = probe.Open(path)) {
        error = platform::ErrorText(e);
        return nullptr;
    }
    CVolume* source = LoadImage(path);
    if (!source) error = "not a readable image";
    return source;
}

void CLocalComputer::AddFoundVolume(const CFoundObject& r, const PartitionEntry* partition) {
    CVolume* parent = volumes_.FindById(r.ParentId);
    if (!parent) return;
    if (parent->Kind == VK_PHYSICAL) {
        for (CVolume* v : volumes_.Snapshot()) {
            if (v->ParentId == parent->Id && v->Layout.Entries[0].StartingOffset == r.DataOffset) {
                v->MarkConfirmed();  // VF_CONFIRMED
                return;
            }
        }
        // A partition the system lists is a child of the disk, with its offset.
        for (CVolume* child : parent->Children) {
            if (child->Kind == VK_LOGICAL && child->Layout.Entries[0].StartingOffset == r.DataOffset) {
                child->MarkConfirmed();
                return;
            }
        }
    }
    // A boot sector at the start of a volume is that volume's own.
    if (parent->Kind != VK_PHYSICAL && r.DataOffset == 0) {
        parent->MarkConfirmed();
        return;
    }
    // r's offset counts from the parent's start; the new volume reads through
    // the parent's device, so its own offset counts from that device's start.
    if (r.DataOffset > std::numeric_limits<std::uint64_t>::max() - parent->VolumeOffset) return;
    const std::uint64_t position = parent->VolumeOffset + r.DataOffset;
    const CVolume* device = DeviceOwner(*parent);
    // A volume already found at this byte of the same device is not added
    // twice (backup boot sectors, repeated scans, and a scan of a disk that
    // meets again a volume found inside one of its volumes).
    const auto foundAt = [&](std::uint64_t at) {
        for (CVolume* v : volumes_.Snapshot())
            if (v->Kind == VK_FOUND && v->VolumeOffset == at && DeviceOwner(*v) == device) return true;
        return false;
    };
    if (foundAt(position)) return;
    // A backup boot sector is not a volume of its own: FAT32 keeps one a few
    // sectors after the first (the sector number at byte 50), NTFS one just
    // after its last counted sector (the count at byte 40), exFAT a whole
    // boot region of 12 of its sectors after the first. The first may be a
    // found volume or the parent's own file system.
    const bool exfat = r.TypeId == CFileSystem_exFAT::kTypeCode;
    if (r.TypeId == 11 || r.TypeId == 7 || exfat) {
        std::array<std::uint8_t, 512> boot{};
        if (parent->ReadSectors(boot.data(), r.DataOffset / 512, std::uint64_t{1}) == 512) {
            const auto exfatBoot = exfat ? CFileSystem_exFAT::ReadBootSector(boot) : std::nullopt;
            const std::uint64_t back = exfat ? (exfatBoot ? std::uint64_t{12} << (exfatBoot->bytesPerSectorShift - 9) : 0)
                                     : r.TypeId == 11 ? GetU16(boot.data() + 50)
                                                      : GetU64(boot.data() + 40);
            if (back != 0 && back <= r.DataOffset / 512) {
                const std::uint64_t first = position - back * 512;
                if (foundAt(first) || (first == parent->VolumeOffset && parent->FileSystem().TypeCode != 0)) return;
            }
        }
    }

    auto v = MakeVolume(VK_FOUND);
    std::string name;
    std::uint32_t code = 0;
    // A kind a parser reads is given its layout's code and name.
    if (const FileSystemKind* kind = FindFileSystemKind(static_cast<std::uint16_t>(r.TypeId));
        kind && kind->family != kFamilyOther) {
        name = kind->name;
        code = kind->layoutCode;
        v->FileSystem().TypeName = name;
        v->FileSystem().TypeCode = code;
    }
    log_.LogInfo(FormatMessageText(texts_, ids::kFoundVolumeAt, name, position));
    v->VolumeOffset = position;
    v->Size = parent->Size > r.DataOffset ? parent->Size - r.DataOffset : 0;
    // A partition entry gives the volume's own length: the volume ends there,
    // not at the end of the disk.
    if (r.Size != CFoundObject::kUnknownSize && r.Size != 0) v->Size = std::min(v->Size, r.Size);
    v->ParentId = parent->Id;
    v->Parent = parent;
    v->Children.push_back(v.get());
    // The table entry that listed the volume (its name, type, number).
    if (partition) {
        v->Layout.PartitionCount = 1;
        v->Layout.Entries[0] = *partition;
    }
    v->Analyse_Boot();
    // A partition type may name another kind than the boot sector holds
    // (0x07 is NTFS's and exFAT's): a boot sector that names a kind decides.
    if (const std::uint32_t booted = v->FileSystem().TypeCode; booted != 0 && booted != code && FindFileSystemKind(booted)) {
        code = booted;
        v->FileSystem().SetTypeName(booted);
    }
    // Without a partition entry, the boot sector knows the volume's own size.
    const bool partitionLength = r.Size != CFoundObject::kUnknownSize && r.Size != 0;
    if (!partitionLength && v->TotalSectors) v->Size = std::min(v->Size, v->TotalSectors * 512);
    v->State = 1;
    // A volume the sector stage met is scanned in a volume of its own when
    // the stage leaves them so: its sectors are not read twice, and what it
    // holds is found once, under it.
    const bool byScan = (r.Flags & FO_BY_SIGNATURE) != 0;
    if (byScan && parent->LeaveFoundVolumesToOwnScan.load() && parent->ScanMode.load() == 0 && code != 0)
        parent->ClaimSectors(r.DataOffset / 512, (v->Size + 511) / 512);
    CVolume& added = volumes_.Append(std::move(v));
    parent->FoundTree().AddToIndexes(added);
    platform::PostAppMessage(0, msg::kVolumeAdded, reinterpret_cast<std::uintptr_t>(&added), 0);
}

std::optional<SECTOR_RUN> CLocalComputer::ExtentIn(const CVolume& outer, const CVolume& inner) {
    if (&outer == &inner) return std::nullopt;
    std::uint64_t start = 0;
    if (inner.Kind == VK_LOGICAL && inner.GetParent() == &outer) {
        // A partition the system lists: its place on its disk.
        start = inner.Layout.Entries[0].StartingOffset;
    } else if (inner.Kind == VK_FOUND || inner.Kind == VK_VIRTUAL) {
        if (DeviceOwner(inner) != DeviceOwner(outer)) return std::nullopt;
        const std::uint64_t outerStart = DeviceOwner(outer) == &outer ? 0 : outer.VolumeOffset;
        if (inner.VolumeOffset < outerStart) return std::nullopt;
        start = inner.VolumeOffset - outerStart;
    } else {
        return std::nullopt;
    }
    const std::uint64_t first = start / 512;
    const std::uint64_t count = (inner.Size + 511) / 512;
    if (outer.Size && first >= outer.Size / 512) return std::nullopt;
    return SECTOR_RUN{first, count};
}

bool CLocalComputer::DestinationOnSource(const CVolume& source, const std::string& destination) {
    const CVolume* owner = DeviceOwner(source);
    if (owner->Kind == VK_IMAGE) return false;  // an image file is no drive of its own
    const auto from = platform::DeviceNumberOf(owner->DevicePath);
    const auto to = platform::DeviceHoldingPath(destination);
    if (!from || !to) return false;
    if (*from == *to) return true;
    // A whole disk holds every partition of it.
    const auto disk = platform::ExtentOnDisk(*from);
    const auto destinationDisk = platform::ExtentOnDisk(*to);
    return disk && disk->disk == *from && destinationDisk && destinationDisk->disk == *from;
}

int CLocalComputer::CheckDestination(const CVolume& source, std::string& destination) {
    for (int round = 0; round < 64; ++round) {
        if (!DestinationOnSource(source, destination)) return 1;
        const std::int64_t answer =
            platform::ShowMessageBox(0, FormatMessageText(texts_, ids::kDestinationOnSourceDrive),
                                     FormatMessageText(texts_, ids::kWarning), platform::kMbYesNo | platform::kMbIconWarning);
        if (answer != platform::kIdYes) return 0;
        std::string chosen = platform::ChooseFolder(0, FormatMessageText(texts_, ids::kSelectDestinationFolder));
        if (chosen.empty()) return -1;
        destination = chosen;
    }
    return -1;
}

bool CLocalComputer::StartDeviceMonitor(std::string* whyNot) {
    return monitor_.Start(
        [this](const platform::DeviceEvent& event) {
            try {
                OnDeviceChange(event);
            } catch (...) {
                // The watch goes on: the next event may be handled.
                log_.LogError("CLocalComputer::OnDeviceChange.except");
            }
        },
        whyNot);
}

void CLocalComputer::OnDeviceChange(const platform::DeviceEvent& event) {
    if (event.action == platform::DeviceEvent::Action::Change || event.devicePath.empty()) return;
    const bool arrived = event.action == platform::DeviceEvent::Action::Add;
    // The medium of a disk or partition carries the volumes found on it too:
    // they read through its device.
    const auto onThisMedium = [&](const CVolume& v) {
        const CVolume* owner = DeviceOwner(v);
        return (owner->Kind == VK_PHYSICAL || owner->Kind == VK_LOGICAL) && owner->DevicePath == event.devicePath;
    };
    bool known = false;
    for (CVolume* v : volumes_.Snapshot()) {
        if (!onThisMedium(*v)) continue;
        known = true;
        // A descriptor of a medium that went away stays dead, even once the
        // medium is back: the next read opens the device anew.
        v->Close();
        v->State = arrived ? 1 : kVolumeNotReady;
        // A running analysis waits at its next pause point while the medium
        // is away, and goes on where it stopped when it returns.
        if (arrived)
            v->ResumeWorker();
        else
            v->SuspendWorker();
    }
    if (!known) return;
    log_.LogInfo(FormatMessageText(texts_, arrived ? ids::kMediumConnected : ids::kMediumRemoved, event.name));
    platform::PostAppMessage(0, msg::kMediaChanged, arrived ? 0x8000 : 0x8004, 0, event.devicePath);
}

}  // namespace tl
