// The exFAT parser: checks the boot region (the backup one when the main one
// is damaged), loads the allocation table and the allocation bitmap, walks
// every folder reachable from the root breadth first (deleted folders
// included, each once), and turns every entry set, live or deleted, into a
// found object of the volume. It builds the runs a file is read through:
// one run for a file whose clusters follow each other (no FAT chain), else
// the table's chain.
//
// Sector arithmetic is in the volume's 512-byte units: the boot sector's
// counts are scaled by bytes-per-sector / 512.
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

class CFileSystem_exFAT : public CVolumeParser {
public:
    // The kind's code. exFAT shares the partition type 0x07 with NTFS, so
    // its code lies beyond every partition-type byte: only its boot sector
    // names it.
    static constexpr std::uint32_t kTypeCode = 0x107;
    // A folder holds at most 256 MiB of entries.
    static constexpr std::uint64_t kMaxDirectoryBytes = 256ULL << 20;
    // The high bit of a record's Attributes, which exFAT leaves unused: the
    // file's clusters follow each other and the table holds no chain for them.
    static constexpr std::uint16_t kNoFatChain = 0x8000;

    explicit CFileSystem_exFAT(CVolume& volume);
    ~CFileSystem_exFAT() override;

    int Initialize() override;
    bool Reopen() override;
    bool BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) override;
    bool BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) override;
    void DescribeContent(const CFoundObject& record, CONTENT_FORM& form) override;
    ClusterPlacement PlacementOf(const CFoundObject& record) override;

    // The boot sector's parameters, when they are sound: the name "EXFAT   "
    // at 3, sectors of 512 to 4096 bytes, clusters of at most 32 MiB, the
    // table and the cluster heap inside the volume.
    struct BootParameters {
        std::uint32_t bytesPerSectorShift = 9;
        std::uint32_t sectorsPerClusterShift = 0;
        std::uint64_t volumeLength = 0;  // in the volume's own sectors
        std::uint32_t fatOffset = 0;     // in the volume's own sectors
        std::uint32_t fatLength = 0;
        std::uint32_t clusterHeapOffset = 0;
        std::uint32_t clusterCount = 0;
        std::uint32_t rootCluster = 0;
        std::uint32_t serial = 0;
        std::uint16_t volumeFlags = 0;
        std::uint8_t numberOfFats = 1;
    };
    static std::optional<BootParameters> ReadBootSector(std::span<const std::uint8_t> sector);
    // The checksum of a boot region's first 11 sectors, the flags and the
    // percentage in use of its boot sector left out.
    static std::uint32_t BootChecksum(std::span<const std::uint8_t> region, std::size_t bytesPerSector);
    // The checksum of an entry set, its own two bytes left out. A deleted
    // set is summed as it was written, with the in-use bits set.
    static std::uint16_t SetChecksum(std::span<const std::uint8_t> entries);
    // The checksum of the up-case table's bytes.
    static std::uint32_t TableChecksum(std::span<const std::uint8_t> bytes);
    // The label of the root's label entry ("CARD"), without the walk: what
    // the volume's information shows before an analysis.
    static std::optional<std::string> ReadVolumeLabel(CVolume& volume);
    // The text of a label entry: up to 11 UTF-16 characters, control
    // characters replaced by '_'.
    static std::string LabelText(const std::uint8_t* entry);
    // The id of the root folder's node.
    static constexpr std::uint64_t RootId() { return 0; }

    // Reads the boot region (the backup when the main one is damaged) into
    // the parameters below; false when neither holds sound parameters.
    bool ReadBootRegion();
    std::uint32_t FatEntry(std::uint32_t cluster, bool& ok) const;
    bool IsHeapCluster(std::uint64_t cluster) const { return cluster >= 2 && cluster < std::uint64_t{ClusterCount} + 2; }
    // True when the allocation bitmap marks the cluster in use (true when
    // there is no bitmap).
    bool ClusterInUse(std::uint64_t cluster) const;
    // The table's chain from `first`, at most `limit` clusters; a loop, a
    // bad cluster or one outside the heap ends it, logged.
    std::size_t ChainOf(std::uint32_t first, std::size_t limit, std::vector<std::uint32_t>& list) const;
    std::uint64_t ClusterToSector(std::uint64_t cluster) const;

    // Adds the entry sets of one folder's bytes as children of `parent`.
    // `clusters` are the folder's clusters, in order: an entry's id is its
    // byte offset within the volume.
    void ParseDirectory(std::span<const std::uint8_t> buffer, std::uint64_t parent,
                        const std::vector<std::uint32_t>& clusters, bool liveFolder);

    BootParameters Boot;
    std::uint64_t ClusterBytes = 512;
    std::uint64_t FatSector = 0;   // 512-byte sectors
    std::uint64_t HeapSector = 0;  // 512-byte sectors
    std::uint32_t ClusterCount = 0;
    std::uint32_t PresentClusters = 0;  // of those, the ones the source holds
    std::uint32_t RootCluster = 0;
    std::vector<std::uint8_t> FatTable;
    std::vector<std::uint8_t> Bitmap;  // empty: no usable allocation bitmap

private:
    struct QueuedDirectory {
        std::uint32_t cluster;
        std::uint64_t id;
        std::uint64_t bytes;  // the folder's length; 0: as far as its chain goes
        bool contiguous;
        bool live;
    };
    // The clusters of a file or folder whose content starts at `first`.
    std::vector<std::uint32_t> ClustersOf(std::uint32_t first, std::uint64_t bytes, bool contiguous) const;
    void ReadDirectory(const QueuedDirectory& directory);
    // The allocation table, and the bitmap, up-case table and label of the
    // root's entries; false when the root cannot be read.
    bool LoadTables(std::vector<std::uint32_t>& rootClusters, std::vector<std::uint8_t>& root);
    // The bytes of `clusters`, in their order; empty when they cannot be held.
    std::vector<std::uint8_t> ReadClusters(const std::vector<std::uint32_t>& clusters) const;
    // The bitmap, the up-case table and the label, from the root's entries.
    void ReadRootEntries(std::span<const std::uint8_t> root);
    void ReportClustersInUse();
    // Marks a live file's clusters as held, counting a file that claims
    // clusters another holds.
    void ClaimClusters(const std::vector<CLUSTER_RUN>& runs, const std::string& name);

    std::vector<QueuedDirectory> dirQueue_;
    std::unordered_set<std::uint32_t> queued_;        // first clusters of the folders queued
    std::unordered_set<std::uint64_t> entriesSeen_;   // places of the entry sets added
    std::vector<bool> claimed_;  // heap clusters a live file listed so far holds
    std::uint64_t shared_ = 0;   // live files that claim clusters another holds
    std::string firstShared_;
    // Deleted files: in consecutive clusters; on a chain; on a chain whose
    // clusters are in use again.
    std::uint64_t deletedContiguous_ = 0, deletedChained_ = 0, deletedReused_ = 0;
    std::uint64_t accounted_ = 0;
};

}  // namespace tl
