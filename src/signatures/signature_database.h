// The database of file signatures: every file type the sector scan can
// recognise, its groups for display, and the map from file-name extensions to
// types. Loaded from and saved to the settings store under ROOT\Signatures,
// one key per type named by its Id ("%.5d").
//
// Records never move and are never removed while the program runs (the scan
// works on a snapshot taken when it starts, see SignatureMatcher), so
// pointers to them stay valid.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings_store.h"
#include "signatures/file_signature.h"

namespace tl {

class CEventLog;
class CLanguages;

class SignatureDatabase {
public:
    static constexpr std::uint32_t kUnknownGroupId = 0xFFFFFFFF;  // the group "Unknown" (-1)

    // `root` is the program's settings key; `texts` and `log` give the
    // messages of imports and of the first set (either may be null in tests).
    SignatureDatabase(platform::SettingsStore& store, std::string root, const CLanguages* texts = nullptr,
                      CEventLog* log = nullptr);
    SignatureDatabase(const SignatureDatabase&) = delete;
    SignatureDatabase& operator=(const SignatureDatabase&) = delete;

    std::string SignaturesKey() const { return root_ + "\\Signatures"; }

    // Reads every type key, then rebuilds the groups and the extension map.
    int Load();
    // Writes every type; 1 when the last write succeeded.
    int SaveAll();

    // When the store has no Signatures key yet, writes the first signature set
    // of `setFile` (INI sections named by Id holding the values of a type key)
    // into it. Returns the number of types written (0 when nothing was done).
    int InstallFirstSet(const std::filesystem::path& setFile);
    // The first set shipped beside the program, then the installed one.
    static std::vector<std::filesystem::path> FirstSetFiles();

    FileSignature* FindById(std::uint32_t id);
    const FileSignature* FindById(std::uint32_t id) const;
    // By `typeId` when it is non-zero and known; else by the extension of
    // `name` (whose type then becomes the low 16 bits of the record's Id).
    const FileSignature* FindForObject(std::uint16_t& typeId, std::string_view name) const;

    // Reads a signature file and adds its type (or updates the type with the
    // same Id: its patterns, sizes and reserved fields; its texts and the
    // user's switches stay). Asks the message boxes of the outcome, saves the
    // database, and returns the record; nullptr when the file cannot be read
    // or is not a sound signature file (then nothing changes).
    FileSignature* ImportFile(std::string path);
    // Writes the signature file of a type. False when it cannot be written or
    // would exceed the 16384 bytes a signature file may hold.
    bool ExportFile(const FileSignature& signature, const std::filesystem::path& path, std::string& error) const;

    // Gives `type` the identifier `id`; false when another type has it. The
    // store forgets the key of the old identifier (SaveAll writes the new one).
    bool ChangeId(FileSignature& type, std::uint32_t id);

    FileSignature& AddSignature(FileSignature signature);
    FileSignature& MakeGroup(std::uint32_t id, std::string name, std::uint32_t value = 0);
    void RebuildGroups();
    void RebuildExtensions();

    const std::vector<std::unique_ptr<FileSignature>>& Signatures() const { return signatures_; }
    const std::map<std::uint32_t, std::unique_ptr<FileSignature>>& Groups() const { return groups_; }
    const std::map<std::string, FileSignature*>& Extensions() const { return extensions_; }
    // The group record a type belongs to, or null ("Unknown").
    const FileSignature* GroupOf(const FileSignature& type) const;

private:
    std::string Text(unsigned id) const;
    template <class... Args>
    std::string Format(unsigned id, const Args&... args) const;

    platform::SettingsStore& store_;
    std::string root_;
    const CLanguages* texts_;
    CEventLog* log_;
    std::vector<std::unique_ptr<FileSignature>> signatures_;
    std::map<std::uint32_t, std::unique_ptr<FileSignature>> groups_;
    std::map<std::string, FileSignature*> extensions_;
};

}  // namespace tl
