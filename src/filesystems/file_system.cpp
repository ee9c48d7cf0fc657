#include "filesystems/file_system.h"

#include <cstring>

namespace tl {

CFileSystem::CFileSystem() { SetTypeName(0xFFFFFFFF); }

const std::string& CFileSystem::SetTypeName(std::uint32_t code) {
    switch (code) {
    case 1: TypeName = "FAT12"; break;
    case 4:
    case 6: TypeName = "FAT16"; break;
    case 7:
    case 128: TypeName = "NTFS"; break;
    case 11:
    case 12: TypeName = "FAT32"; break;
    default: TypeName = "Unknown"; return TypeName;
    }
    knownTypeMark_ = 0;
    return TypeName;
}

std::uint32_t CFileSystem::ClassifyBoot(std::span<const std::uint8_t> boot) {
    const auto at = [&](std::size_t offset, const char* text) {
        return boot.size() >= offset + 8 && std::memcmp(boot.data() + offset, text, 8) == 0;
    };
    if (at(54, "FAT12   ")) return 1;
    if (at(54, "FAT16   ")) return 4;
    if (at(82, "FAT32   ")) return 11;
    if (at(3, "NTFS    ")) return 7;
    return 0;
}

int CFileSystem::FamilyOf(std::uint32_t code) {
    switch (code) {
    case 1: case 4: case 6: case 11: case 12: case 14: case 17: case 20: case 22: case 27: case 28: case 30:
        return kFamilyFat;
    case 7:
        return kFamilyNtfs;
    default:
        return kFamilyOther;
    }
}

int CFileSystem::GetFamily(std::uint32_t code) {
    if (code != 2) TypeCode = code;
    return FamilyOf(TypeCode);
}

bool CFileSystem::BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) {
    runs.push_back(CLUSTER_RUN{record.StartPos, 0});
    return true;
}

bool CFileSystem::BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) {
    std::vector<CLUSTER_RUN> clusters;
    if (!BuildClusterRuns(record, clusters)) return false;
    // Sizes are unsigned here: "not positive" is a size of 0 or unknown (all ones).
    const bool known = record.Size != 0 && record.Size != CFoundObject::kUnknownSize;
    const std::uint64_t sectors = known ? record.Size / 512 + (record.Size % 512 != 0) : 0;
    for (const auto& c : clusters) runs.push_back(SECTOR_RUN{c.FirstCluster, sectors});
    return true;
}

}  // namespace tl
