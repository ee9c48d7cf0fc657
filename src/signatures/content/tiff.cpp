#include <algorithm>
#include <array>
#include <vector>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// Bytes of one value of each field type 1 to 13 (BYTE, ASCII, SHORT, LONG,
// RATIONAL, SBYTE, UNDEFINED, SSHORT, SLONG, SRATIONAL, FLOAT, DOUBLE, IFD).
constexpr std::uint8_t kTypeSize[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
constexpr std::uint16_t kShort = 3, kLong = 4, kIfd = 13;

// Directories followed at most (pages, thumbnails, Exif, GPS, sub-images),
// and entries a directory may have.
constexpr std::size_t kMaxDirectories = 256;
constexpr std::uint16_t kMaxEntries = 4096;
// Ranges asked for are held until the scan passes them: what one file may
// ask for in all. The two arrays of a quarter of a million strips take 2 MiB.
constexpr std::uint64_t kMaxAskedBytes = std::uint64_t{32} << 20;
// Offsets are 32-bit: nothing of a classic TIFF lies past 4 GiB.
constexpr std::uint64_t kMaxEnd = std::uint64_t{1} << 32;

// Tags that lead to more of the file.
constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
constexpr std::uint16_t kSubIfds = 330, kJpegOffset = 513, kJpegLength = 514;
constexpr std::uint16_t kExifIfd = 34665, kGpsIfd = 34853, kInteropIfd = 40965;

// The arrays a directory's entries point to: the pieces of its picture
// (strips or tiles: where each lies, and its length), and the offsets of
// its sub-directories. A piece and its length are neighbours (role ^ 1).
enum Role : std::size_t { kStripAt, kStripLength, kTileAt, kTileLength, kChildren, kRoles };

constexpr Role RoleOf(std::uint16_t tag) {
    switch (tag) {
    case kStripOffsets: return kStripAt;
    case kStripByteCounts: return kStripLength;
    case kTileOffsets: return kTileAt;
    case kTileByteCounts: return kTileLength;
    default: return kChildren;
    }
}

enum Kind : std::uint64_t { kEntryCount = 1, kEntries = 2, kArray = 3, kLastByte = 4 };
constexpr std::uint64_t Tag(Kind kind, std::uint64_t directory, std::uint64_t role = 0) {
    return (std::uint64_t{kind} << 56) | (directory << 8) | role;
}

// A TIFF is a header (byte order, 42, the first directory's offset) and
// directories (IFDs: an entry count, 12-byte entries, the next directory's
// offset) that point anywhere in the file: to values that do not fit in an
// entry's four bytes, to the strips or tiles of the picture, to further
// directories. Writers put the directory before the picture or after it (the
// common library writes it last), so the scanner asks for each structure at
// its place and is shown it as the scan passes. The file ends at the
// furthest end of any of them, taken once the scan has reached it and
// nothing more is asked for.
class TiffEnd final : public RangeScanner {
public:
    explicit TiffEnd(bool bigEndian) : big_(bigEndian) {}

    bool Start(std::uint32_t firstDirectory, std::uint64_t headerBytes) {
        end_ = headerBytes;
        return firstDirectory != 0 && Visit(firstDirectory);
    }

private:
    struct Directory {
        std::uint32_t offset = 0;
        std::uint16_t entries = 0;
        std::array<bool, kRoles> named{};  // an entry gives the array
        std::array<bool, kRoles> read{};
        std::array<std::uint16_t, kRoles> types{};
        std::array<std::vector<std::uint32_t>, kRoles> values;
    };

    std::uint16_t U16(const std::uint8_t* p) const { return big_ ? GetBE16(p) : GetU16(p); }
    std::uint32_t U32(const std::uint8_t* p) const { return big_ ? GetBE32(p) : GetU32(p); }

    State Got(std::uint64_t tag, std::uint64_t, std::span<const std::uint8_t> bytes) override {
        const std::size_t index = static_cast<std::size_t>((tag >> 8) & 0xFFFF);
        bool ok = false;
        switch (static_cast<Kind>(tag >> 56)) {
        case kEntryCount:
            ok = index < dirs_.size() && AskEntries(index, U16(bytes.data()));
            break;
        case kEntries:
            ok = index < dirs_.size() && ReadEntries(index, bytes);
            break;
        case kArray:
            ok = index < dirs_.size() && (tag & 0xFF) < kRoles && Arrived(index, static_cast<Role>(tag & 0xFF), bytes);
            break;
        case kLastByte:
            return Ends(end_);
        }
        if (!ok) return State::GaveUp;
        // Nothing more to read: the end is known. It is asked for here (not
        // in Done) so that a last byte already at hand is shown at once.
        return Pending() ? State::Searching : Finish();
    }

    State Done() override { return State::GaveUp; }  // every walk ends in Got

    bool Ask(std::uint64_t offset, std::size_t length, std::uint64_t tag) {
        asked_ += length;
        return asked_ <= kMaxAskedBytes && Want(offset, length, tag);
    }

    bool Extend(std::uint64_t end) {
        if (end > kMaxEnd) return false;
        end_ = std::max(end_, end);
        return true;
    }

    // A directory at `offset`, once: a chain that comes back to a directory
    // already seen ends there.
    bool Visit(std::uint32_t offset) {
        if (offset < 8) return false;
        for (const Directory& d : dirs_)
            if (d.offset == offset) return true;
        if (dirs_.size() >= kMaxDirectories) return false;
        dirs_.push_back(Directory{});
        dirs_.back().offset = offset;
        return Ask(offset, 2, Tag(kEntryCount, dirs_.size() - 1));
    }

    bool AskEntries(std::size_t index, std::uint16_t count) {
        if (count == 0 || count > kMaxEntries) return false;
        dirs_[index].entries = count;
        const std::size_t length = std::size_t{count} * 12 + 4;  // and the next directory's offset
        const std::uint64_t at = std::uint64_t{dirs_[index].offset} + 2;
        return Extend(at + length) && Ask(at, length, Tag(kEntries, index));
    }

    bool ReadEntries(std::size_t index, std::span<const std::uint8_t> bytes) {
        const std::size_t count = dirs_[index].entries;
        if (bytes.size() != count * 12 + 4) return false;
        bool jpegAt = false, jpegLength = false;
        std::uint32_t jpegOffset = 0, jpegBytes = 0;
        for (std::size_t e = 0; e < count; ++e) {
            const std::uint8_t* q = bytes.data() + e * 12;
            const std::uint16_t tag = U16(q), type = U16(q + 2);
            const std::uint32_t values = U32(q + 4);
            const std::uint8_t* field = q + 8;
            if (type == 0 || type > 13) return false;
            const std::uint64_t size = std::uint64_t{values} * kTypeSize[type];
            // Values longer than the entry's four bytes lie elsewhere.
            if (size > 4 && !Extend(std::uint64_t{U32(field)} + size)) return false;
            switch (tag) {
            case kStripOffsets:
            case kStripByteCounts:
            case kTileOffsets:
            case kTileByteCounts:
            case kSubIfds:
                if (!Name(index, RoleOf(tag), type, values, field, size)) return false;
                break;
            case kJpegOffset:
                if (type != kLong || values != 1) return false;
                jpegAt = true;
                jpegOffset = U32(field);
                break;
            case kJpegLength:
                if (type != kLong || values != 1) return false;
                jpegLength = true;
                jpegBytes = U32(field);
                break;
            case kExifIfd:
            case kGpsIfd:
            case kInteropIfd:
                // A pointer of another shape is no pointer; a zero one points nowhere.
                if ((type == kLong || type == kIfd) && values == 1 && U32(field) != 0 && !Visit(U32(field))) return false;
                break;
            default:
                break;
            }
        }
        // A picture whose pieces have no lengths (or a JPEG stream without
        // its length) has no end that can be known.
        if (jpegAt && !jpegLength) return false;
        if (jpegAt && !Extend(std::uint64_t{jpegOffset} + jpegBytes)) return false;
        const Directory& d = dirs_[index];
        if (d.named[kStripAt] != d.named[kStripLength] || d.named[kTileAt] != d.named[kTileLength]) return false;
        const std::uint32_t next = U32(bytes.data() + count * 12);
        return next == 0 || Visit(next);
    }

    // An entry that gives one of the arrays: read at once when it fits in
    // the entry, else asked for.
    bool Name(std::size_t index, Role role, std::uint16_t type, std::uint32_t values, const std::uint8_t* field,
              std::uint64_t size) {
        Directory& d = dirs_[index];
        if (d.named[role] || values == 0) return false;
        const bool typeFits = role == kChildren ? (type == kLong || type == kIfd) : (type == kShort || type == kLong);
        if (!typeFits) return false;
        d.named[role] = true;
        d.types[role] = type;
        if (size <= 4) return Arrived(index, role, std::span<const std::uint8_t>(field, static_cast<std::size_t>(size)));
        return size <= kMaxRange && Ask(U32(field), static_cast<std::size_t>(size), Tag(kArray, index, role));
    }

    bool Arrived(std::size_t index, Role role, std::span<const std::uint8_t> bytes) {
        std::vector<std::uint32_t> values;
        if (dirs_[index].types[role] == kShort) {
            values.resize(bytes.size() / 2);
            for (std::size_t i = 0; i < values.size(); ++i) values[i] = U16(bytes.data() + 2 * i);
        } else {
            values.resize(bytes.size() / 4);
            for (std::size_t i = 0; i < values.size(); ++i) values[i] = U32(bytes.data() + 4 * i);
        }
        if (role == kChildren) {
            for (std::uint32_t offset : values)
                if (!Visit(offset)) return false;
            return true;
        }
        Directory& d = dirs_[index];
        d.values[role] = std::move(values);
        d.read[role] = true;
        const Role other = static_cast<Role>(role ^ 1);
        if (!d.read[other]) return true;
        const std::vector<std::uint32_t>& at = d.values[role & ~std::size_t{1}];
        const std::vector<std::uint32_t>& length = d.values[role | 1];
        if (at.size() != length.size()) return false;
        for (std::size_t i = 0; i < at.size(); ++i)
            if (!Extend(std::uint64_t{at[i]} + length[i])) return false;
        d.values[role] = {};
        d.values[other] = {};
        return true;
    }

    State Finish() {
        // The end counts once the scan has passed its last byte; a range
        // behind the scan that is no longer at hand has been passed.
        if (!Want(end_ - 1, 1, Tag(kLastByte, 0))) return Ends(end_);
        return State::Searching;
    }

    std::vector<Directory> dirs_;
    std::uint64_t end_ = 0;
    std::uint64_t asked_ = 0;
    const bool big_;
};

}  // namespace

// Header: "II" (little-endian) or "MM" (big-endian), 42, the first
// directory's offset. BigTIFF (43, 64-bit offsets) is not followed.
std::unique_ptr<EndScanner> TiffRule(CFoundObject&, Head head) {
    if (head.size() < 8) return nullptr;
    bool big = false;
    if (head[0] == 'M' && head[1] == 'M') big = true;
    else if (head[0] != 'I' || head[1] != 'I') return nullptr;
    const std::uint16_t version = big ? GetBE16(head.data() + 2) : GetU16(head.data() + 2);
    if (version != 42) return nullptr;
    const std::uint32_t first = big ? GetBE32(head.data() + 4) : GetU32(head.data() + 4);
    auto scanner = std::make_unique<TiffEnd>(big);
    if (!scanner->Start(first, 8)) return nullptr;
    return scanner;
}

}  // namespace tl::content
