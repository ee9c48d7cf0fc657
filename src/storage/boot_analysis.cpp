// What the first sectors of a volume tell: the boot sector of a FAT, exFAT or NTFS
// file system, or a partition table whose partitions become found volumes.
#include <algorithm>
#include <cstring>
#include <utility>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/file_system_exfat.h"
#include "filesystems/file_system_ntfs.h"
#include "filesystems/found_tree.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/file_system_fat.h"
#include "storage/gpt_partition_table.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005);
constexpr std::size_t kPartitionTableOffset = 446;
constexpr std::size_t kPartitionEntryBytes = 16;
// A chain of extended partitions deeper than this is taken for damage.
constexpr int kMaxExtendedDepth = 256;
// The MBR entry type that protects a GUID partition table.
constexpr std::uint8_t kProtectiveType = 0xEE;
// The sector size a table may count in besides 512 bytes, and the largest
// logical sector size a device may report for its tables.
constexpr std::uint32_t kLargeBlockBytes = 4096;
constexpr std::uint32_t kMaxTableBlockBytes = 65536;

}  // namespace

template <class F>
void CVolume::ChangeRecord(F&& change) {
    const CVolume* parent = GetParent();
    CFoundTree::WithBothLocked(*foundTree_, parent ? *parent->foundTree_ : *foundTree_, std::forward<F>(change));
}

void CVolume::SetRecordSize(std::uint64_t size) {
    // Only this volume's worker, or the thread that sets the volume up,
    // writes the size: the test may read it unlocked.
    if (Size != size) ChangeRecord([&] { Size = size; });
}

void CVolume::MarkConfirmed() {
    ChangeRecord([this] { Flags |= FO_SIGNATURE_MATCH; });
}

void CVolume::LogFatTypeByParameters(const CFileSystem::BootClass& boot) {
    if (!context_.log) return;
    CFileSystem names;
    const std::string type = names.SetTypeName(boot.code);
    const auto clusters = static_cast<std::int64_t>(boot.clusters);
    if (boot.namedCode == 0) {
        context_.log->LogInfo(FormatMessageText(context_.texts, ids::kFatTypeByParametersOnly, GetName(), type, clusters));
    } else {
        const std::string named = names.SetTypeName(boot.namedCode);
        context_.log->LogWarning(
            FormatMessageText(context_.texts, ids::kFatTypeTextDisagrees, GetName(), named, clusters, type));
    }
}

std::uint32_t CVolume::ReadBoot() {
    const std::uint32_t got = ReadSectors(BootSector.data(), 0, std::uint64_t{2});
    if (got == 0 && context_.log)
        context_.log->LogError(FormatMessageText(context_.texts, ids::kCantReadBootSector, GetName()));
    return got;
}

std::int32_t CVolume::Analyse_Boot() {
    if (ReadBoot() < 512) return kFail;
    const std::uint8_t* b = BootSector.data();
    const CFileSystem::BootClass boot = CFileSystem::ClassifyBootSector(std::span<const std::uint8_t>(b, 512));
    const std::uint32_t code = boot.code;
    // Said once per volume, not at each of the analyses that read the boot sector again.
    if (boot.basis == CFileSystem::BootClass::kFatParameters && fileSystem_->TypeCode != code) LogFatTypeByParameters(boot);
    fileSystem_->TypeCode = code;
    if (code != 0 && b[13] != 0) SectorsPerCluster = b[13];

    const auto takeFatFields = [&](bool fat32, const char* noSizeMessage) {
        const std::size_t serialAt = fat32 ? 67 : 39, labelAt = fat32 ? 71 : 43;
        if (const std::uint32_t serial = GetU32(b + serialAt)) SerialNumber = serial;
        // The label the system shows is the root folder's label entry; the
        // boot sector's copy is often left at "NO NAME" when it is set.
        if (Label.empty())
            Label = CFileSystem_FAT::ReadRootLabel(*this, fat32).value_or(CFileSystem_FAT::LabelText(b + labelAt));
        if (TotalSectors == 0) {
            const std::uint32_t large = GetU32(b + 32);
            const std::uint16_t small = GetU16(b + 19);
            // The counts are in the volume's own sectors, which may be larger than 512 bytes.
            const std::uint32_t bytesPerSector = GetU16(b + 11);
            const bool sized = bytesPerSector >= 512 && bytesPerSector <= 4096 && bytesPerSector % 512 == 0;
            TotalSectors = std::uint64_t{large ? large : small} * (sized ? bytesPerSector / 512 : 1);
            if (TotalSectors == 0 && context_.log) context_.log->LogError(noSizeMessage);
        }
    };
    // An image's size is known from its file before its partition table is
    // walked: the walk skips partitions that start beyond the volume.
    if (Kind == VK_IMAGE) {
        if (const auto device = AcquireDevice(); device && device->Size()) {
            SetRecordSize(*device->Size());
            if (Size) TotalSectors = Size / kSectorBytes;
        }
    }
    switch (code) {
    case 0:
        ProcessPartitionTable(0);
        break;
    case 1: case 17: case 4: case 6: case 14: case 134:
        takeFatFields(false, "boot_fat16->BPB.Large_Sectors == 0 && boot_fat16->BPB.Small_Sectors == 0");
        break;
    case 7: case 135:
        if (const std::uint32_t high = GetU32(b + 76)) {
            SerialNumberHigh = high;
            SerialNumber = GetU32(b + 72);
        }
        // The volume's own sector count, so that a found NTFS volume can be
        // scanned and imaged: the 64-bit total at 40 (the boot sector's copy
        // at the end is not counted in it).
        if (TotalSectors == 0) TotalSectors = GetU64(b + 40);
        if (Label.empty()) Label = CFileSystem_NTFS::ReadVolumeLabel(*this);
        break;
    case 11: case 12: case 139: case 140:
        takeFatFields(true, "boot_fat32->BPB.Large_Sectors == 0 && boot_fat32->BPB.Small_Sectors == 0");
        break;
    case CFileSystem_exFAT::kTypeCode:
        if (const auto exfat = CFileSystem_exFAT::ReadBootSector(std::span<const std::uint8_t>(b, 512))) {
            SerialNumber = exfat->serial;
            BytesPerSector = 1u << exfat->bytesPerSectorShift;
            SectorsPerCluster = 1u << exfat->sectorsPerClusterShift;
            const std::uint32_t scale = exfat->bytesPerSectorShift - 9;
            if (TotalSectors == 0 && exfat->volumeLength <= (~std::uint64_t{0} >> scale))
                TotalSectors = exfat->volumeLength << scale;
            if (TotalClusters == 0) TotalClusters = exfat->clusterCount;
            if (Label.empty()) Label = CFileSystem_exFAT::ReadVolumeLabel(*this).value_or("");
        }
        break;
    case 240:
        break;
    default:
        if (context_.log) context_.log->LogError("CVolume::Analyse_Boot.Unknow filesystem ID");
        break;
    }
    if (Size == 0 && TotalSectors != 0) SetRecordSize(TotalSectors * kSectorBytes);
    if (TotalClusters == 0 && TotalSectors != 0 && SectorsPerCluster != 0) TotalClusters = TotalSectors / SectorsPerCluster;
    ClusterSize = SectorsPerCluster * BytesPerSector;
    return 1;
}

CFoundObject* CVolume::AddFileSystemObject(const CFoundObject& record) {
    // The record is readable from the moment it is linked: it takes its
    // volume before the tree's lock is let go.
    bool folder = false;
    CFoundObject* stored = foundTree_->WithLock([&] {
        CFoundObject* added = foundTree_->AddObject(record);
        if (added) {
            added->Volume = this;
            folder = added->IsFolder();
        }
        return added;
    });
    if (!stored) return nullptr;
    HasNewObjects = 1;
    if (folder) ++FsFolders;
    else ++FsFiles;
    return stored;
}

CFoundObject* CVolume::OnObjectFound(CFoundObject& o) {
    // Sectors a volume inside this one claimed are that volume's to scan:
    // what lies there (its own boot sector's copies, its files) is found by
    // its own stage.
    const std::uint64_t sector = o.DataOffset / kSectorBytes;
    if (ClaimedEnd(sector) != 0) return nullptr;
    switch (o.TypeId) {
    case 1: case 4: case 7: case 11: case CFileSystem_exFAT::kTypeCode:
        // A boot sector: a volume that no partition table may list any more.
        o.ParentId = Id;
        o.Flags |= FO_BY_SIGNATURE;  // found by the scan, not listed by a table
        if (context_.addFoundVolume) context_.addFoundVolume(o);
        return nullptr;
    default:
        break;
    }
    if (ScanMode.load() != 0) return nullptr;  // a scan for volumes only
    if (o.TypeId == 24 || o.TypeId == 25) {
        fileSystem_->AddScannedRecords(o);
        return nullptr;
    }
    if (o.TypeId < 30) return nullptr;
    // A signature inside a live file's clusters is that file's content: the
    // live file is listed already, and carving it again would bring it back twice.
    if (InUsedSpace(sector)) return nullptr;
    bool folder = false;
    CFoundObject* taken = foundTree_->WithLock([&]() -> CFoundObject* {
        CFoundObject* added = foundTree_->AddSignatureFile(o);
        if (!added || added->Flags == FO_REFUSED) return nullptr;  // refused: nothing was stored
        added->Volume = this;  // before a reader on another thread can see it
        folder = added->IsFolder();
        return added;
    });
    if (!taken) return nullptr;
    if (folder) {
        ++ScanFolders;
    } else {
        ++ScanFiles;
        if (context_.settings && context_.settings->ShowFileNames() && context_.log)
            context_.log->LogInfo(FormatMessageText(context_.texts, ids::kFoundFile, taken->GetName()));
    }
    return taken;
}

void CVolume::ProcessPartitionTable(std::uint32_t sector) {
    PartitionsListed = 0;
    std::array<std::uint8_t, 512> mbr{};
    const bool hasMbr = ReadSectors(mbr.data(), sector, std::uint64_t{1}) == 512 && GetU16(mbr.data() + 510) == 0xAA55;
    // A GUID partition table lies behind the first sector of a disk only.
    if (sector == 0 && ProcessGuidPartitionTable(hasMbr ? &mbr : nullptr)) return;
    if (!hasMbr) return;
    std::vector<std::uint64_t> visited;
    const std::uint32_t blockBytes = MbrBlockBytes(mbr);
    ProcessTableAt(sector / (blockBytes / kSectorBytes), 0, 0, visited, blockBytes);
}

void CVolume::ProcessTableAt(std::uint64_t block, std::uint64_t extendedStart, int depth,
                             std::vector<std::uint64_t>& visited, std::uint32_t blockBytes) {
    if (depth > kMaxExtendedDepth || std::find(visited.begin(), visited.end(), block) != visited.end()) {
        if (context_.log)
            context_.log->LogWarning(FormatMessageText(context_.texts, ids::kExtendedChainCut, kMaxExtendedDepth, block));
        return;
    }
    visited.push_back(block);
    const std::uint64_t scale = blockBytes / kSectorBytes;
    const std::uint64_t diskBlocks = TotalSectors / scale;
    std::array<std::uint8_t, 512> table{};
    if (ReadSectors(table.data(), block * scale, std::uint64_t{1}) != 512) return;
    if (GetU16(table.data() + 510) != 0xAA55) return;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* e = table.data() + kPartitionTableOffset + i * kPartitionEntryBytes;
        const std::uint8_t type = e[4];
        const std::uint32_t first = GetU32(e + 8);
        const std::uint32_t count = GetU32(e + 12);
        if (type == 0 || count == 0) continue;
        // The protective entry of a GUID partition table is no partition,
        // also when that table could not be read.
        if (type == kProtectiveType) continue;
        const bool extended = type == 5 || type == 15;
        // Links of the chain count from the start of the outermost extended
        // partition (the first one found is that start), partitions from
        // their own table.
        const std::uint64_t absolute = !extended ? block + first : depth == 0 ? std::uint64_t{first} : extendedStart + first;
        if (absolute >= diskBlocks) {
            // A volume of unknown size (0) walks no table at all.
            if (context_.log && TotalSectors != 0)
                context_.log->LogWarning(
                    FormatMessageText(context_.texts, ids::kPartitionBeyondDisk, type, absolute, diskBlocks));
            continue;
        }
        if (count > diskBlocks && context_.log) context_.log->LogWarning("pPartition->NumberSectors > TotalSectors");
        if (extended) {
            ProcessTableAt(absolute, depth == 0 ? first : extendedStart, depth + 1, visited, blockBytes);
            continue;
        }
        CFoundObject found;
        found.Init();
        found.DataOffset = absolute * blockBytes;
        found.ParentId = Id;
        found.TypeId = static_cast<std::int16_t>(type);
        found.Size = std::uint64_t{count} * blockBytes;  // the partition's own length
        PartitionEntry entry;
        entry.StartingOffset = found.DataOffset;
        entry.PartitionLength = found.Size;
        entry.PartitionNumber = depth == 0 ? static_cast<std::uint32_t>(i + 1) : 0;
        entry.PartitionType = type;
        entry.BootIndicator = e[0];
        entry.RecognizedPartition = 1;
        ReportPartition(found, entry);
    }
}

void CVolume::ReportPartition(const CFoundObject& record, const PartitionEntry& entry) {
    ++PartitionsListed;
    // A partition the system lists is a child of this disk already.
    const bool listed = std::any_of(Children.begin(), Children.end(), [&](const CVolume* child) {
        return child != this && child->Layout.Entries[0].StartingOffset == record.DataOffset;
    });
    if (listed) return;
    if (context_.addPartition) context_.addPartition(record, entry);
    else if (context_.addFoundVolume) context_.addFoundVolume(record);
}

std::uint32_t CVolume::DeviceBlockBytes() const {
    // Images and found volumes have no sector size of their own: their
    // tables are taken to count 512 bytes unless they show otherwise.
    const std::uint32_t bps = BytesPerSector;
    if ((Kind == VK_PHYSICAL || Kind == VK_LOGICAL) && bps >= kSectorBytes && bps <= kMaxTableBlockBytes &&
        (bps & (bps - 1)) == 0)
        return bps;
    return static_cast<std::uint32_t>(kSectorBytes);
}

std::uint32_t CVolume::MbrBlockBytes(const std::array<std::uint8_t, 512>& mbr) {
    const std::uint32_t device = DeviceBlockBytes();
    const std::uint32_t other = device == kSectorBytes ? kLargeBlockBytes : static_cast<std::uint32_t>(kSectorBytes);
    // How many of the table's partitions begin with a boot sector (or, for
    // an extended partition, a table) when its sectors are `blockBytes` long.
    const auto fits = [&](std::uint32_t blockBytes) {
        const std::uint64_t scale = blockBytes / kSectorBytes;
        int hits = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* e = mbr.data() + kPartitionTableOffset + i * kPartitionEntryBytes;
            const std::uint8_t type = e[4];
            const std::uint64_t first = GetU32(e + 8);
            if (type == 0 || type == kProtectiveType || GetU32(e + 12) == 0 || first >= TotalSectors / scale) continue;
            std::array<std::uint8_t, 512> boot{};
            if (ReadSectors(boot.data(), first * scale, std::uint64_t{1}) != 512) continue;
            const bool extended = type == 5 || type == 15;
            if (extended ? GetU16(boot.data() + 510) == 0xAA55 : CFileSystem::ClassifyBoot(boot) != 0) ++hits;
        }
        return hits;
    };
    if (fits(device) > 0 || fits(other) == 0) return device;
    if (context_.log)
        context_.log->LogInfo(FormatMessageText(context_.texts, ids::kTableSectorSize, GetName(), static_cast<int>(other),
                                                static_cast<int>(device)));
    return other;
}

bool CVolume::ProcessGuidPartitionTable(const std::array<std::uint8_t, 512>* mbr) {
    // The backup table lies at the end: a volume of unknown size has none.
    if (TotalSectors == 0) return false;
    int protective = 0, others = 0;
    if (mbr) {
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t type = (*mbr)[kPartitionTableOffset + i * kPartitionEntryBytes + 4];
            if (type == kProtectiveType) ++protective;
            else if (type != 0) ++others;
        }
        // An MBR without the protective entry is the disk's table, whatever
        // an older GUID table behind it still says.
        if (protective == 0) return false;
    }
    const std::uint32_t device = DeviceBlockBytes();
    const std::uint32_t other = device == kSectorBytes ? kLargeBlockBytes : static_cast<std::uint32_t>(kSectorBytes);
    const std::uint64_t sectors = std::min<std::uint64_t>(TotalSectors, ~std::uint64_t{0} / kSectorBytes);
    const CGptPartitionTable::BlockReader reader = [this](std::uint64_t offset, std::span<std::uint8_t> out) {
        return ReadSectors(out.data(), offset / kSectorBytes, std::uint64_t{out.size() / kSectorBytes}) == out.size();
    };
    const auto tableOf = [&](std::uint32_t blockBytes) {
        return CGptPartitionTable(reader, blockBytes, sectors / (blockBytes / kSectorBytes), context_.texts, GetName());
    };
    // The device's sector size first; a header found only one block of the
    // other size in tells that the table counts in that size (a disk
    // written in an enclosure of 4096-byte sectors, or an image of one).
    CGptPartitionTable table = tableOf(device);
    if (!table.HasPrimarySignature()) {
        CGptPartitionTable larger = tableOf(other);
        if (larger.HasPrimarySignature()) table = std::move(larger);
        else if (!mbr) return false;  // neither an MBR nor a GUID header: nothing to read
    }
    const CGptPartitionTable::Outcome outcome = table.Read();
    const auto log = context_.log;
    if (outcome == CGptPartitionTable::Outcome::Absent || outcome == CGptPartitionTable::Outcome::Damaged) {
        if (log) {
            for (const std::string& line : table.Problems()) log->LogWarning(line);
            log->LogError(FormatMessageText(context_.texts, ids::kGptBothDamaged, GetName()));
        }
        return false;
    }
    if (log) {
        if (table.BlockBytes() != device)
            log->LogInfo(FormatMessageText(context_.texts, ids::kTableSectorSize, GetName(),
                                           static_cast<int>(table.BlockBytes()), static_cast<int>(device)));
        if (!mbr) log->LogWarning(FormatMessageText(context_.texts, ids::kGptNoProtectiveMbr, GetName()));
        if (others > 0) log->LogInfo(FormatMessageText(context_.texts, ids::kGptHybridMbr, GetName(), others));
        for (const std::string& line : table.Problems()) log->LogWarning(line);
    }
    const std::uint64_t scale = table.BlockBytes() / kSectorBytes;
    for (const GptPartition& p : table.Partitions()) {
        const std::uint64_t first = p.FirstBlock * scale;  // in 512-byte sectors, inside the disk
        const std::uint64_t length = (p.LastBlock - p.FirstBlock + 1) * table.BlockBytes();
        if (log)
            log->LogDebug(FormatMessageText(context_.texts, ids::kGptPartitionFound, GetName(), static_cast<int>(p.Number), p.Name,
                                            CGptPartitionTable::TypeText(p.TypeGuid, context_.texts),
                                            static_cast<std::int64_t>(p.FirstBlock),
                                            static_cast<std::int64_t>(p.LastBlock - p.FirstBlock + 1)));
        // The type GUID does not tell FAT from NTFS: the boot sector does,
        // so that the file-system stage runs on the volume.
        std::array<std::uint8_t, 512> boot{};
        const std::uint32_t code =
            ReadSectors(boot.data(), first, std::uint64_t{1}) == 512 ? CFileSystem::ClassifyBoot(boot) : 0;
        CFoundObject found;
        found.Init();
        found.DataOffset = first * kSectorBytes;
        found.ParentId = Id;
        found.TypeId = static_cast<std::int16_t>(code);
        found.Size = length;
        PartitionEntry entry;
        entry.StartingOffset = found.DataOffset;
        entry.PartitionLength = length;
        entry.PartitionNumber = p.Number;
        entry.RecognizedPartition = 1;
        entry.PartitionStyle = kPartitionStyleGpt;
        entry.PartitionTypeGuid = p.TypeGuid;
        entry.PartitionId = p.UniqueGuid;
        entry.GptAttributes = p.Attributes;
        entry.Name = p.Name;
        ReportPartition(found, entry);
    }
    return true;
}

}  // namespace tl
