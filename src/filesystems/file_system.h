// The parser of one volume's file system. Every volume holds one: at first
// this plain base, which only knows the type code and name of the file
// system; a file-system analysis replaces it with the FAT, exFAT or NTFS parser,
// which walks the on-disk structures and fills the volume's found-object tree.
//
// Type codes are the partition-type byte values of the MBR table; the kinds
// this program reads, and the parser of each, are listed in
// filesystems/file_system_kinds.h.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {

class CVolume;

// A file's content that its file system must decode before it can be read
// (a compressed NTFS stream), read a unit at a time: unit i holds the bytes
// from i * UnitBytes, the last unit fewer.
class CContentDecoder {
public:
    virtual ~CContentDecoder() = default;
    // True when the unit has no clusters on the disk: it reads as zeros.
    virtual bool IsHole(std::uint64_t unit) const = 0;
    // The unit's bytes into `out` (resized to UnitBytes; the part past Size
    // is zero). False when they cannot be read, and when they cannot be
    // decoded, with Problem then saying why.
    virtual bool ReadUnit(std::uint64_t unit, std::vector<std::uint8_t>& out) = 0;

    std::uint64_t Size = 0;       // bytes of content
    std::uint64_t UnitBytes = 0;  // never 0
    std::string Problem;
};

// How a record's content is stored, as far as a reader needs to know more
// than its runs.
struct CONTENT_FORM {
    // Bytes from this one on read as zeros whatever the clusters hold (the
    // initialised length of an NTFS stream); all ones: every byte counts.
    std::uint64_t ValidBytes = ~std::uint64_t{0};
    // Set when the content is read through it instead of the runs.
    std::unique_ptr<CContentDecoder> Decoder;
    // Why the content cannot be read as it is stored ("the file is
    // encrypted"); empty when it can.
    std::string Problem;
};

// How the clusters of a deleted file were found, where its kind tells it.
enum class ClusterPlacement : std::uint8_t {
    Unknown,
    Consecutive,       // its entry says they follow each other: one run from its first cluster
    Chain,             // the allocation table still holds its chain
    FreeAfterFirst,    // its chain was cleared: the free clusters after its first one
};

enum FileSystemFamily : int { kFamilyFat = 0, kFamilyNtfs = 1, kFamilyOther = 2, kFamilyExFat = 3 };

class CFileSystem {
public:
    struct Interval {
        std::uint64_t start = 0;
        std::uint64_t length = 0;
    };

    CFileSystem();
    virtual ~CFileSystem() = default;

    // The name of a kind whose code has one of its own ("FAT12" for 1,
    // "FAT16" for 4 and 6, "NTFS" for 7 and 128, "FAT32" for 11 and 12), else
    // "Unknown"; TypeCode is not changed.
    virtual const std::string& SetTypeName(std::uint32_t code);
    // Walks the file system and fills the volume's tree; the base finds nothing.
    virtual int Initialize() { return 0; }
    // NTFS records met by the sector scan; nothing to do for other families.
    virtual void AddScannedRecords(const CFoundObject& record) { (void)record; }
    // What a volume's first sector holds, and what decided it.
    struct BootClass {
        enum Basis : int {
            kNothing,        // no file system: code 0
            kNtfsName,       // "NTFS    " at 3
            kFatName,        // the FAT type text, and the parameters agree (or are not sound)
            kFatParameters,  // sound FAT parameters where the type text is missing or names another type
            kExFatName,      // "EXFAT   " at 3, and sound exFAT parameters
        };
        std::uint32_t code = 0;
        Basis basis = kNothing;
        // The type the text at 54 or 82 names: 1, 4 or 11; 0 for none, or a
        // text without a width ("FAT").
        std::uint32_t namedCode = 0;
        // Data clusters by the parameters, when they are sound.
        std::uint64_t clusters = 0;
    };
    // A FAT boot sector is known by its parameters: the type text
    // ("FAT12", "FAT16" at 54, "FAT32" at 82, padded with blanks or NULs)
    // is informational. Parameters that are sound (bytes per sector 512 to
    // 4096, a power of two; sectors per cluster a power of two; reserved
    // sectors; one or two tables of the media byte F0 or F8-FF, large enough
    // for the clusters; a layout of the width the cluster count gives) decide
    // the type by the cluster count: under 4085 FAT12, under 65525 FAT16,
    // else FAT32. A text on parameters that are not sound still names the
    // type. Then "NTFS    " at 3, then "EXFAT   " at 3 with sound exFAT
    // parameters. Sound parameters without any text make a FAT volume too,
    // unless the sector is a plausible partition table or an exFAT boot
    // sector. The signature 0xAA55 is not required.
    static BootClass ClassifyBootSector(std::span<const std::uint8_t> bootSector);
    // The type code alone: 1, 4, 11, 7, the exFAT code or 0.
    static std::uint32_t ClassifyBoot(std::span<const std::uint8_t> bootSector) {
        return ClassifyBootSector(bootSector).code;
    }
    // The family of a code; any value but 2 is first stored in TypeCode.
    int GetFamily(std::uint32_t code);
    static int FamilyOf(std::uint32_t code);

    // The clusters of a record: for the base a single run from StartPos.
    virtual bool BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs);
    // The 512-byte sector runs a record's content is read through.
    virtual bool BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs);
    // The content of a file kept inside the file system's own structures
    // (an NTFS file small enough to live in its record); false when the
    // record's content lies in runs, or cannot be read.
    virtual bool ReadResident(const CFoundObject& record, std::vector<std::uint8_t>& content) {
        (void)record;
        (void)content;
        return false;
    }
    // What a reader must know of the record's content besides its runs
    // (nothing, for the base and FAT).
    virtual void DescribeContent(const CFoundObject& record, CONTENT_FORM& form) {
        (void)record;
        (void)form;
    }

    // Makes the parser ready to read the content of records a walk of an
    // earlier run listed (kept in a scan file), without walking again: the
    // boot parameters and the tables the content is found through are read.
    // False when the volume cannot be read so. The base needs nothing.
    virtual bool Reopen() { return true; }
    // Tells the parser of a record an earlier run listed, as Reopen's
    // records are added to the tree (a parser that keeps track of what it
    // listed knows it then).
    virtual void NoteReopenedRecord(const CFoundObject& record) { (void)record; }

    // How a deleted record's clusters are found (Unknown for the base).
    virtual ClusterPlacement PlacementOf(const CFoundObject& record) {
        (void)record;
        return ClusterPlacement::Unknown;
    }

    std::uint32_t TypeCode = 0;
    std::string TypeName;
    std::uint32_t FsFlags = 0;
    // The volume's allocated space, appended by the parsers and read by the
    // sector analysis.
    std::vector<Interval> UsedSpace;
    // Appends sectors in use, merged with the last interval when they follow it.
    void AddUsedSpace(std::uint64_t start, std::uint64_t length) {
        if (!UsedSpace.empty() && UsedSpace.back().start + UsedSpace.back().length == start)
            UsedSpace.back().length += length;
        else
            UsedSpace.push_back({start, length});
    }

private:
    std::uint32_t knownTypeMark_ = 0;  // set to 0 whenever a known type is named
};

}  // namespace tl
