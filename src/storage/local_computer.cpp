#include "storage/local_computer.h"

#include <algorithm>
#include <array>

#include "app/app_messages.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "platform/notify.h"
#include "storage/analysis_busy.h"
#include "storage/image_creation.h"
#include "storage/little_endian.h"

namespace tl {

CLocalComputer::CLocalComputer(AppSettings& settings, platform::SettingsStore& store, const std::string& settingsRoot,
                               const CLanguages& texts, CEventLog::WindowSource logWindow,
                               CEventLog::Options logOptions)
    : settings_(settings),
      texts_(&texts),
      log_(settings, std::move(logWindow), std::move(logOptions)),
      signatures_(store, settingsRoot, &texts, &log_),
      volumes_(*this) {
    myComputer_ = MakeVolume(VK_PSEUDO);
    myComputer_->Id = myComputer_->ParentId = CVolume::kDriveTreeRootId;
    myComputer_->SetName(texts.GetString(ids::kMyComputer));
    recycleBin_ = MakeVolume(VK_PSEUDO);
    recycleBin_->SetName(texts.GetString(ids::kRecycleBin));
    currentVolume_ = lastVolume_ = myComputer_.get();
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
        if (!v.IsWorkerRunning()) {
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
    }
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

CLocalComputer::~CLocalComputer() { StopImageWorkers(); }

std::int64_t CLocalComputer::NewVolumeId() { return nextVolumeId_.fetch_sub(1) - 1; }

std::unique_ptr<CVolume> CLocalComputer::MakeVolume(VolumeKind kind) {
    VolumeContext context{&settings_, &log_, texts_, &signatures_, {}};
    context.addFoundVolume = [this](const CFoundObject& record) { AddFoundVolume(record); };
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

void CLocalComputer::AddFoundVolume(const CFoundObject& r) {
    CVolume* parent = volumes_.FindById(r.ParentId);
    if (!parent) return;
    if (parent->Kind == VK_PHYSICAL) {
        for (CVolume* v : volumes_.Snapshot()) {
            if (v->ParentId == parent->Id && v->Layout.Entries[0].StartingOffset == r.DataOffset) {
                v->Flags |= FO_SIGNATURE_MATCH;  // VF_CONFIRMED
                return;
            }
        }
        // A partition the system lists is a child of the disk, with its offset.
        for (CVolume* child : parent->Children) {
            if (child->Kind == VK_LOGICAL && child->Layout.Entries[0].StartingOffset == r.DataOffset) {
                child->Flags |= FO_SIGNATURE_MATCH;
                return;
            }
        }
    }
    if ((parent->Kind == VK_LOGICAL || parent->Kind == VK_IMAGE) && r.DataOffset == 0) {
        parent->Flags |= FO_SIGNATURE_MATCH;
        return;
    }
    // A volume already found at this offset of this parent is not added twice
    // (backup boot sectors and repeated scans report the same volume again).
    const auto foundAt = [&](std::uint64_t offset) {
        for (CVolume* v : volumes_.Snapshot())
            if (v->Kind == VK_FOUND && v->Parent == parent && v->VolumeOffset == offset) return true;
        return false;
    };
    if (foundAt(r.DataOffset)) return;
    // A backup boot sector is not a volume of its own: FAT32 keeps one a few
    // sectors after the first (the sector number at byte 50), NTFS one just
    // after its last counted sector (the count at byte 40).
    if (r.TypeId == 11 || r.TypeId == 7) {
        std::array<std::uint8_t, 512> boot{};
        if (parent->ReadSectors(boot.data(), r.DataOffset / 512, std::uint64_t{1}) == 512) {
            const std::uint64_t back = r.TypeId == 11 ? GetU16(boot.data() + 50) : GetU64(boot.data() + 40);
            if (back != 0 && back <= r.DataOffset / 512 && foundAt(r.DataOffset - back * 512)) return;
        }
    }

    auto v = MakeVolume(VK_FOUND);
    std::string name;
    std::uint32_t code = 0;
    switch (static_cast<std::uint16_t>(r.TypeId)) {
    case 1: case 17: name = "FAT12"; code = 1; break;
    case 4: case 6: case 14: case 20: case 22: case 30: name = "FAT16"; code = 4; break;
    case 7: name = "NTFS"; code = 7; break;
    case 11: case 12: case 27: case 28: name = "FAT32"; code = 11; break;
    default: break;
    }
    if (code) {
        v->FileSystem().TypeName = name;
        v->FileSystem().TypeCode = code;
    }
    log_.LogInfo(FormatMessageText(texts_, ids::kFoundVolumeAt, name, r.DataOffset));
    v->VolumeOffset = r.DataOffset;
    v->Size = parent->Size > r.DataOffset ? parent->Size - r.DataOffset : 0;
    // A partition entry gives the volume's own length: the volume ends there,
    // not at the end of the disk.
    if (r.Size != CFoundObject::kUnknownSize && r.Size != 0) v->Size = std::min(v->Size, r.Size);
    v->ParentId = parent->Id;
    v->Parent = parent;
    v->Children.push_back(v.get());
    v->Analyse_Boot();
    // Without a partition entry, the boot sector knows the volume's own size.
    const bool partitionLength = r.Size != CFoundObject::kUnknownSize && r.Size != 0;
    if (!partitionLength && v->TotalSectors) v->Size = std::min(v->Size, v->TotalSectors * 512);
    v->State = 1;
    CVolume& added = volumes_.Append(std::move(v));
    parent->FoundTree().AddToIndexes(added);
    platform::PostAppMessage(0, msg::kVolumeAdded, reinterpret_cast<std::uintptr_t>(&added), 0);
}

bool CLocalComputer::StartDeviceMonitor(std::string* whyNot) {
    return monitor_.Start([this](const platform::DeviceEvent& event) { OnDeviceChange(event); }, whyNot);
}

void CLocalComputer::OnDeviceChange(const platform::DeviceEvent& event) {
    if (event.action == platform::DeviceEvent::Action::Change) return;
    const bool arrived = event.action == platform::DeviceEvent::Action::Add;
    bool known = false;
    for (CVolume* v : volumes_.Snapshot()) {
        if (v->Kind == VK_FOUND || v->Kind == VK_IMAGE || v->DevicePath != event.devicePath) continue;
        v->State = arrived ? 1 : kVolumeNotReady;
        known = true;
    }
    if (!known) return;
    log_.LogInfo(FormatMessageText(texts_, arrived ? ids::kDeviceMediumConnected : ids::kDeviceMediumRemoved, event.name));
    platform::PostAppMessage(0, msg::kMediaChanged, arrived ? 0x8000 : 0x8004, 0, event.devicePath);
}

}  // namespace tl
