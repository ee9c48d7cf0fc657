#include "platform/settings_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <system_error>

#include "platform/files.h"
#include "platform/sqlite_database.h"
#include "platform/text.h"

namespace tl::platform {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  norm TEXT PRIMARY KEY,"
    "  path TEXT NOT NULL,"
    "  parent TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key TEXT NOT NULL,"
    "  name_norm TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name_norm));";

std::string ParentOf(const std::string& path) {
    const auto pos = path.rfind('\\');
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

using Statement = SqliteStatement;

}  // namespace

std::string NormaliseKeyPath(std::string_view key) {
    std::string out;
    std::size_t i = 0;
    while (i < key.size()) {
        while (i < key.size() && (key[i] == '\\' || key[i] == '/')) ++i;
        const std::size_t start = i;
        while (i < key.size() && key[i] != '\\' && key[i] != '/') ++i;
        if (i > start) {
            if (!out.empty()) out += '\\';
            out.append(key.substr(start, i - start));
        }
    }
    return out;
}

SettingsStore::SettingsStore() {
    bool ignored = false;
    OpenDatabase(":memory:", ignored);
}

SettingsStore::SettingsStore(const std::filesystem::path& file) : file_(file) {
    if (file.has_parent_path()) CreateFolderChain(file.parent_path());
    bool damaged = false;
    if (OpenDatabase(file.string(), damaged)) {
        persistent_ = true;
        return;
    }
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "cannot open";
    CloseDatabase();
    // Only a file that is certainly not a sound database is moved aside; a
    // locked or unreadable one is left alone and this run keeps its settings
    // in memory.
    if (damaged) {
        std::filesystem::path aside = file;
        aside += ".corrupt";
        std::error_code ec;
        std::filesystem::rename(file, aside, ec);
        bool again = false;
        if (!ec && OpenDatabase(file.string(), again)) {
            persistent_ = true;
            problem_ = "the settings database " + file.string() + " could not be read (" + reason +
                       "); it was kept as " + aside.string() + " and a new one was started";
            return;
        }
        CloseDatabase();
    }
    bool ignored = false;
    OpenDatabase(":memory:", ignored);
    problem_ = "the settings database " + file.string() + " could not be read (" + reason +
               "); settings are kept in memory for this run only";
}

SettingsStore::~SettingsStore() { CloseDatabase(); }

std::filesystem::path SettingsStore::DefaultPath() { return ConfigFolder() / "settings.sqlite"; }

void SettingsStore::CloseDatabase() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool SettingsStore::Exec(const char* sql) {
    return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SettingsStore::OpenDatabase(const std::string& target, bool& damaged) {
    damaged = false;
    if (sqlite3_open_v2(target.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(db_, 2000);
    // A write-ahead log with normal syncing keeps the file sound after a
    // crash at a fraction of the cost of a full sync per write.
    Exec("PRAGMA journal_mode=WAL;");
    Exec("PRAGMA synchronous=NORMAL;");
    // A file that is not a database fails at its first read; a damaged one at
    // the integrity check.
    const auto isDamage = [this] {
        const int code = sqlite3_errcode(db_) & 0xFF;
        return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
    };
    if (!Exec("PRAGMA schema_version;") || !Exec(kSchema)) {
        damaged = isDamage();
        return false;
    }
    Statement check(db_, "PRAGMA quick_check;");
    if (check.Step() == SQLITE_ROW && check.Text(0) == "ok") return true;
    damaged = true;
    return false;
}

// Inside a batch the statements of one write join the open transaction.
bool SettingsStore::Begin() { return batchDepth_ > 0 || Exec("BEGIN IMMEDIATE;"); }
bool SettingsStore::Commit() { return batchDepth_ > 0 || Exec("COMMIT;"); }
void SettingsStore::Rollback() {
    if (batchDepth_ == 0) Exec("ROLLBACK;");
}

SettingsStore::Batch::Batch(SettingsStore& store) : store_(store) {
    std::lock_guard lock(store_.mutex_);
    if (store_.batchDepth_ == 0 && !store_.Exec("BEGIN IMMEDIATE;")) return;
    ++store_.batchDepth_;
}

SettingsStore::Batch::~Batch() {
    std::lock_guard lock(store_.mutex_);
    if (store_.batchDepth_ == 0) return;
    if (--store_.batchDepth_ == 0 && !store_.Exec("COMMIT;")) store_.Exec("ROLLBACK;");
}

bool SettingsStore::CreateKeyLocked(const std::string& path) {
    // Insert the key and every missing ancestor.
    std::string current = path;
    while (!current.empty()) {
        Statement insert(db_, "INSERT OR IGNORE INTO keys(norm, path, parent) VALUES(?1, ?2, ?3);");
        insert.Bind(1, AsciiLower(current)).Bind(2, current).Bind(3, AsciiLower(ParentOf(current)));
        if (!insert.Run()) return false;
        current = ParentOf(current);
    }
    return true;
}

bool SettingsStore::KeyExists(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const std::string path = NormaliseKeyPath(key);
    if (path.empty()) return true;
    Statement q(db_, "SELECT 1 FROM keys WHERE norm = ?1;");
    q.Bind(1, AsciiLower(path));
    return q.Step() == SQLITE_ROW;
}

bool SettingsStore::CreateKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    const std::string path = NormaliseKeyPath(key);
    if (!Begin()) return false;
    if (CreateKeyLocked(path) && Commit()) return true;
    Rollback();
    return false;
}

std::vector<std::string> SettingsStore::SubKeys(std::string_view key) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    Statement q(db_, "SELECT path FROM keys WHERE parent = ?1 ORDER BY norm;");
    q.Bind(1, AsciiLower(NormaliseKeyPath(key)));
    while (q.Step() == SQLITE_ROW) {
        const std::string path = q.Text(0);
        const auto pos = path.rfind('\\');
        names.push_back(pos == std::string::npos ? path : path.substr(pos + 1));
    }
    return names;
}

std::vector<std::string> SettingsStore::ValueNames(std::string_view key) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    Statement q(db_, "SELECT name FROM vals WHERE key = ?1 ORDER BY name_norm;");
    q.Bind(1, AsciiLower(NormaliseKeyPath(key)));
    while (q.Step() == SQLITE_ROW) names.push_back(q.Text(0));
    return names;
}

std::optional<StoreValue> SettingsStore::GetValue(std::string_view key, std::string_view name) const {
    std::lock_guard lock(mutex_);
    Statement q(db_, "SELECT type, data FROM vals WHERE key = ?1 AND name_norm = ?2;");
    q.Bind(1, AsciiLower(NormaliseKeyPath(key))).Bind(2, AsciiLower(name));
    if (q.Step() != SQLITE_ROW) return std::nullopt;
    return StoreValue{static_cast<ValueType>(q.Int(0)), q.Blob(1)};
}

bool SettingsStore::SetValue(std::string_view key, std::string_view name, ValueType type, std::string_view data) {
    std::lock_guard lock(mutex_);
    const std::string path = NormaliseKeyPath(key);
    if (!Begin()) return false;
    bool ok = CreateKeyLocked(path);
    if (ok) {
        Statement upsert(db_,
                         "INSERT INTO vals(key, name_norm, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                         "ON CONFLICT(key, name_norm) DO UPDATE SET name = ?3, type = ?4, data = ?5;");
        upsert.Bind(1, AsciiLower(path)).Bind(2, AsciiLower(name)).Bind(3, name);
        upsert.Bind(4, static_cast<std::int64_t>(type)).BindBlob(5, data);
        ok = upsert.Run();
    }
    if (ok && Commit()) return true;
    Rollback();
    return false;
}

bool SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
    std::lock_guard lock(mutex_);
    Statement del(db_, "DELETE FROM vals WHERE key = ?1 AND name_norm = ?2;");
    del.Bind(1, AsciiLower(NormaliseKeyPath(key))).Bind(2, AsciiLower(name));
    return del.Run() && sqlite3_changes(db_) > 0;
}

bool SettingsStore::DeleteKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    const std::string norm = AsciiLower(NormaliseKeyPath(key));
    if (norm.empty()) return false;
    // The key itself and everything below it ("norm\..." sorts between the two bounds).
    const std::string lo = norm + "\\";
    const std::string hi = norm + "]";  // ']' is the character after '\'
    if (!Begin()) return false;
    Statement delVals(db_, "DELETE FROM vals WHERE key = ?1 OR (key >= ?2 AND key < ?3);");
    delVals.Bind(1, norm).Bind(2, lo).Bind(3, hi);
    Statement delKeys(db_, "DELETE FROM keys WHERE norm = ?1 OR (norm >= ?2 AND norm < ?3);");
    delKeys.Bind(1, norm).Bind(2, lo).Bind(3, hi);
    if (delVals.Run() && delKeys.Run() && Commit()) return true;
    Rollback();
    return false;
}

std::optional<std::uint32_t> SettingsStore::GetDword(std::string_view key, std::string_view name) const {
    const auto v = GetValue(key, name);
    if (!v || v->type != ValueType::Dword || v->data.size() != 4) return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(v->data.data());
    return static_cast<std::uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24));
}

bool SettingsStore::SetDword(std::string_view key, std::string_view name, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF)};
    return SetValue(key, name, ValueType::Dword, std::string_view(bytes, 4));
}

std::optional<std::string> SettingsStore::GetString(std::string_view key, std::string_view name) const {
    auto v = GetValue(key, name);
    if (!v || v->type != ValueType::Sz) return std::nullopt;
    return std::move(v->data);
}

bool SettingsStore::SetString(std::string_view key, std::string_view name, std::string_view utf8) {
    return SetValue(key, name, ValueType::Sz, utf8);
}

}  // namespace tl::platform
