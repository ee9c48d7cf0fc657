// The scan file: what an analysis of one source found, kept in an SQLite
// database as the analysis runs, so that an interrupted scan goes on where
// it stopped and a finished one is reopened without scanning again.
//
// It holds the source's identity (to refuse a file made of another disk),
// the run's options, the volumes met (the source, its partitions, the lost
// volumes the sector scan found) with their file-system facts and how far
// each stage came, and every record of their found-object trees.
//
// One process at a time holds a scan file: the database is opened in
// SQLite's exclusive locking mode, so a second one is refused at its first
// read. Writes go through a write-ahead log; a power cut loses at most the
// transaction being written.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filesystems/file_system.h"
#include "filesystems/found_object.h"
#include "platform/sqlite_database.h"

namespace tl {

// What tells one source from another: a device by its path, size, sector
// size, model and serial; an image by its path, size, time of last change
// and a hash of its first and last MiB.
struct SourceIdentity {
    std::string path;
    bool device = false;
    std::uint64_t size = 0;
    std::uint32_t sectorSize = 512;
    std::string model;
    std::string serial;
    std::int64_t modifiedNs = 0;  // images only
    std::string headHash;         // hex; of the first MiB
    std::string tailHash;         // hex; of the last MiB
};

// What differs between the identity a scan file was made for and the source
// given now ("its size was 67108864 bytes, it is 134217728"), one clause a
// difference; empty when they are the same source. The path may differ (an
// image moved, a disk given another name) when everything else agrees.
std::string DescribeIdentityChange(const SourceIdentity& saved, const SourceIdentity& now);

// One volume of the scan as the file keeps it.
struct SavedVolume {
    int number = 0;  // 0: the source itself, then in the order they were met
    std::uint32_t kind = 0;     // VolumeKind
    std::uint64_t offset = 0;   // bytes from the start of the source
    std::uint64_t size = 0;
    std::uint32_t typeCode = 0;
    std::string name;
    std::string label;
    std::uint32_t fsOutcome = 0;  // CVolume::FsOutcome; 0: its file-system stage did not end
    std::vector<CFileSystem::Interval> usedSpace;
    // The sector stage: 0 not started, 1 under way, 2 ended; every find of
    // the sectors before sectorDone (512-byte, from the volume's start) is saved.
    int sectorState = 0;
    std::uint64_t sectorDone = 0;
    bool freeSpaceOnly = false;
    std::int64_t rowBase = 0;  // the records of a run after a resume are numbered from here
};

// A stored record with the row that holds it.
struct SavedRecord {
    std::int64_t row = 0;
    CFoundObject record;
};

class CScanFile {
public:
    static constexpr int kFormat = 1;
    // A record row: the volume's number in the high bits, a sequence below.
    static constexpr int kRowVolumeShift = 40;
    static std::int64_t RowOf(int volume, std::int64_t sequence) {
        return (static_cast<std::int64_t>(volume) << kRowVolumeShift) | sequence;
    }

    CScanFile() = default;
    CScanFile(const CScanFile&) = delete;
    CScanFile& operator=(const CScanFile&) = delete;

    // Makes a new scan file at `path` (an old one there is replaced) and
    // holds it. False, with `error` saying why, when it cannot be made.
    bool Create(const std::string& path, std::string& error);
    // Opens an existing scan file and holds it. False when it is not a
    // scan file, is held by another process, or is of a later format; a
    // file that is damaged opens, with Problems() saying what could not be
    // read.
    bool Open(const std::string& path, bool forWriting, std::string& error);
    void Close();
    bool IsOpen() const { return db_.IsOpen(); }
    const std::string& Path() const { return path_; }
    // What could not be read of a damaged file, one sentence a problem.
    const std::vector<std::string>& Problems() const { return problems_; }

    bool Begin();
    bool Commit();
    void Rollback();
    std::string LastError() const { return db_.Error(); }

    // Facts of the whole scan: the identity, the run's options and state.
    bool PutFact(const std::string& name, const std::string& value);
    std::optional<std::string> Fact(const std::string& name);
    bool PutIdentity(const SourceIdentity& identity);
    std::optional<SourceIdentity> Identity();

    bool PutVolume(const SavedVolume& volume);
    std::vector<SavedVolume> Volumes();

    // Writes `record` at `row` (replacing what the row held).
    bool PutRecord(std::int64_t row, const CFoundObject& record);
    // Calls `each` with the records of volume `number` in row order, the
    // ones of the sector stage past `sectorDone` left out (a resumed scan
    // finds them again); stops when it returns false. Rows that cannot be
    // read are counted in `skipped`.
    void ForEachRecord(int number, std::uint64_t sectorDone, const std::function<bool(const SavedRecord&)>& each,
                       std::uint64_t* skipped = nullptr);
    std::uint64_t RecordCount();
    // Drops every record of volume `number`; or only those its sector stage
    // found at or past `sectorDone`, which a resumed scan finds again.
    bool DeleteRecords(int number);
    bool DropScanRecordsPast(int number, std::uint64_t sectorDone);
    // The highest sequence of volume `number`'s rows, -1 when it has none.
    std::int64_t LastSequence(int number);

private:
    bool Prepare(bool creating, std::string& error);

    platform::SqliteDatabase db_;
    std::unique_ptr<platform::SqliteStatement> putRecord_;
    std::string path_;
    std::vector<std::string> problems_;
};

}  // namespace tl
