// A GUID partition table: the header in block 1 of a disk (a backup of it
// in the disk's last block), and the array of partition entries the header
// points to, each guarded by a CRC32.
//
// Header (little-endian, in one block): "EFI PART" at 0, header size at 12
// (92 up to a block), its CRC32 at 16 (taken with the field zeroed), the
// header's own block at 24, the other header's block at 32, the first and
// last usable block at 40 and 48, the disk GUID at 56, the first block of
// the entry array at 72, the entry count at 80, the entry size at 84
// (128 x 2^n) and the array's CRC32 at 88.
// Entry: type GUID at 0 (all zeros: unused), unique GUID at 16, first and
// last block at 32 and 40 (inclusive), attributes at 48, and the name at 56:
// up to 36 UTF-16LE units, ended by a 0 unit when shorter.
//
// Blocks are the disk's logical sectors (512 or 4096 bytes); the reader
// fetches whole blocks through a function and reads every field from the
// bytes that came back. Nothing it is given is trusted: sizes are checked
// before they are used, the array it reads is capped, and every problem
// becomes a line of Problems(), never a failure beyond "no table".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tl {

class CLanguages;

// A GUID as stored: its first three fields little-endian, the rest as bytes.
using Guid = std::array<std::uint8_t, 16>;

struct GptPartition {
    std::uint32_t Number = 0;  // 1-based index in the entry array
    Guid TypeGuid{};
    Guid UniqueGuid{};
    std::uint64_t FirstBlock = 0;  // inclusive, in blocks of the table
    std::uint64_t LastBlock = 0;   // inclusive; cut at the disk's last block
    std::uint64_t Attributes = 0;
    std::string Name;  // UTF-8, control characters replaced
};

class CGptPartitionTable {
public:
    static constexpr std::uint32_t kMinEntryBytes = 128;
    // The most entry bytes read. Every partitioning tool writes 128 entries
    // of 128 bytes (16 KiB) and no system reads more than a few hundred
    // partitions; 1 MiB holds 8192 such entries, far beyond any real table,
    // and bounds both the memory a hostile header can ask for and the
    // volumes it can make.
    static constexpr std::uint64_t kMaxArrayBytes = 1u << 20;
    // Problems of single entries logged per table; the rest are dropped.
    static constexpr std::size_t kMaxEntryProblems = 16;

    // Reads `out.size()` bytes at byte `offset` of the disk; true when every
    // byte came back. Offsets and sizes are whole blocks.
    using BlockReader = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;

    enum class Outcome {
        Absent,   // no header signature in either place
        Damaged,  // a header was there, but neither it nor the other is usable
        Primary,  // read from the header in block 1
        Backup,   // read from the backup header
    };

    // A disk of `blockCount` blocks of `blockBytes` (a power of two from 512
    // on); `diskName` and `texts` word the problems.
    CGptPartitionTable(BlockReader reader, std::uint32_t blockBytes, std::uint64_t blockCount,
                       const CLanguages* texts, std::string diskName);

    // True when block 1 begins with the header signature (read only, nothing
    // checked, no problem noted).
    bool HasPrimarySignature() const;

    // Reads the primary header and its array, else the backup (in the last
    // block, or where an intact primary header says it lies) and its array.
    Outcome Read();

    const std::vector<GptPartition>& Partitions() const { return partitions_; }
    // What was wrong, worded for the log, in the order it was met.
    const std::vector<std::string>& Problems() const { return problems_; }
    std::uint32_t BlockBytes() const { return blockBytes_; }

    // "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7".
    static std::string GuidText(const Guid& guid);
    // The text form (either case, braces allowed) back to the stored bytes.
    static std::optional<Guid> ParseGuid(std::string_view text);
    // The name of a known partition type, else empty.
    static std::string TypeName(const Guid& type, const CLanguages* texts);
    // The type's name, or its GUID text when the type is not known.
    static std::string TypeText(const Guid& type, const CLanguages* texts);
    // An entry's name field: UTF-16LE units up to the first 0 unit or the
    // end of `field`; unpaired surrogates become U+FFFD.
    static std::string NameFromField(std::span<const std::uint8_t> field);
    // A partition name from anywhere (the disk, the system) made fit to
    // show: invalid UTF-8 becomes U+FFFD; control and direction-override
    // characters become '_'.
    static std::string SanitisedName(std::string_view text);

private:
    struct Header {
        std::uint64_t Block = 0;
        std::uint64_t Alternate = 0;
        std::uint64_t FirstUsable = 0;
        std::uint64_t LastUsable = 0;
        std::uint64_t EntriesBlock = 0;
        std::uint32_t EntryCount = 0;
        std::uint32_t EntryBytes = 0;
        std::uint32_t EntriesCrc = 0;
    };

    std::optional<Header> ReadHeader(std::uint64_t block);
    std::optional<std::vector<std::uint8_t>> ReadEntries(const Header& header);
    void TakeEntries(const Header& header, std::span<const std::uint8_t> entries);
    void NoteEntryProblem(std::string line);

    BlockReader reader_;
    std::uint32_t blockBytes_;
    std::uint64_t blockCount_;
    const CLanguages* texts_;
    std::string diskName_;
    std::vector<GptPartition> partitions_;
    std::vector<std::string> problems_;
    std::size_t entryProblems_ = 0;
    bool sawSignature_ = false;
};

}  // namespace tl
