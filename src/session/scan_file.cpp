#include "session/scan_file.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "storage/little_endian.h"

namespace tl {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS facts(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS volumes("
    "  number INTEGER PRIMARY KEY, kind INTEGER NOT NULL, offset INTEGER NOT NULL, size INTEGER NOT NULL,"
    "  type_code INTEGER NOT NULL, name TEXT, label TEXT, fs_outcome INTEGER NOT NULL, used_space BLOB,"
    "  sector_state INTEGER NOT NULL, sector_done INTEGER NOT NULL, free_space_only INTEGER NOT NULL,"
    "  row_base INTEGER NOT NULL);"
    // Zero times are stored as NULL, which costs no bytes.
    "CREATE TABLE IF NOT EXISTS records("
    "  row INTEGER PRIMARY KEY, id INTEGER, parent INTEGER, start INTEGER, size INTEGER, data_offset INTEGER,"
    "  flags INTEGER, attributes INTEGER, type_id INTEGER, created INTEGER, modified INTEGER, accessed INTEGER,"
    "  name TEXT);";

// Unsigned values are kept as their two's-complement bits: all ones (an
// unknown size) takes a single byte.
std::int64_t Signed(std::uint64_t v) { return static_cast<std::int64_t>(v); }
std::uint64_t Unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

std::string Intervals(const std::vector<CFileSystem::Interval>& list) {
    std::string bytes(list.size() * 16, '\0');
    for (std::size_t i = 0; i < list.size(); ++i) {
        PutU64(reinterpret_cast<std::uint8_t*>(bytes.data()) + 16 * i, list[i].start);
        PutU64(reinterpret_cast<std::uint8_t*>(bytes.data()) + 16 * i + 8, list[i].length);
    }
    return bytes;
}

std::vector<CFileSystem::Interval> IntervalsFrom(const std::string& bytes) {
    std::vector<CFileSystem::Interval> list(bytes.size() / 16);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t i = 0; i < list.size(); ++i) list[i] = {GetU64(p + 16 * i), GetU64(p + 16 * i + 8)};
    return list;
}

}  // namespace

std::string DescribeIdentityChange(const SourceIdentity& saved, const SourceIdentity& now) {
    std::vector<std::string> changes;
    if (saved.device != now.device)
        changes.push_back(saved.device ? "it was a disk, now an image file" : "it was an image file, now a disk");
    if (saved.size != now.size)
        changes.push_back("its size was " + std::to_string(saved.size) + " bytes, it is " + std::to_string(now.size));
    if (saved.sectorSize != now.sectorSize)
        changes.push_back("its sectors were of " + std::to_string(saved.sectorSize) + " bytes, they are of " +
                          std::to_string(now.sectorSize));
    if (!saved.model.empty() && saved.model != now.model)
        changes.push_back("its model was '" + saved.model + "', it is '" + now.model + "'");
    if (!saved.serial.empty() && saved.serial != now.serial)
        changes.push_back("its serial number was '" + saved.serial + "', it is '" + now.serial + "'");
    if (!saved.device && saved.modifiedNs != now.modifiedNs && (saved.headHash != now.headHash || saved.tailHash != now.tailHash))
        changes.push_back("the image was changed since");
    else if (saved.headHash != now.headHash)
        changes.push_back("its first MiB holds other bytes");
    else if (saved.tailHash != now.tailHash)
        changes.push_back("its last MiB holds other bytes");
    std::string text;
    for (const auto& c : changes) text += (text.empty() ? "" : "; ") + c;
    return text;
}

bool CScanFile::Create(const std::string& path, std::string& error) {
    Close();
    std::error_code ec;
    // A scan file another process holds is not taken from under it.
    if (std::filesystem::exists(path, ec) && db_.Open(path, platform::SqliteDatabase::Mode::ReadWrite)) {
        db_.Exec("PRAGMA busy_timeout=0;");
        const bool held = !db_.Exec("BEGIN IMMEDIATE;") && db_.LastWasBusy();
        db_.Exec("ROLLBACK;");
        db_.Close();
        if (held) {
            error = "the scan file " + path + " is in use by another process";
            return false;
        }
    }
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, ec);
    if (!db_.Open(path, platform::SqliteDatabase::Mode::ReadWriteCreate)) {
        error = "cannot make the scan file " + path + ": " + db_.Error();
        return false;
    }
    path_ = path;
    return Prepare(true, error);
}

bool CScanFile::Open(const std::string& path, bool forWriting, std::string& error) {
    Close();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "the scan file " + path + " does not exist";
        return false;
    }
    if (std::filesystem::file_size(path, ec) == 0) {
        error = "the scan file " + path + " is empty";
        return false;
    }
    // Read-write even to read: a database with a write-ahead log is read
    // through its shared-memory file, which a read-only opening cannot make.
    if (!db_.Open(path, platform::SqliteDatabase::Mode::ReadWrite) &&
        (forWriting || !db_.Open(path, platform::SqliteDatabase::Mode::ReadOnly))) {
        error = "cannot open the scan file " + path + ": " + db_.Error();
        return false;
    }
    path_ = path;
    return Prepare(false, error);
}

bool CScanFile::Prepare(bool creating, std::string& error) {
    problems_.clear();
    db_.Exec("PRAGMA busy_timeout=0;");
    // Held by this process alone until it closes the file: the lock is taken
    // at the first read and kept.
    db_.Exec("PRAGMA locking_mode=EXCLUSIVE;");
    const auto fail = [&](const std::string& why) {
        error = why;
        Close();
        return false;
    };
    if (!db_.Exec("PRAGMA schema_version;")) {
        if (db_.LastWasBusy()) return fail("the scan file " + path_ + " is in use by another process");
        return fail("the scan file " + path_ + " is not a scan file (" + db_.Error() + ")");
    }
    // A write-ahead log with normal syncing: sound after a crash, and cheap.
    if (creating || db_.Exec("SELECT 1 FROM facts LIMIT 0;")) {
        db_.Exec("PRAGMA journal_mode=WAL;");
        db_.Exec("PRAGMA synchronous=NORMAL;");
    }
    if (creating) {
        if (!db_.Exec(kSchema) || !PutFact("format", std::to_string(kFormat)))
            return fail("cannot make the scan file " + path_ + ": " + db_.Error());
        return true;
    }
    const std::optional<std::string> format = Fact("format");
    if (!format) {
        if (db_.LastWasBusy()) return fail("the scan file " + path_ + " is in use by another process");
        return fail("the scan file " + path_ + " is not a scan file of this program");
    }
    if (std::atoi(format->c_str()) > kFormat)
        return fail("the scan file " + path_ + " was written by a later version of the program (format " + *format +
                    "; this one reads format " + std::to_string(kFormat) + ")");
    const std::string check = db_.IntegrityCheck(5);
    if (check != "ok") problems_.push_back("the scan file is damaged (" + check + "); what could be read is loaded");
    return true;
}

void CScanFile::Close() {
    putRecord_.reset();
    db_.Close();
    path_.clear();
}

bool CScanFile::Begin() { return db_.Exec("BEGIN IMMEDIATE;"); }
bool CScanFile::Commit() { return db_.Exec("COMMIT;"); }
void CScanFile::Rollback() { db_.Exec("ROLLBACK;"); }

bool CScanFile::PutFact(const std::string& name, const std::string& value) {
    auto put = db_.Prepare("INSERT OR REPLACE INTO facts(name, value) VALUES(?1, ?2);");
    return put.Bind(1, name).Bind(2, value).Run();
}

std::optional<std::string> CScanFile::Fact(const std::string& name) {
    auto q = db_.Prepare("SELECT value FROM facts WHERE name = ?1;");
    if (q.Bind(1, name).Step() != platform::SqliteStatement::kRow) return std::nullopt;
    return q.Text(0);
}

bool CScanFile::PutIdentity(const SourceIdentity& id) {
    return PutFact("source.path", id.path) && PutFact("source.device", id.device ? "1" : "0") &&
           PutFact("source.size", std::to_string(id.size)) && PutFact("source.sector_size", std::to_string(id.sectorSize)) &&
           PutFact("source.model", id.model) && PutFact("source.serial", id.serial) &&
           PutFact("source.modified_ns", std::to_string(id.modifiedNs)) && PutFact("source.head_hash", id.headHash) &&
           PutFact("source.tail_hash", id.tailHash);
}

std::optional<SourceIdentity> CScanFile::Identity() {
    const auto path = Fact("source.path");
    if (!path) return std::nullopt;
    const auto number = [this](const char* name) {
        const auto v = Fact(name);
        return v ? std::strtoull(v->c_str(), nullptr, 10) : 0ULL;
    };
    SourceIdentity id;
    id.path = *path;
    id.device = number("source.device") != 0;
    id.size = number("source.size");
    id.sectorSize = static_cast<std::uint32_t>(number("source.sector_size"));
    id.model = Fact("source.model").value_or("");
    id.serial = Fact("source.serial").value_or("");
    id.modifiedNs = static_cast<std::int64_t>(number("source.modified_ns"));
    id.headHash = Fact("source.head_hash").value_or("");
    id.tailHash = Fact("source.tail_hash").value_or("");
    return id;
}

bool CScanFile::PutVolume(const SavedVolume& v) {
    auto put = db_.Prepare(
        "INSERT OR REPLACE INTO volumes(number, kind, offset, size, type_code, name, label, fs_outcome, used_space,"
        " sector_state, sector_done, free_space_only, row_base) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13);");
    put.Bind(1, std::int64_t{v.number}).Bind(2, std::int64_t{v.kind}).Bind(3, Signed(v.offset)).Bind(4, Signed(v.size));
    put.Bind(5, std::int64_t{v.typeCode}).Bind(6, v.name).Bind(7, v.label).Bind(8, std::int64_t{v.fsOutcome});
    put.BindBlob(9, Intervals(v.usedSpace)).Bind(10, std::int64_t{v.sectorState}).Bind(11, Signed(v.sectorDone));
    put.Bind(12, std::int64_t{v.freeSpaceOnly ? 1 : 0}).Bind(13, v.rowBase);
    return put.Run();
}

std::vector<SavedVolume> CScanFile::Volumes() {
    std::vector<SavedVolume> list;
    auto q = db_.Prepare(
        "SELECT number, kind, offset, size, type_code, name, label, fs_outcome, used_space, sector_state, sector_done,"
        " free_space_only, row_base FROM volumes ORDER BY number;");
    while (q.Step() == platform::SqliteStatement::kRow) {
        SavedVolume v;
        v.number = static_cast<int>(q.Int(0));
        v.kind = static_cast<std::uint32_t>(q.Int(1));
        v.offset = Unsigned(q.Int(2));
        v.size = Unsigned(q.Int(3));
        v.typeCode = static_cast<std::uint32_t>(q.Int(4));
        v.name = q.Text(5);
        v.label = q.Text(6);
        v.fsOutcome = static_cast<std::uint32_t>(q.Int(7));
        v.usedSpace = IntervalsFrom(q.Blob(8));
        v.sectorState = static_cast<int>(q.Int(9));
        v.sectorDone = Unsigned(q.Int(10));
        v.freeSpaceOnly = q.Int(11) != 0;
        v.rowBase = q.Int(12);
        if (v.number < 0 || v.number >= (1 << 20)) {
            problems_.push_back("a volume of the scan file has the number " + std::to_string(v.number) + "; it is left out");
            continue;
        }
        list.push_back(std::move(v));
    }
    return list;
}

bool CScanFile::PutRecord(std::int64_t row, const CFoundObject& r) {
    // Prepared once: a scan writes millions of records.
    if (!putRecord_)
        putRecord_ = std::make_unique<platform::SqliteStatement>(db_.Prepare(
            "INSERT OR REPLACE INTO records(row, id, parent, start, size, data_offset, flags, attributes, type_id,"
            " created, modified, accessed, name) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13);"));
    platform::SqliteStatement& put = *putRecord_;
    put.Reset();
    put.Bind(1, row).Bind(2, Signed(r.Id)).Bind(3, Signed(r.ParentId)).Bind(4, Signed(r.StartPos)).Bind(5, Signed(r.Size));
    put.Bind(6, Signed(r.DataOffset)).Bind(7, std::int64_t{r.Flags}).Bind(8, std::int64_t{r.Attributes});
    put.Bind(9, std::int64_t{r.TypeId});
    const std::uint64_t times[] = {r.CreationTime, r.ModificationTime, r.AccessTime};
    for (int i = 0; i < 3; ++i) times[i] ? put.Bind(10 + i, Signed(times[i])) : put.BindNull(10 + i);
    (r.Flags & FO_NAMED) ? put.Bind(13, r.Name) : put.BindNull(13);
    return put.Run();
}

void CScanFile::ForEachRecord(int number, std::uint64_t sectorDone, const std::function<bool(const SavedRecord&)>& each,
                              std::uint64_t* skipped) {
    auto q = db_.Prepare(
        "SELECT row, id, parent, start, size, data_offset, flags, attributes, type_id, created, modified, accessed, name"
        " FROM records WHERE row >= ?1 AND row < ?2 ORDER BY row;");
    q.Bind(1, RowOf(number, 0)).Bind(2, RowOf(number + 1, 0));
    SavedRecord saved;
    int step = 0;
    while ((step = q.Step()) == platform::SqliteStatement::kRow) {
        CFoundObject& r = saved.record;
        r.Init();
        saved.row = q.Int(0);
        r.Id = Unsigned(q.Int(1));
        r.ParentId = Unsigned(q.Int(2));
        r.StartPos = Unsigned(q.Int(3));
        r.Size = Unsigned(q.Int(4));
        r.DataOffset = Unsigned(q.Int(5));
        r.Flags = static_cast<std::uint16_t>(q.Int(6));
        r.Attributes = static_cast<std::uint16_t>(q.Int(7));
        r.TypeId = static_cast<std::int16_t>(q.Int(8));
        r.CreationTime = Unsigned(q.Int(9));
        r.ModificationTime = Unsigned(q.Int(10));
        r.AccessTime = Unsigned(q.Int(11));
        if (!q.IsNull(12)) r.SetName(q.Text(12));
        // What the sector stage found past the point it had saved everything
        // up to is found again when the scan goes on.
        if ((r.Flags & FO_BY_SIGNATURE) && r.DataOffset / 512 >= sectorDone) continue;
        if (!each(saved)) return;
    }
    // A damaged page ends the walk: what came before it stays loaded.
    if (step != platform::SqliteStatement::kDone) {
        problems_.push_back("the records of volume " + std::to_string(number) + " could not all be read (" + db_.Error() + ")");
        if (skipped) ++*skipped;
    }
}

bool CScanFile::DeleteRecords(int number) {
    auto drop = db_.Prepare("DELETE FROM records WHERE row >= ?1 AND row < ?2;");
    return drop.Bind(1, RowOf(number, 0)).Bind(2, RowOf(number + 1, 0)).Run();
}

bool CScanFile::DropScanRecordsPast(int number, std::uint64_t sectorDone) {
    auto drop = db_.Prepare("DELETE FROM records WHERE row >= ?1 AND row < ?2 AND (flags & ?3) != 0 AND data_offset >= ?4;");
    drop.Bind(1, RowOf(number, 0)).Bind(2, RowOf(number + 1, 0)).Bind(3, std::int64_t{FO_BY_SIGNATURE});
    return drop.Bind(4, Signed(sectorDone * 512)).Run();
}

std::uint64_t CScanFile::RecordCount() {
    auto q = db_.Prepare("SELECT count(*) FROM records;");
    return q.Step() == platform::SqliteStatement::kRow ? Unsigned(q.Int(0)) : 0;
}

std::int64_t CScanFile::LastSequence(int number) {
    auto q = db_.Prepare("SELECT max(row) FROM records WHERE row >= ?1 AND row < ?2;");
    q.Bind(1, RowOf(number, 0)).Bind(2, RowOf(number + 1, 0));
    if (q.Step() != platform::SqliteStatement::kRow || q.IsNull(0)) return -1;
    return q.Int(0) - RowOf(number, 0);
}

}  // namespace tl
