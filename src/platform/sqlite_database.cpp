#include "platform/sqlite_database.h"

#include <sqlite3.h>

namespace tl::platform {

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) {
    if (db && sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
    if (stmt_) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, std::string_view bytes) {
    if (stmt_) sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
    if (stmt_) sqlite3_bind_null(stmt_, index);
    return *this;
}

int SqliteStatement::Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

bool SqliteStatement::Run() { return Step() == SQLITE_DONE; }

void SqliteStatement::Reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string SqliteStatement::Text(int column) const {
    const auto* p = stmt_ ? sqlite3_column_text(stmt_, column) : nullptr;
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
}

std::string SqliteStatement::Blob(int column) const {
    const void* p = stmt_ ? sqlite3_column_blob(stmt_, column) : nullptr;
    return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
}

std::int64_t SqliteStatement::Int(int column) const { return stmt_ ? sqlite3_column_int64(stmt_, column) : 0; }

bool SqliteStatement::IsNull(int column) const { return !stmt_ || sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

SqliteDatabase::~SqliteDatabase() { Close(); }

bool SqliteDatabase::Open(const std::string& file, Mode mode) {
    Close();
    openError_.clear();
    const int flags = (mode == Mode::ReadOnly    ? SQLITE_OPEN_READONLY
                       : mode == Mode::ReadWrite ? SQLITE_OPEN_READWRITE
                                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                      SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) == SQLITE_OK) return true;
    openError_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
    Close();
    return false;
}

void SqliteDatabase::Close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool SqliteDatabase::Exec(const char* sql) { return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

std::string SqliteDatabase::Error() const { return db_ ? sqlite3_errmsg(db_) : openError_; }

int SqliteDatabase::ErrorCode() const { return db_ ? sqlite3_errcode(db_) & 0xFF : SQLITE_CANTOPEN; }

bool SqliteDatabase::LastWasBusy() const { return ErrorCode() == SQLITE_BUSY || ErrorCode() == SQLITE_LOCKED; }

std::string SqliteDatabase::IntegrityCheck(int limit) {
    const std::string sql = "PRAGMA integrity_check(" + std::to_string(limit) + ");";
    SqliteStatement check(db_, sql.c_str());
    if (!check.Ok()) return Error();
    std::string problems;
    while (check.Step() == SQLITE_ROW) {
        if (!problems.empty()) problems += '\n';
        problems += check.Text(0);
    }
    return problems.empty() ? Error() : problems;
}

}  // namespace tl::platform
