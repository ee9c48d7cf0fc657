#include "filesystems/file_system_kinds.h"

#include <array>
#include <iterator>

#include "filesystems/file_system_exfat.h"
#include "filesystems/file_system_fat.h"
#include "filesystems/file_system_ntfs.h"

namespace tl {
namespace {

constexpr std::uint64_t kFatRoot = 0;
constexpr std::uint64_t kNtfsRoot = CFileSystem_NTFS::kRootRecord;

// Codes the FAT parser has no table decoding of its own for are read as
// their family's layout (parserCode); 128 is only a name.
constexpr FileSystemKind kKinds[] = {
    // code  family        name     named  layout parser bits root
    {1, kFamilyFat, "FAT12", true, 1, 1, 12, kFatRoot},
    {4, kFamilyFat, "FAT16", true, 4, 4, 16, kFatRoot},
    {6, kFamilyFat, "FAT16", true, 4, 6, 16, kFatRoot},
    {7, kFamilyNtfs, "NTFS", true, 7, 7, 0, kNtfsRoot},
    {11, kFamilyFat, "FAT32", true, 11, 11, 32, kRootIdFromBootSector},
    {12, kFamilyFat, "FAT32", true, 11, 11, 32, kRootIdFromBootSector},
    {14, kFamilyFat, "FAT16", false, 4, 4, 16, kFatRoot},
    {17, kFamilyFat, "FAT12", false, 1, 17, 12, kFatRoot},
    {20, kFamilyFat, "FAT16", false, 4, 4, 16, kFatRoot},
    {22, kFamilyFat, "FAT16", false, 4, 4, 16, kFatRoot},
    {27, kFamilyFat, "FAT32", false, 11, 11, 32, kRootIdFromBootSector},
    {28, kFamilyFat, "FAT32", false, 11, 11, 32, kRootIdFromBootSector},
    {30, kFamilyFat, "FAT16", false, 4, 4, 16, kFatRoot},
    {128, kFamilyOther, "NTFS", true, 0, 0, 0, kNtfsRoot},
    {CFileSystem_exFAT::kTypeCode, kFamilyExFat, "exFAT", true, CFileSystem_exFAT::kTypeCode,
     CFileSystem_exFAT::kTypeCode, 0, CFileSystem_exFAT::RootId()},
};

// Every code is below 512 (the partition-type bytes, and exFAT's beyond
// them): a kind is found by one look-up.
constexpr std::array<std::int8_t, 512> kIndexByCode = [] {
    std::array<std::int8_t, 512> index{};
    index.fill(-1);
    for (std::size_t i = 0; i < std::size(kKinds); ++i) index[kKinds[i].code] = static_cast<std::int8_t>(i);
    return index;
}();

}  // namespace

const FileSystemKind* FindFileSystemKind(std::uint32_t code) {
    if (code >= kIndexByCode.size() || kIndexByCode[code] < 0) return nullptr;
    return &kKinds[kIndexByCode[code]];
}

FileSystemFamily FileSystemFamilyOf(std::uint32_t code) {
    const FileSystemKind* kind = FindFileSystemKind(code);
    return kind ? kind->family : kFamilyOther;
}

std::uint8_t FatEntryBits(std::uint32_t code) {
    const FileSystemKind* kind = FindFileSystemKind(code);
    return kind ? kind->fatBits : 0;
}

OpenedFileSystem OpenFileSystem(CVolume& volume, std::uint32_t code) {
    const FileSystemKind* kind = FindFileSystemKind(code);
    if (!kind || kind->parserCode == 0) return {};
    if (kind->family == kFamilyFat) {
        auto fat = std::make_unique<CFileSystem_FAT>(volume);
        fat->TypeCode = kind->parserCode;
        fat->ReadBootParameters();
        // The root node takes the root directory's own cluster on FAT32, so
        // that the root's entries hang under it whatever that cluster is.
        const std::uint64_t rootId = fat->RootId();
        return {std::move(fat), rootId};
    }
    if (kind->family == kFamilyNtfs) return {std::make_unique<CFileSystem_NTFS>(volume), kind->rootId};
    if (kind->family == kFamilyExFat) return {std::make_unique<CFileSystem_exFAT>(volume), kind->rootId};
    return {};
}

}  // namespace tl
