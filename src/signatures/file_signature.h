// One file type of the signature database (or one group of types): the
// patterns that recognise the first block of such a file, and the switches
// and texts that say whether it is searched for, how found files are named
// and how large they are assumed to be.
//
// The head (up to PatternCount) is a fixed 1436-byte little-endian record,
// byte for byte the head of a signature file (".filesig"):
//   0 Id, 4 GroupId, 8 SearchEnable, 12 View, 16 ShowFilesThisType,
//   20 IsGroup, 24 Reserved24, 28 Reserved28, 32 Reserved32, 36 DefaultSize
//   (KB), 40 Coincidence, 44 Reserved44, 48 SearchOrder, 52 Reserved52
//   (1380 bytes), 1432 PatternCount.
// A signature file is that head followed by PatternCount pattern blocks; it
// holds no texts and is at most 16384 bytes long.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings_store.h"
#include "signatures/signature_pattern.h"

namespace tl {

class FileSignature {
public:
    static constexpr std::size_t kHeadBytes = 1436;
    static constexpr std::size_t kMaxFileBytes = 16384;
    static constexpr int kMaxPatternTexts = 99;
    // Patterns that have no text form are kept in this binary value of the
    // type's key, as the signature-file image of the type with those patterns.
    static constexpr std::string_view kBinaryPatternsValue = "SignatureFile";

    // Head fields, in head order.
    std::uint32_t Id = 0;
    std::uint32_t GroupId = 0;
    std::uint32_t SearchEnable = 1;
    std::uint32_t View = 0;
    std::uint32_t ShowFilesThisType = 1;
    std::uint32_t IsGroup = 0;
    std::uint32_t Reserved24 = 0;
    std::uint32_t Reserved28 = 0;
    std::uint32_t Reserved32 = 0;
    std::uint32_t DefaultSize = 1024;
    std::uint32_t Coincidence = 100;
    std::uint32_t Reserved44 = 0;
    std::uint32_t SearchOrder = 50;
    std::array<std::uint8_t, 1380> Reserved52{};
    // PatternCount is Patterns.size(), written into the head when serialised.

    // Held in memory only.
    std::uint32_t Modified = 0;
    std::int32_t ImageIndex = -1;
    std::vector<SignaturePattern> Patterns;
    std::uint32_t GroupValue = 0;
    std::uint32_t SizeChoice = 0;  // 0 ask, 1 default, 2 next file, 3 next same type, 4 custom
    std::string Title;
    std::string Description;
    std::string FileExtensions;
    std::string Prefix;
    std::string LastUpdate;
    std::string Group;
    std::uint32_t InternalProcessing = 0;
    std::uint32_t Enable = 0;

    // A recovery remembers the size choice for the type (and the custom
    // size as DefaultSize) while other threads use the record: the sector
    // scan reads DefaultSize, other recoveries both. Those accesses go
    // through these, as single atomic words; the size is stored before the
    // choice that refers to it.
    std::uint32_t SharedDefaultSize() const { return Shared(DefaultSize).load(std::memory_order_relaxed); }
    std::uint32_t SharedSizeChoice() const { return Shared(SizeChoice).load(std::memory_order_acquire); }
    void RememberSizeChoice(std::uint32_t choice, std::optional<std::uint32_t> defaultSize) {
        if (defaultSize) Shared(DefaultSize).store(*defaultSize, std::memory_order_relaxed);
        Shared(SizeChoice).store(choice, std::memory_order_release);
    }

    // Any pattern matches the block (`length` readable bytes from `block`).
    bool Matches(const std::uint8_t* block, std::size_t length) const;

    // Appends the pattern of a pattern text; an empty text adds nothing.
    void AddPatternText(std::string_view text);
    // Appends a pattern of one element of `kind`.
    void AddPattern(std::uint32_t kind, std::span<const std::uint8_t> data, std::int32_t offset,
                    std::uint16_t length, std::uint16_t repeat);
    void AddBytePattern(std::uint8_t value, std::int32_t offset);
    void AddWordPattern(std::uint16_t value, std::int32_t offset);
    void AddDwordPattern(std::uint32_t value, std::int32_t offset);
    void AddQwordPattern(std::uint64_t value, std::int32_t offset);

    // The extensions of FileExtensions: the pieces between ',' and ';'
    // without blanks, '*' and '.' around them; empty pieces are left out.
    std::vector<std::string_view> ExtensionList() const;
    // The first of them, or an empty text.
    std::string GetFirstExtension() const;
    // Title, else Description, else "Type <Id>".
    std::string DisplayTitle() const;

    // Signature-file image of the head and the given patterns (all by default).
    std::vector<std::uint8_t> Serialize() const;
    std::vector<std::uint8_t> Serialize(std::span<const SignaturePattern> patterns) const;
    // Reads a signature-file image; nullopt with the reason in `error` when it
    // is longer than 16384 bytes, shorter than its head, or its counts and
    // sizes do not fit the bytes present.
    static std::optional<FileSignature> Deserialize(std::span<const std::uint8_t> bytes, std::string& error);

    // The settings-store form: DWORD and SZ values, "Signature01".."Signature99"
    // pattern texts, and the binary value of patterns without text form.
    // LoadFromKey leaves defaults where values are missing and sets Id from
    // the key name; it returns false when the key does not exist.
    bool LoadFromKey(const platform::SettingsStore& store, std::string_view parentKey, std::string_view name);
    // Writes the values under ROOT\Signatures\%.5d, or ROOT\Groups\%.5d for
    // a group record, so that the key holds exactly this record's patterns:
    // pattern values it no longer has are removed.
    bool SaveToStore(platform::SettingsStore& store, std::string_view root) const;

private:
    void ReadHead(std::span<const std::uint8_t> head);
    // The records are never const objects: the word may be written through.
    static std::atomic_ref<std::uint32_t> Shared(const std::uint32_t& word) {
        return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(word));
    }
};

// "%.5d" of an identifier, as the settings store names type keys.
std::string SignatureKeyName(std::uint32_t id);

}  // namespace tl
