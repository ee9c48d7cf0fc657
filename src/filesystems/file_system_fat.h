// The FAT12/16/32 parser: loads the whole allocation table once, walks every
// directory reachable from the root (the first cluster of deleted
// directories included, breadth first, each once), and turns every directory
// entry, live or deleted, into a found object of the volume. It also builds
// the cluster runs a FAT object is read through.
//
// All sector arithmetic is in the volume's 512-byte units: the boot
// parameters' sector counts are scaled by bytes-per-sector / 512.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filesystems/volume_parser.h"

namespace tl {

class CVolume;

class CFileSystem_FAT : public CVolumeParser {
public:
    // A directory holds at most 65536 entries of 32 bytes.
    static constexpr std::uint64_t kMaxDirectoryBytes = 65536ULL * 32;

    explicit CFileSystem_FAT(CVolume& volume);
    ~CFileSystem_FAT() override;

    int Initialize() override;
    bool Reopen() override;
    bool BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) override;
    bool BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) override;

    // Reads the boot parameters (also done by Initialize). False when the
    // type code is not a FAT one.
    bool ReadBootParameters();
    // The id of the root directory's node: 0 on FAT12/16, the root
    // directory's first cluster on FAT32.
    std::uint64_t RootId() const;

    std::uint32_t FatEntry(std::uint32_t n, bool& ok) const;
    bool IsEndOfChain(std::uint32_t value) const;
    bool IsBadCluster(std::uint32_t value) const;
    // The highest cluster number of the volume: the data area's last
    // cluster, never beyond the loaded table.
    std::uint64_t LastCluster() const;
    bool IsDataCluster(std::uint32_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
    // The chain from `first`, stopping at 0 or an end-of-chain value; a
    // cluster already in the chain, one marked bad or one outside the
    // volume ends it too, logged, and is not part of it.
    std::size_t FAT_GetClustersList(std::uint32_t first, std::vector<std::uint32_t>& list) const;
    // Consecutive clusters merged into runs; with a record whose Size goes
    // beyond the chain, the last run is lengthened to cover it.
    void ClusterRunsFromList(const std::vector<std::uint32_t>& clusters, std::vector<CLUSTER_RUN>& runs,
                             const CFoundObject* record) const;
    std::uint64_t ClusterToSector(std::uint64_t cluster) const;

    // Reads the folder whose content starts at `firstCluster` and adds its
    // entries as children of the object `parent`.
    void ReadDirectory(std::uint32_t firstCluster, std::uint64_t parent);
    // Adds the entries of a folder read from the clusters `chain` (null: the
    // FAT12/16 root, read from RootDirSector on). Each object's Id is the
    // byte offset of its short entry within the volume, so that two entries
    // never share one, whatever clusters they name; StartPos is the first
    // cluster. An entry met before (where two folders' chains join) is not
    // added again.
    void ParseDirectory(std::span<const std::uint8_t> buffer, std::uint64_t parent,
                        const std::vector<std::uint32_t>* chain = nullptr);
    static bool IsValidEntry(const std::uint8_t* entry);
    // 0xE5 marks a deleted entry; 0x05 stands for a live name whose first
    // character is the byte 0xE5.
    static bool IsDeletedEntry(const std::uint8_t* entry) { return entry[0] == 0xE5; }
    static bool IsDirectoryEntry(const std::uint8_t* entry) { return (entry[11] & 0x10) != 0; }
    static bool IsDotEntry(const std::uint8_t* entry) { return IsDirectoryEntry(entry) && entry[0] == '.'; }
    // A volume label: the volume bit without the folder bit, not a part of a
    // long name, not deleted.
    static bool IsVolumeLabelEntry(const std::uint8_t* entry) {
        return (entry[11] & 0x18) == 0x08 && (entry[11] & 0x0F) != 0x0F && entry[0] != 0xE5 && entry[0] != 0;
    }
    // The text of the label entry among the entries of a root folder, up to
    // the end-of-folder mark (an entry whose first byte is 0).
    static std::optional<std::string> FindVolumeLabel(std::span<const std::uint8_t> folder,
                                                      const char* codePage = "CP437");
    // The label of the root folder's label entry of the FAT volume whose boot
    // sector `volume` holds (of the FAT32 layout or not): reads only the root
    // folder's first sectors, up to its end-of-folder mark. Nothing when there
    // is no such entry or the boot parameters lead to no root folder.
    static std::optional<std::string> ReadRootLabel(CVolume& volume, bool fat32);
    // An 11-byte label or name field as text: code page bytes to UTF-8,
    // cut at a NUL, trailing blanks removed, control bytes replaced by '_'.
    static std::string LabelText(const std::uint8_t* bytes11, const char* codePage = "CP437");
    // The long name from the entries before `entry` (not before the buffer's
    // start) when they belong to it, or the short name ('_' for a deleted
    // first character).
    static std::string GetEntryName(std::span<const std::uint8_t> buffer, std::size_t entryOffset,
                                    const char* codePage = "CP437");
    // The long name of the short entry at `entryOffset`: empty when the
    // entries before it are no long name, or one written for another short
    // name (their sequence numbers or checksum do not fit).
    static std::u16string LongName(std::span<const std::uint8_t> buffer, std::size_t entryOffset);
    // The rotate-right sum of the 11 bytes of a short name that each part of
    // its long name carries.
    static std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

    // Boot parameters in 512-byte sectors.
    std::uint32_t BytesPerSector = 512;
    std::uint32_t SectorsPerCluster = 1;  // of the boot sector's own sector size
    std::uint64_t ClusterBytes = 512;
    std::uint64_t ReservedSectors = 0;
    std::uint32_t NumberOfFats = 0;
    std::uint64_t SectorsPerFat = 0;
    std::uint32_t RootCluster = 0;
    std::uint32_t RootEntries = 0;
    std::uint64_t FatBytes = 0;
    std::uint64_t RootDirSector = 0;
    std::uint64_t FirstDataSector = 0;
    // Clusters of the data area (by the boot sector's sector count, or the
    // source's size when larger); 0 when neither gives any (the table alone
    // bounds the chains then).
    std::uint64_t DataClusters = 0;
    std::vector<std::uint8_t> FatTable;  // the first copy of the table (the second only compared)

private:
    // Reads the first table (the second compared with it, when asked);
    // false when no memory could hold it.
    bool LoadTable(bool compareCopies);
    void ReportClustersInUse();
    // Counts `clusters` of the space in use into the walk's progress.
    void Account(std::uint64_t clusters);
    // The root folder's label entry, met by the walk, becomes the volume's label.
    void TakeRootLabel(std::span<const std::uint8_t> root);

    // A folder to read: its first cluster, the Id of the entry that named
    // it, and whether that entry is live.
    struct QueuedDirectory {
        std::uint32_t cluster;
        std::uint64_t id;
        bool live;
    };
    std::uint64_t EntryPlace(std::size_t offset, const std::vector<std::uint32_t>* chain) const;

    std::vector<QueuedDirectory> dirQueue_;
    std::unordered_map<std::uint32_t, std::size_t> queued_;  // first cluster -> its place in dirQueue_
    std::size_t nextDirectory_ = 0;                          // dirQueue_ is read up to here
    std::unordered_set<std::uint64_t> entriesSeen_;          // places of the entries added
    std::uint64_t entryCount_ = 0;  // FAT entries the loaded table holds
    std::uint64_t accounted_ = 0;   // sectors in use the walk has accounted for
};

}  // namespace tl
