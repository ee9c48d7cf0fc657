#include "filesystems/file_system.h"

#include "filesystems/file_system_exfat.h"
#include "filesystems/file_system_kinds.h"

#include <cstring>
#include <string_view>

namespace tl {

CFileSystem::CFileSystem() { SetTypeName(0xFFFFFFFF); }

const std::string& CFileSystem::SetTypeName(std::uint32_t code) {
    const FileSystemKind* kind = FindFileSystemKind(code);
    if (!kind || !kind->named) {
        TypeName = "Unknown";
        return TypeName;
    }
    TypeName = kind->name;
    knownTypeMark_ = 0;
    return TypeName;
}

namespace {

std::uint16_t U16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t{U16(b, at)} | std::uint32_t{U16(b, at + 2)} << 16;
}
bool PowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// "FATxx" at `offset` followed by blanks or NULs up to 8 bytes.
bool NamedAt(std::span<const std::uint8_t> b, std::size_t offset, std::string_view name) {
    if (b.size() < offset + 8 || std::memcmp(b.data() + offset, name.data(), name.size()) != 0) return false;
    for (std::size_t i = name.size(); i < 8; ++i)
        if (b[offset + i] != ' ' && b[offset + i] != 0) return false;
    return true;
}

// The FAT type the boot parameters give by their cluster count (1, 4 or
// 11), or 0 when they do not describe a FAT volume.
std::uint32_t TypeByParameters(std::span<const std::uint8_t> b, std::uint64_t& clusters) {
    clusters = 0;
    if (b.size() < 512) return 0;
    const std::uint32_t bps = U16(b, 11), spc = b[13], reserved = U16(b, 14), fats = b[16];
    const std::uint32_t rootEntries = U16(b, 17), media = b[21];
    if (bps < 512 || bps > 4096 || !PowerOfTwo(bps) || !PowerOfTwo(spc) || reserved == 0) return 0;
    if ((fats != 1 && fats != 2) || (media != 0xF0 && media < 0xF8)) return 0;
    const std::uint64_t total = U16(b, 19) ? U16(b, 19) : U32(b, 32);
    const std::uint32_t fatSize16 = U16(b, 22);
    const std::uint64_t fatSize = fatSize16 ? fatSize16 : U32(b, 36);
    const std::uint64_t rootSectors = (std::uint64_t{rootEntries} * 32 + bps - 1) / bps;
    const std::uint64_t dataStart = reserved + fats * fatSize + rootSectors;
    if (fatSize == 0 || total <= dataStart) return 0;
    const std::uint64_t count = (total - dataStart) / spc;
    const std::uint32_t code = count < 4085 ? 1 : count < 65525 ? 4 : 11;
    // The width the count gives must be the layout the parameters have:
    // FAT32 keeps its root in clusters and its table size at 36.
    const bool fat32Layout = fatSize16 == 0 && rootEntries == 0;
    if ((code == 11) != fat32Layout || (code != 11 && (fatSize16 == 0 || rootEntries == 0))) return 0;
    if (code == 11 && (count > 0x0FFFFFF5 || U32(b, 44) < 2 || U32(b, 44) > count + 1)) return 0;
    // Every cluster, and the two reserved entries, must have an entry in the table.
    const std::uint64_t bits = code == 1 ? 12 : code == 4 ? 16 : 32;
    if (fatSize * bps * 8 / bits < count + 2) return 0;
    clusters = count;
    return code;
}

// Four entries whose boot flags are 0 or 0x80, one of them in use, before
// the signature: what a partition table looks like.
bool LooksLikePartitionTable(std::span<const std::uint8_t> b) {
    if (b.size() < 512 || U16(b, 510) != 0xAA55) return false;
    bool used = false;
    for (std::size_t e = 446; e < 510; e += 16) {
        if (b[e] != 0 && b[e] != 0x80) return false;
        used |= b[e + 4] != 0 && U32(b, e + 8) != 0 && U32(b, e + 12) != 0;
    }
    return used;
}

}  // namespace

CFileSystem::BootClass CFileSystem::ClassifyBootSector(std::span<const std::uint8_t> boot) {
    BootClass c;
    if (NamedAt(boot, 54, "FAT12")) c.namedCode = 1;
    else if (NamedAt(boot, 54, "FAT16")) c.namedCode = 4;
    else if (NamedAt(boot, 82, "FAT32")) c.namedCode = 11;
    const bool generic = NamedAt(boot, 54, "FAT") || NamedAt(boot, 82, "FAT");
    const std::uint32_t byParameters = TypeByParameters(boot, c.clusters);

    if (c.namedCode != 0 && (byParameters == 0 || byParameters == c.namedCode)) {
        c.code = c.namedCode;
        c.basis = BootClass::kFatName;
        return c;
    }
    const auto oemName = [&](const char* text) { return boot.size() >= 11 && std::memcmp(boot.data() + 3, text, 8) == 0; };
    if (c.namedCode == 0 && oemName("NTFS    ")) {
        c.code = 7;
        c.basis = BootClass::kNtfsName;
        return c;
    }
    if (c.namedCode == 0 && CFileSystem_exFAT::ReadBootSector(boot)) {
        c.code = CFileSystem_exFAT::kTypeCode;
        c.basis = BootClass::kExFatName;
        return c;
    }
    // Without a type text the parameters alone must not turn a partition
    // table or another file system's boot sector into a FAT volume.
    if (byParameters != 0 &&
        (c.namedCode != 0 || generic || (!LooksLikePartitionTable(boot) && !oemName("EXFAT   ")))) {
        c.code = byParameters;
        c.basis = BootClass::kFatParameters;
    }
    return c;
}

int CFileSystem::FamilyOf(std::uint32_t code) { return FileSystemFamilyOf(code); }

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
