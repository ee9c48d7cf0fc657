// The settings store: a per-user tree of keys holding typed values, kept in
// one SQLite database. Key paths are backslash-separated
// ("Software\Tessa-Loft\Documents\1.0") and, like value names, compared
// without regard to ASCII case. Every write is one transaction.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tl::platform {

enum class ValueType : std::uint32_t { Sz = 1, Binary = 3, Dword = 4 };

struct StoreValue {
    ValueType type = ValueType::Binary;
    std::string data;  // raw bytes; Sz values hold UTF-8 text, Dword values 4 little-endian bytes
};

class SettingsStore {
public:
    // Opens or creates the database `file` (its folder is created when missing).
    // Never fails: a file that is not a readable database is moved aside as
    // "<file>.corrupt" and a fresh one started; when even that is impossible the
    // store lives in memory for this run. Problem() then says what happened.
    explicit SettingsStore(const std::filesystem::path& file);
    // A store that lives in memory only (tests, and the fallback above).
    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The default database of the user: ConfigFolder()/settings.sqlite.
    static std::filesystem::path DefaultPath();

    // Empty when the store opened as it should; otherwise one sentence.
    const std::string& Problem() const { return problem_; }
    bool Persistent() const { return persistent_; }
    // The database file given; empty for a store in memory.
    const std::filesystem::path& File() const { return file_; }

    bool KeyExists(std::string_view key) const;
    bool CreateKey(std::string_view key);
    std::vector<std::string> SubKeys(std::string_view key) const;
    std::vector<std::string> ValueNames(std::string_view key) const;
    std::optional<StoreValue> GetValue(std::string_view key, std::string_view name) const;
    // Creates the key and its parents when missing.
    bool SetValue(std::string_view key, std::string_view name, ValueType type, std::string_view data);
    bool DeleteValue(std::string_view key, std::string_view name);
    // Removes the key with all its subkeys and values.
    bool DeleteKey(std::string_view key);

    // Many writes as one transaction: while a batch is open, writes join it
    // and reach the file together when the outermost batch ends.
    class Batch {
    public:
        explicit Batch(SettingsStore& store);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        SettingsStore& store_;
    };

    std::optional<std::uint32_t> GetDword(std::string_view key, std::string_view name) const;
    bool SetDword(std::string_view key, std::string_view name, std::uint32_t value);
    std::optional<std::string> GetString(std::string_view key, std::string_view name) const;
    bool SetString(std::string_view key, std::string_view name, std::string_view utf8);

private:
    bool OpenDatabase(const std::string& target, bool& damaged);
    bool CreateKeyLocked(const std::string& path);
    bool Exec(const char* sql);
    void CloseDatabase();
    bool Begin();
    bool Commit();
    void Rollback();

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    bool persistent_ = false;
    std::filesystem::path file_;
    int batchDepth_ = 0;
    std::string problem_;
};

// Normalises a key path: backslash separators, no empty segments.
std::string NormaliseKeyPath(std::string_view key);

}  // namespace tl::platform
