// The NTFS parser: walks the master file table (read through its runs in
// large chunks and parsed from memory), turning every record that carries
// the "FILE" signature, in use or not, into a found object; reports the
// allocated clusters from the cluster bitmap; builds the cluster runs of an
// NTFS object; and takes MFT records the sector scan finds anywhere.
//
// Records are read whole whatever their size (1024 and 4096 bytes exist);
// the update sequence is applied to every 512-byte stride of a record;
// extension records (a non-zero base reference) are not files of their own:
// their names, times and data runs are reached through the base record's
// attribute list, so a fragmented file is listed once with all its runs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "filesystems/file_system.h"

namespace tl {

class CVolume;
class CFileSystem_NTFS;

struct MFT_RUN {
    std::uint64_t Lcn = 0;
    std::uint64_t Length = 0;  // clusters
    std::uint32_t Sparse = 0;
    std::uint64_t FirstVcn = 0;
    std::uint64_t LastVcn = 0;
};

// One MFT record, parsed: its attributes found with bounds checked, its
// unnamed data stream and the runs of it, its names and times.
class CMftRecordParser {
public:
    explicit CMftRecordParser(CFileSystem_NTFS& fs) : fs_(fs) {}

    // Copies `record` and parses it; false when it does not begin with "FILE".
    bool Load(std::span<const std::uint8_t> record);
    bool Parse();
    // Offsets of attributes of `type` (0 for none), walked with bounds.
    std::size_t FindAttribute(std::uint32_t type) const;
    std::size_t FindNextAttribute(std::uint32_t type, std::size_t after) const;
    // Puts the update sequence back; false when a stride did not carry the
    // sequence number (a torn write): the record is used all the same.
    bool ApplyFixups();
    // Decodes a mapping-pairs list between `from` and `end` of the buffer,
    // starting at `vcn`, appending to `out`. False when it was cut short.
    bool DecodeRuns(std::size_t from, std::size_t end, std::uint64_t vcn, std::vector<MFT_RUN>& out) const;
    // Reads the extension records named by the attribute list (each once).
    void LoadExtensions();
    // Bytes of the data stream from `offset`; returns how many were copied.
    std::uint64_t ReadStream(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) const;
    std::uint64_t VcnToLcn(std::uint64_t vcn) const;
    // Name, parent, times and size into `record`.
    void FillRecord(CFoundObject& record) const;

    std::vector<std::uint8_t> Buffer;
    std::vector<MFT_RUN> Runs;
    std::uint64_t DataSize = 0;
    bool NonResident = false;
    std::size_t ResidentOffset = 0;
    int DataStreams = 0;
    bool HasData = false;
    bool FixupsTorn = false;
    // The attribute walk ended short of the end marker: an attribute's
    // length leaves the record or runs into the middle of another one.
    bool AttributesDamaged = false;
    // A run list of the data (or of the attribute list) leaves the volume or
    // is cut short: only the runs before the damage are kept.
    bool RunsDamaged = false;

    std::uint16_t Flags() const;
    std::uint64_t BaseReference() const;
    std::uint32_t RecordNumber() const;

private:
    struct Attribute {
        std::size_t offset = 0;
        std::uint32_t type = 0;
        std::uint32_t length = 0;
    };
    bool NextAttribute(std::size_t& at, Attribute& a) const;
    bool ResidentContent(std::size_t at, std::size_t& from, std::size_t& size) const;
    void TakeData(const std::vector<std::uint8_t>& record, std::size_t at, bool fromExtension);

    CFileSystem_NTFS& fs_;
    std::vector<std::vector<std::uint8_t>> extensions_;  // records whose names and times count too
    std::vector<std::uint64_t> extensionNumbers_;
};

class CFileSystem_NTFS : public CFileSystem {
public:
    static constexpr std::uint64_t kRootRecord = 5;
    static constexpr std::size_t kChunkBytes = 1 << 20;

    explicit CFileSystem_NTFS(CVolume& volume);
    ~CFileSystem_NTFS() override;

    int Initialize() override;
    void AddScannedRecords(const CFoundObject& record) override;
    void AddMftRecord(std::span<const std::uint8_t> record);
    bool BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) override;
    bool BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) override;
    bool ReadResident(const CFoundObject& record, std::vector<std::uint8_t>& content) override;

    bool ReadBootParameters();
    bool LoadMft();
    void LoadClusterBitmap();
    // One record of the MFT; empty when it cannot be read.
    std::vector<std::uint8_t> ReadMftRecord(std::uint64_t number) const;
    // Reads `count` clusters from `lcn`, clamped to the volume; false when
    // nothing could be read.
    bool ReadClusters(std::uint64_t lcn, std::uint64_t count, std::uint8_t* out) const;

    CVolume& Volume() const { return volume_; }
    std::uint64_t ClusterBytes = 4096;
    std::uint64_t TotalSectors = 0;
    std::uint64_t MftCluster = 0;
    std::uint64_t MftMirrCluster = 0;
    std::uint32_t RecordSize = 1024;
    std::uint64_t RecordCount = 0;
    std::uint64_t VolumeClusters = 0;
    std::unique_ptr<CMftRecordParser> MftRecord;

private:
    bool Busy() const;
    // Lists the record; false when it cannot be placed (no file name).
    bool AddRecord(CMftRecordParser& parser, std::uint64_t number, std::uint16_t extraFlags);
    void Log(int level, const std::string& text) const;
    // One line for the records of the MFT walk that share a damage.
    struct DamageCount {
        std::uint64_t count = 0;
        std::vector<std::uint64_t> first;  // the first few record numbers
        void Add(std::uint64_t number);
        std::string Records() const;
    };

    CVolume& volume_;
    std::unique_ptr<CMftRecordParser> shared_;
    std::uint64_t tornRecords_ = 0;
    DamageCount damagedAttributes_, damagedRuns_, unnamed_;
    // Record numbers listed: a record the sector scan finds again is the
    // same record, read through the same MFT entry.
    std::unordered_set<std::uint64_t> listed_;
};

}  // namespace tl
