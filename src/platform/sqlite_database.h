// A thin hold on SQLite for the stores of the program (the settings, the
// scan files): a database connection and prepared statements that finalise
// themselves, with the error of the last call kept as text. Nothing here
// throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tl::platform {

class SqliteStatement {
public:
    // What Step answers when a row came, and when the statement ended.
    static constexpr int kRow = 100;
    static constexpr int kDone = 101;

    SqliteStatement(sqlite3* db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&&) = delete;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool Ok() const { return stmt_ != nullptr; }
    SqliteStatement& Bind(int index, std::string_view text);
    SqliteStatement& BindBlob(int index, std::string_view bytes);
    SqliteStatement& Bind(int index, std::int64_t value);
    SqliteStatement& BindNull(int index);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    // One step that must end the statement.
    bool Run();
    // Makes the statement ready to be bound and run again.
    void Reset();

    std::string Text(int column) const;
    std::string Blob(int column) const;
    std::int64_t Int(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDatabase {
public:
    SqliteDatabase() = default;
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    enum class Mode { ReadWriteCreate, ReadWrite, ReadOnly };
    // Opens `file` (":memory:" for a database in memory); false, with
    // Error() saying why, when it cannot be opened.
    bool Open(const std::string& file, Mode mode);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }

    bool Exec(const char* sql);
    SqliteStatement Prepare(const char* sql) { return SqliteStatement(db_, sql); }
    // The message and primary result code of the last call that failed.
    std::string Error() const;
    int ErrorCode() const;
    // The last failure was that another connection holds the lock.
    bool LastWasBusy() const;
    // "ok", or the first problems SQLite's integrity check finds (at most
    // `limit` of them, one a line).
    std::string IntegrityCheck(int limit = 10);

private:
    sqlite3* db_ = nullptr;
    std::string openError_;
};

}  // namespace tl::platform
