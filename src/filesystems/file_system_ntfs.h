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
//
// Identifiers: a file or folder is its MFT record number (below 2^32: the
// walk reads no more records than that). Two kinds of object carry more:
// - a named data stream, listed as "name:stream" beside its file with
//   FO_STREAM: bit 62, the stream's ordinal among the record's named
//   streams (1, 2, ...) at bits 32..47, the record number at bits 0..31;
// - the former folder of a deleted object whose parent record was reused
//   since (its sequence number moved on): bit 61, the sequence number the
//   object's reference names at bits 32..47, the record number at 0..31,
//   so that the tree makes a placeholder "lost_folder_<record>" for it
//   instead of putting the object inside the record's new owner.
//
// Content: the unnamed data stream, or the named one of a stream object.
// Bytes past a stream's initialised length read as zeros; a compressed
// stream is read through a decoder (ntfs_compressed_stream.h); an encrypted
// file, or a compression that cannot be decoded, is refused with a reason.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filesystems/file_system.h"

namespace tl {

class CVolume;
class CFileSystem_NTFS;

struct MFT_RUN {
    std::uint64_t Lcn = 0;
    std::uint64_t Length = 0;  // clusters
    // 1 when the run has no offset field: no clusters on the disk. A run
    // whose offset is present but zero starts at the same cluster as the
    // run before it (or at cluster 0, as $Boot's does).
    std::uint32_t Sparse = 0;
    std::uint64_t FirstVcn = 0;
    std::uint64_t LastVcn = 0;
};

// One MFT record, parsed: its attributes found with bounds checked, one of
// its data streams (the unnamed one unless another is selected) and the
// runs of it, its names and times.
class CMftRecordParser {
public:
    struct NamedStream {
        std::u16string Name;
        std::uint64_t Size = 0;
    };
    // At most this many named streams of one record are listed.
    static constexpr std::size_t kMaxNamedStreams = 0xFFFF;

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
    // Name, parent, times and size into `record`; the parent's whole file
    // reference (with its sequence number) into `parentReference`.
    void FillRecord(CFoundObject& record, std::uint64_t* parentReference = nullptr) const;
    // The named data streams of the record and its extensions, in the
    // order of their ordinals (at most kMaxNamedStreams; `more` tells
    // whether there were more).
    std::vector<NamedStream> NamedStreams(bool* more = nullptr) const;
    // Makes the data stream of that name (empty: the unnamed one) the one
    // the data fields describe and ReadStream reads; false when the record
    // has none of that name.
    bool SelectStream(std::u16string_view name);
    // The file's content is encrypted: the encrypted flag (0x4000) of its
    // standard information or of its data, or an "$EFS" logged utility stream.
    bool Encrypted() const;

    std::vector<std::uint8_t> Buffer;
    std::vector<MFT_RUN> Runs;
    // Of the selected stream: its size, initialised length (bytes past it
    // read as zeros), attribute flags (0x00FF compression method, 0x4000
    // encrypted, 0x8000 sparse) and compression unit (log2 of clusters).
    std::uint64_t DataSize = 0;
    std::uint64_t InitializedSize = 0;
    std::uint16_t DataFlags = 0;
    std::uint8_t CompressionUnit = 0;
    bool NonResident = false;
    std::size_t ResidentOffset = 0;  // in the record part ResidentPart (0 = Buffer)
    std::size_t ResidentPart = 0;
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
    std::uint16_t SequenceNumber() const;

private:
    const std::vector<std::uint8_t>& Part(std::size_t index) const { return index == 0 ? Buffer : extensions_[index - 1]; }
    std::size_t PartCount() const { return 1 + extensions_.size(); }
    // Takes the stream of `selected_` from every part of the record.
    void CollectData();
    void TakeData(std::size_t part, std::size_t at);

    CFileSystem_NTFS& fs_;
    std::u16string selected_;
    bool listDamaged_ = false;  // the run list of the attribute list
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
    bool Reopen() override;
    void NoteReopenedRecord(const CFoundObject& record) override;
    void AddScannedRecords(const CFoundObject& record) override;
    void AddMftRecord(std::span<const std::uint8_t> record);
    bool BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) override;
    bool BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) override;
    bool ReadResident(const CFoundObject& record, std::vector<std::uint8_t>& content) override;
    void DescribeContent(const CFoundObject& record, CONTENT_FORM& form) override;

    static constexpr std::uint64_t kStreamIdTag = 1ULL << 62;
    static constexpr std::uint64_t kFormerFolderTag = 1ULL << 61;
    static std::uint64_t StreamId(std::uint64_t recordNumber, std::uint64_t ordinal) {
        return kStreamIdTag | ordinal << 32 | (recordNumber & 0xFFFFFFFF);
    }
    // The MFT record an object's identifier names, and the ordinal of its
    // named stream (0: the unnamed one).
    static std::uint64_t RecordOf(std::uint64_t id);
    static std::uint32_t StreamOrdinalOf(std::uint64_t id);
    // The label of the NTFS volume whose boot sector `volume` has read: the
    // $VOLUME_NAME of MFT record 3 ($Volume), taken from the MFT's start or
    // its mirror, control characters replaced; empty when there is none.
    static std::string ReadVolumeLabel(CVolume& volume);
    // Reads the record an object names into `parser`, its extensions too,
    // with the object's stream selected; false when it cannot be read.
    bool LoadObject(const CFoundObject& record, CMftRecordParser& parser);
    // Why the selected stream of `parser` cannot be read as it is stored
    // (empty when it can).
    std::string ContentProblem(const CMftRecordParser& parser) const;

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
    // Lists the record and its named streams; false when it cannot be
    // placed (no file name).
    bool AddRecord(CMftRecordParser& parser, std::uint64_t number, std::uint16_t extraFlags);
    void AddStreams(CMftRecordParser& parser, const CFoundObject& file, std::uint16_t extraFlags);
    // The ParentId of a deleted object whose $FILE_NAME names `reference`.
    std::uint64_t FolderOfDeleted(std::uint64_t reference);
    // Logs an object whose content cannot be read as it is stored.
    void NoteUnreadable(const std::string& name, std::uint64_t number, const std::string& reason);
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
    std::uint64_t unreadable_ = 0;
    // Sequence number and in-use flag of records named as folders of
    // deleted objects, read once each (bit 16: in use; bit 17: readable).
    std::unordered_map<std::uint64_t, std::uint32_t> folderStates_;
    // Record numbers listed: a record the sector scan finds again is the
    // same record, read through the same MFT entry.
    std::unordered_set<std::uint64_t> listed_;
};

}  // namespace tl
