#include "storage/gpt_partition_table.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "app/languages.h"
#include "app/string_ids.h"
#include "platform/text.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

constexpr std::size_t kHeaderMinBytes = 92;
constexpr std::size_t kNameOffset = 56;
constexpr std::size_t kNameBytes = 72;  // 36 UTF-16 units

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    // Arrays are capped far below what one call of zlib can take.
    return static_cast<std::uint32_t>(::crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

Guid GuidAt(const std::uint8_t* p) {
    Guid g{};
    std::memcpy(g.data(), p, g.size());
    return g;
}

struct KnownType {
    const char* guid;
    unsigned text;
};

constexpr KnownType kKnownTypes[] = {
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", ids::kGptTypeBasicData},
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", ids::kGptTypeEfiSystem},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", ids::kGptTypeMicrosoftReserved},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", ids::kGptTypeLinuxFileSystem},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", ids::kGptTypeLinuxSwap},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", ids::kGptTypeWindowsRecovery},
};

bool IsPowerOfTwo(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

CGptPartitionTable::CGptPartitionTable(BlockReader reader, std::uint32_t blockBytes, std::uint64_t blockCount,
                                       const CLanguages* texts, std::string diskName)
    : reader_(std::move(reader)),
      blockBytes_(blockBytes >= 512 && IsPowerOfTwo(blockBytes) ? blockBytes : 512),
      // Every byte offset of the disk fits in 64 bits.
      blockCount_(std::min<std::uint64_t>(blockCount, ~std::uint64_t{0} / blockBytes_)),
      texts_(texts),
      diskName_(std::move(diskName)) {}

bool CGptPartitionTable::HasPrimarySignature() const {
    if (blockCount_ < 2) return false;
    std::vector<std::uint8_t> block(blockBytes_);
    return reader_(blockBytes_, block) && std::memcmp(block.data(), "EFI PART", 8) == 0;
}

CGptPartitionTable::Outcome CGptPartitionTable::Read() {
    partitions_.clear();
    problems_.clear();
    entryProblems_ = 0;
    sawSignature_ = false;
    const auto primary = ReadHeader(1);
    if (primary) {
        if (const auto entries = ReadEntries(*primary)) {
            TakeEntries(*primary, *entries);
            return Outcome::Primary;
        }
    }
    // The backup lies in the last block; a disk image copied onto a larger
    // disk keeps it where the intact primary header says, short of the end.
    std::vector<std::uint64_t> backups;
    if (blockCount_ > 2) backups.push_back(blockCount_ - 1);
    if (primary && primary->Alternate > 1 && primary->Alternate < blockCount_ && primary->Alternate != blockCount_ - 1)
        backups.push_back(primary->Alternate);
    for (const std::uint64_t block : backups) {
        const auto backup = ReadHeader(block);
        if (!backup) continue;
        if (const auto entries = ReadEntries(*backup)) {
            problems_.push_back(FormatMessageText(texts_, ids::kGptBackupUsed, diskName_, static_cast<std::int64_t>(block)));
            TakeEntries(*backup, *entries);
            return Outcome::Backup;
        }
    }
    return sawSignature_ ? Outcome::Damaged : Outcome::Absent;
}

std::optional<CGptPartitionTable::Header> CGptPartitionTable::ReadHeader(std::uint64_t block) {
    const auto at = static_cast<std::int64_t>(block);
    const auto diskBlocks = static_cast<std::int64_t>(blockCount_);
    const auto invalid = [&] {
        problems_.push_back(FormatMessageText(texts_, ids::kGptHeaderInvalid, diskName_, at, diskBlocks));
        return std::nullopt;
    };
    if (block >= blockCount_) return invalid();
    std::vector<std::uint8_t> bytes(blockBytes_);
    if (!reader_(block * blockBytes_, bytes)) {
        problems_.push_back(FormatMessageText(texts_, ids::kGptUnreadable, diskName_, at));
        return std::nullopt;
    }
    const std::span<const std::uint8_t> b(bytes);
    if (std::memcmp(b.data(), "EFI PART", 8) != 0) {
        problems_.push_back(FormatMessageText(texts_, ids::kGptHeaderMissing, diskName_, at));
        return std::nullopt;
    }
    sawSignature_ = true;
    const std::uint32_t headerBytes = GetU32(b.data() + 12);
    if (headerBytes < kHeaderMinBytes || headerBytes > b.size()) return invalid();
    std::vector<std::uint8_t> zeroed(b.begin(), b.begin() + headerBytes);
    PutU32(zeroed.data() + 16, 0);
    if (Crc32(zeroed) != GetU32(b.data() + 16)) {
        problems_.push_back(FormatMessageText(texts_, ids::kGptHeaderChecksum, diskName_, at));
        return std::nullopt;
    }
    Header h;
    h.Block = GetU64(b.data() + 24);
    h.Alternate = GetU64(b.data() + 32);
    h.FirstUsable = GetU64(b.data() + 40);
    h.LastUsable = GetU64(b.data() + 48);
    h.EntriesBlock = GetU64(b.data() + 72);
    h.EntryCount = GetU32(b.data() + 80);
    h.EntryBytes = GetU32(b.data() + 84);
    h.EntriesCrc = GetU32(b.data() + 88);
    // A header that sits elsewhere than it says is a stray copy.
    if (h.Block != block || h.FirstUsable > h.LastUsable) return invalid();
    const std::uint64_t arrayBytes = std::uint64_t{h.EntryCount} * h.EntryBytes;
    if (h.EntryBytes < kMinEntryBytes || h.EntryBytes % kMinEntryBytes != 0 || !IsPowerOfTwo(h.EntryBytes / kMinEntryBytes) ||
        arrayBytes > kMaxArrayBytes) {
        problems_.push_back(FormatMessageText(texts_, ids::kGptEntryLayout, diskName_, at, static_cast<std::int64_t>(h.EntryCount),
                                              static_cast<std::int64_t>(h.EntryBytes),
                                              static_cast<std::int64_t>(kMaxArrayBytes)));
        return std::nullopt;
    }
    // The array lies on the disk, clear of block 0 and of its header.
    const std::uint64_t arrayBlocks = (arrayBytes + blockBytes_ - 1) / blockBytes_;
    if (arrayBlocks > 0 && (h.EntriesBlock == 0 || h.EntriesBlock >= blockCount_ || arrayBlocks > blockCount_ - h.EntriesBlock ||
                            (block >= h.EntriesBlock && block < h.EntriesBlock + arrayBlocks)))
        return invalid();
    return h;
}

std::optional<std::vector<std::uint8_t>> CGptPartitionTable::ReadEntries(const Header& h) {
    const std::uint64_t arrayBytes = std::uint64_t{h.EntryCount} * h.EntryBytes;
    const std::uint64_t arrayBlocks = (arrayBytes + blockBytes_ - 1) / blockBytes_;
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(arrayBlocks * blockBytes_));
    if (!entries.empty() && !reader_(h.EntriesBlock * blockBytes_, entries)) {
        problems_.push_back(FormatMessageText(texts_, ids::kGptUnreadable, diskName_, static_cast<std::int64_t>(h.EntriesBlock)));
        return std::nullopt;
    }
    entries.resize(static_cast<std::size_t>(arrayBytes));
    if (Crc32(entries) != h.EntriesCrc) {
        problems_.push_back(
            FormatMessageText(texts_, ids::kGptEntriesChecksum, diskName_, static_cast<std::int64_t>(h.EntriesBlock)));
        return std::nullopt;
    }
    return entries;
}

void CGptPartitionTable::NoteEntryProblem(std::string line) {
    if (entryProblems_++ < kMaxEntryProblems) problems_.push_back(std::move(line));
}

void CGptPartitionTable::TakeEntries(const Header& h, std::span<const std::uint8_t> entries) {
    const auto diskBlocks = static_cast<std::int64_t>(blockCount_);
    for (std::uint32_t i = 0; i < h.EntryCount; ++i) {
        const std::uint8_t* e = entries.data() + std::size_t{i} * h.EntryBytes;
        GptPartition p;
        p.Number = i + 1;
        p.TypeGuid = GuidAt(e);
        if (std::all_of(p.TypeGuid.begin(), p.TypeGuid.end(), [](std::uint8_t x) { return x == 0; })) continue;
        p.UniqueGuid = GuidAt(e + 16);
        p.FirstBlock = GetU64(e + 32);
        p.LastBlock = GetU64(e + 40);
        p.Attributes = GetU64(e + 48);
        p.Name = NameFromField(std::span<const std::uint8_t>(e + kNameOffset, kNameBytes));
        const auto number = static_cast<int>(p.Number);
        if (p.FirstBlock > p.LastBlock) {
            NoteEntryProblem(FormatMessageText(texts_, ids::kGptEntryReversed, diskName_, number,
                                               static_cast<std::int64_t>(p.FirstBlock), static_cast<std::int64_t>(p.LastBlock)));
            continue;
        }
        if (p.FirstBlock >= blockCount_) {
            NoteEntryProblem(FormatMessageText(texts_, ids::kGptEntryBeyondDisk, diskName_, number,
                                               static_cast<std::int64_t>(p.FirstBlock), diskBlocks));
            continue;
        }
        // Outside the usable blocks or past the end it still holds what the
        // user put there; it is kept, cut at the end of the disk.
        if (p.FirstBlock < h.FirstUsable || p.LastBlock > h.LastUsable)
            NoteEntryProblem(FormatMessageText(texts_, ids::kGptEntryOutsideUsable, diskName_, number,
                                               static_cast<std::int64_t>(h.FirstUsable), static_cast<std::int64_t>(h.LastUsable)));
        if (p.LastBlock >= blockCount_) {
            NoteEntryProblem(FormatMessageText(texts_, ids::kGptEntryPastEnd, diskName_, number, diskBlocks));
            p.LastBlock = blockCount_ - 1;
        }
        partitions_.push_back(std::move(p));
    }
    // Overlaps, in the order of the partitions' first blocks: each against the
    // one before it that reaches furthest.
    std::vector<std::size_t> order(partitions_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return partitions_[a].FirstBlock < partitions_[b].FirstBlock; });
    for (std::size_t i = 1, reach = order.empty() ? 0 : order[0]; i < order.size(); ++i) {
        const GptPartition& p = partitions_[order[i]];
        if (p.FirstBlock <= partitions_[reach].LastBlock)
            NoteEntryProblem(FormatMessageText(texts_, ids::kGptEntriesOverlap, diskName_,
                                               static_cast<int>(partitions_[reach].Number), static_cast<int>(p.Number)));
        if (p.LastBlock > partitions_[reach].LastBlock) reach = order[i];
    }
}

std::string CGptPartitionTable::GuidText(const Guid& g) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    // The first three fields are stored little-endian.
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        const std::uint8_t byte = g[kOrder[i]];
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

std::optional<Guid> CGptPartitionTable::ParseGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return std::nullopt;
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Guid g{};
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (text[at] != '-') return std::nullopt;
            ++at;
        }
        const int high = nibble(text[at]), low = nibble(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        g[kOrder[i]] = static_cast<std::uint8_t>(high << 4 | low);
        at += 2;
    }
    return g;
}

std::string CGptPartitionTable::TypeName(const Guid& type, const CLanguages* texts) {
    const std::string text = GuidText(type);
    for (const KnownType& known : kKnownTypes)
        if (text == known.guid) return texts ? texts->GetString(known.text) : std::string(BuiltinString(known.text));
    return {};
}

std::string CGptPartitionTable::TypeText(const Guid& type, const CLanguages* texts) {
    std::string name = TypeName(type, texts);
    return name.empty() ? GuidText(type) : name;
}

std::string CGptPartitionTable::NameFromField(std::span<const std::uint8_t> field) {
    std::size_t units = 0;
    while (units * 2 + 1 < field.size() && GetU16(field.data() + units * 2) != 0) ++units;
    return SanitisedName(platform::Utf16LeBytesToUtf8(field.first(units * 2)));
}

std::string CGptPartitionTable::SanitisedName(std::string_view text) {
    std::u16string units = platform::Utf8ToUtf16(text);
    for (char16_t& c : units) {
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        const bool direction = (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
        if (control || direction) c = u'_';
    }
    return platform::Utf16ToUtf8(units);
}

}  // namespace tl
