// The record of everything found on a volume: a live or deleted file or
// folder of a file system, a file recognised by its signature in raw sectors,
// a folder made up for a parent that was never found, or a volume seen on a
// disk (CVolume derives from this record so that a volume is a node of the
// trees). Records are plain values, copied by value; the found-object tree
// keeps the stored ones at fixed addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tl {

class CVolume;

// Flags of a record.
inline constexpr std::uint16_t FO_DELETED = 0x0001;          // deleted or lost (also every signature-found file)
inline constexpr std::uint16_t FO_SCANNED_FILE = 0x0002;     // record met by the sector scan that is not a directory
inline constexpr std::uint16_t FO_FOLDER = 0x0004;
inline constexpr std::uint16_t FO_HAS_DELETED = 0x0010;      // deleted folder, or one with a deleted descendant
inline constexpr std::uint16_t FO_ENCLOSING = 0x0020;        // a size from the content that holds what is found inside it (a container's own length)
inline constexpr std::uint16_t FO_FS_RUNS = 0x0040;          // content located through the file-system parser
inline constexpr std::uint16_t FO_NAMED = 0x0080;            // Name has been set
inline constexpr std::uint16_t FO_MFT_RECORD = 0x0100;       // made from an MFT record the sector scan recognised
inline constexpr std::uint16_t FO_LOST_FOLDER = 0x0200;      // placeholder for a missing parent
inline constexpr std::uint16_t FO_NAME_OWNED = 0x0400;       // Name was set by SetName
inline constexpr std::uint16_t FO_CONTENT_SIZE = 0x0800;     // a signature-found file's size comes from its content, not an estimate
inline constexpr std::uint16_t FO_BY_SIGNATURE = 0x1000;     // contiguous file found by the sector scan
inline constexpr std::uint16_t FO_SIGNATURE_MATCH = 0x2000;  // known to the signature search
inline constexpr std::uint16_t FO_VOLUME = 0x4000;           // the node is a volume
inline constexpr std::uint16_t FO_STREAM = 0x8000;           // a named data stream of a file ("name:stream"), listed beside it
// Flags of an offered record that the tree refused (another object already
// lies at its offset); such a record is never stored.
inline constexpr std::uint16_t FO_REFUSED = 0xFFFF;

// Identifiers of the two fixed containers of every tree (two's complement).
inline constexpr std::uint64_t ID_LOST_FRAGMENTS = static_cast<std::uint64_t>(-18);  // holds the placeholders
inline constexpr std::uint64_t ID_LOST_FILES = static_cast<std::uint64_t>(-19);      // holds the signature groups

// The failure result of CheckBounds (E_FAIL).
inline constexpr std::int32_t kFoundObjectOutOfBounds = static_cast<std::int32_t>(0x80004005);

// 512-byte sectors relative to the volume start.
struct SECTOR_RUN {
    std::uint64_t FirstSector = 0;
    std::uint64_t SectorCount = 0;
};

struct CLUSTER_RUN {
    std::uint64_t FirstCluster = 0;
    std::uint64_t ClusterCount = 0;
};

// The start of a run that has no clusters on the disk (a sparse range of an
// NTFS file): it reads as zeros.
inline constexpr std::uint64_t kSparseRunStart = ~std::uint64_t{0};

struct CFoundObject {
    static constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};
    static constexpr std::uint32_t kNoTreeItem = 0xFFFFFFFF;

    // The member initialisers are the initial state that Init restores.
    std::uint64_t StartPos = 0;  // FAT: first cluster; NTFS: first LCN; 0 for signature-found files
    std::uint64_t Size = kUnknownSize;
    std::uint64_t DataOffset = 0;  // byte offset of the first content byte from the volume start
    // The narrow fields side by side: a volume can hold millions of records.
    std::uint16_t Flags = 0;
    std::uint16_t Attributes = 0;  // FAT attribute byte; else 0
    std::int16_t TypeId = 0;  // signature id, or the type of the name's extension; 0 = none
    std::uint32_t TreeItem = kNoTreeItem;  // the interface's item for this record
    std::uint64_t Id = 0;
    std::uint64_t ParentId = 0;
    std::uint64_t CreationTime = 0;  // file times: 100 ns since 1601, UTC
    std::uint64_t ModificationTime = 0;
    std::uint64_t AccessTime = 0;
    std::string Name;  // UTF-8; empty = no name
    CVolume* Volume = nullptr;  // owning volume; a volume's own node points to itself

    void Init();

    // Stores a copy of `text` and sets FO_NAMED | FO_NAME_OWNED. A null
    // pointer leaves the name as it is.
    void SetName(std::string_view text);
    void SetName(const char* text);
    // The name, or "Unknown" when there is none.
    std::string GetName() const;

    bool IsDeleted() const { return (Flags & FO_DELETED) != 0; }
    bool IsFolder() const { return (Flags & FO_FOLDER) != 0; }
    // A signature-found file whose size neither its content nor a file
    // system told: an estimate, settled when it is recovered.
    bool HasEstimatedSize() const {
        return (Flags & FO_BY_SIGNATURE) != 0 && (Flags & (FO_FS_RUNS | FO_CONTENT_SIZE)) == 0;
    }
    bool HasDeleted() const { return (Flags & FO_HAS_DELETED) != 0; }

    // 0 when neither Size nor DataOffset exceeds `volumeSize`, else
    // kFoundObjectOutOfBounds. An unknown size is out of bounds.
    std::int32_t CheckBounds(std::uint64_t volumeSize) const;
};

}  // namespace tl
