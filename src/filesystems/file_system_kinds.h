// The file-system kinds this program knows, by their partition-type codes:
// the one table that says, for a code, its family, its name, the layout its
// parser reads and how the parser is made. The base file system, the
// analysis driver, the list of found volumes and the FAT parser all ask it.
#pragma once

#include <cstdint>
#include <memory>

#include "filesystems/file_system.h"

namespace tl {

class CVolume;

// The root node's id is the one the boot sector gives (FAT32: the root
// directory's first cluster).
inline constexpr std::uint64_t kRootIdFromBootSector = ~std::uint64_t{0};

struct FileSystemKind {
    std::uint32_t code;
    FileSystemFamily family;
    // The layout's name: "FAT12", "FAT16", "FAT32", "NTFS" or "exFAT".
    const char* name;
    // The code's own name: SetTypeName gives `name` only for these codes,
    // "Unknown" for the other codes of a family.
    bool named;
    // The code of the layout the kind shares (1, 4, 11 or 7): what a volume
    // found by a partition entry or a boot sector is given.
    std::uint32_t layoutCode;
    // The code the parser keeps, and the volume shows once it is analysed;
    // 0 when no parser reads the kind.
    std::uint32_t parserCode;
    // Bits of a FAT entry: 12, 16 or 32; 0 outside the FAT family.
    std::uint8_t fatBits;
    // The root node's id: 0 on FAT12/16, the MFT record of the root folder
    // (5) on NTFS, kRootIdFromBootSector on FAT32.
    std::uint64_t rootId;
};

// The kind of `code`, or null for a code no kind has.
const FileSystemKind* FindFileSystemKind(std::uint32_t code);

// The family of `code`: kFamilyOther for a code no parser reads.
FileSystemFamily FileSystemFamilyOf(std::uint32_t code);

// Bits of a FAT entry for `code`: 12, 16, 32, or 0 outside the FAT family.
std::uint8_t FatEntryBits(std::uint32_t code);

// The parser that reads `volume`'s file system of kind `code`, and the id its
// root node takes. No parser for a code without one.
struct OpenedFileSystem {
    std::unique_ptr<CFileSystem> parser;
    std::uint64_t rootId = 0;
};
OpenedFileSystem OpenFileSystem(CVolume& volume, std::uint32_t code);

}  // namespace tl
