#include "storage/volume_info.h"

#include <cstdio>

#include "app/languages.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "storage/gpt_partition_table.h"
#include "storage/volume.h"

namespace tl {
namespace {

std::string Text(const CLanguages* texts, unsigned id) {
    return texts ? texts->GetString(id) : std::string(BuiltinString(id));
}

}  // namespace

std::string SizeText(std::uint64_t s, const CLanguages* texts) {
    std::string out;
    const auto unit = [&](std::uint64_t divisor, const char* name) {
        out = std::to_string(s / divisor) + " " + name;
    };
    if (s > 1073741824ULL) unit(1073741824ULL, "GB");
    else if (s > 1048576ULL) unit(1048576ULL, "MB");
    else if (s > 1024ULL) unit(1024ULL, "KB");
    return out + " (" + GroupedDigits(s) + " " + Text(texts, ids::kBytes) + ")";
}

std::string SerialText(std::uint32_t high, std::uint32_t low) {
    char buf[32];
    if (high) std::snprintf(buf, sizeof buf, "%X%X", high, low);
    else std::snprintf(buf, sizeof buf, "%X", low);
    return buf;
}

std::string StateText(std::int32_t state, const CLanguages* texts) {
    switch (state) {
    case 0: return Text(texts, ids::kStateInformationRequest);
    case 1: return Text(texts, ids::kReady);
    case 2:
    case 4: return Text(texts, ids::kStateAnalyzing);
    default: return Text(texts, ids::kStateNotReady);
    }
}

std::string DriveTypeText(std::uint32_t driveType, const CLanguages* texts) {
    switch (driveType) {
    case 2: return Text(texts, ids::kTypeRemovable);
    case 3: return Text(texts, ids::kTypeFixed);
    case 5: return Text(texts, ids::kTypeCdDvd);
    case 7: return Text(texts, ids::kTypeOsFile);
    case 8: return Text(texts, ids::kTypeVolumeImage);
    case 16: return Text(texts, ids::kTypeFound);
    default: return Text(texts, ids::kUnknown);
    }
}

std::string CategoryText(std::uint32_t kind, const CLanguages* texts) {
    switch (kind) {
    case VK_PHYSICAL: return Text(texts, ids::kCategoryPhysical);
    case VK_LOGICAL: return Text(texts, ids::kCategoryLogical);
    case VK_VIRTUAL: return Text(texts, ids::kCategoryVirtual);
    case 7: return Text(texts, ids::kTypeOsFile);
    case VK_IMAGE: return Text(texts, ids::kTypeVolumeImage);
    case VK_FOUND: return Text(texts, ids::kTypeFound);
    default: return {};
    }
}

std::vector<InfoRow> VolumeInformationRows(CVolume& v, const CLanguages* texts) {
    std::vector<InfoRow> rows;
    const auto row = [&](unsigned id, std::string value) { rows.emplace_back(Text(texts, id), std::move(value)); };
    const auto spacer = [&] { rows.emplace_back(std::string(), std::string()); };
    spacer();
    // Found volumes have no drive type of the system: their kind says "Found".
    row(ids::kInfoType, DriveTypeText(v.DriveType ? v.DriveType : static_cast<std::uint32_t>(v.Kind), texts));
    row(ids::kInfoCategory, CategoryText(v.Kind, texts));
    spacer();
    row(ids::kInfoSystemPath, v.GetDevicePath());
    if (v.Size > 0) row(ids::kInfoTotalSpace, SizeText(v.Size, texts));
    const auto imageRows = [&] {
        row(ids::kInfoLabel, v.Label);
        row(ids::kInfoFileSystem, v.GetFileSystemName());
        spacer();
        row(ids::kInfoClusterSize, std::to_string(std::uint64_t{v.SectorsPerCluster} * v.BytesPerSector));
        row(ids::kInfoTotalClusters, std::to_string(v.TotalClusters));
        row(ids::kInfoTotalSectors, std::to_string(v.TotalSectors));
    };
    // What the partition table says of a partition or found volume.
    const auto partitionRows = [&] {
        const PartitionEntry& entry = v.Layout.Entries[0];
        if (!entry.Name.empty()) row(ids::kInfoPartitionName, entry.Name);
        if (entry.PartitionStyle == kPartitionStyleGpt)
            row(ids::kInfoPartitionType, CGptPartitionTable::TypeText(entry.PartitionTypeGuid, texts));
    };
    switch (v.Kind) {
    case VK_PHYSICAL:
        row(ids::kInfoDeviceNumber, std::to_string(v.Letter));
        row(ids::kInfoMediaType, v.Geometry.MediaType == 11   ? Text(texts, ids::kMediaRemovableNotFloppy)
                                 : v.Geometry.MediaType == 12 ? Text(texts, ids::kMediaFixedHardDisk)
                                                              : std::string());
        if (v.Geometry.Cylinders != 0) {
            spacer();
            row(ids::kInfoDriveGeometry, {});
            row(ids::kInfoCylinders, std::to_string(v.Geometry.Cylinders));
            row(ids::kInfoTracksPerCylinder, std::to_string(v.Geometry.TracksPerCylinder));
            row(ids::kInfoSectorsPerTrack, std::to_string(v.Geometry.SectorsPerTrack));
            row(ids::kInfoBytesPerSector, std::to_string(v.BytesPerSector));
        }
        break;
    case VK_LOGICAL:
        // Linux names a partition by its device, where other systems give a letter.
        row(ids::kInfoDriveLetter, v.GetName());
        imageRows();
        partitionRows();
        break;
    case VK_IMAGE:
        imageRows();
        break;
    case VK_FOUND:
        imageRows();
        partitionRows();
        break;
    default:
        break;
    }
    if (v.SerialNumber != 0) row(ids::kInfoSerialNumber, SerialText(v.SerialNumberHigh, v.SerialNumber));
    spacer();
    row(ids::kInfoState, StateText(v.State.load(), texts));
    return rows;
}

VolumeProperties GetVolumeProperties(CVolume& v, const CLanguages* texts) {
    VolumeProperties p;
    p.name = v.GetName();
    p.fileSystem = v.GetFileSystemName();
    p.status = StateText(v.State.load(), texts);
    p.label = v.Label;
    p.serial = v.SerialNumber ? SerialText(v.SerialNumberHigh, v.SerialNumber) : std::string();
    if (v.Size > 0) p.totalSpace = SizeText(v.Size, texts);
    if (v.FreeBytes > 0) p.freeSpace = SizeText(v.FreeBytes, texts);
    static constexpr std::pair<const char*, std::uint32_t> kCapabilities[] = {
        {"Named streams:", 0x40000},
        {"Read only:", 0x80000},
        {"Object identifiers:", 0x10000},
        {"Reparse points:", 0x80},
        {"Sparse files:", 0x40},
        {"File-based compression:", 0x10},
        {"Case-sensitive file names:", 0x1},
        {"Preserves the case of file names:", 0x2},
        {"Disk quotas:", 0x20},
        {"Encrypted file system (EFS):", 0x20000},
        {"Preserves and enforces ACLs:", 0x8},
        {"Unicode in filenames as they appear on disk:", 0x4},
        {"Compressed volume:", 0x8000},
    };
    for (const auto& [label, bit] : kCapabilities)
        p.capabilities.emplace_back(label, (v.FileSystem().FsFlags & bit) ? Text(texts, ids::kYes) : std::string("No"));
    p.offsetFromPhysical = v.VolumeOffset;
    p.sectorsPerCluster = v.ClusterSize / 512;
    p.bytesPerSector = v.BytesPerSector;
    p.bytesPerCluster = v.ClusterSize;
    return p;
}

}  // namespace tl
