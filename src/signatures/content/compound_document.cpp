#include <algorithm>
#include <vector>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// Sector numbers of the allocation table with a meaning of their own. A
// regular number is at most kMaxRegular; 0xFFFFFFFB is reserved.
constexpr std::uint32_t kMaxRegular = 0xFFFFFFFA;
constexpr std::uint32_t kReserved = 0xFFFFFFFB;
constexpr std::uint32_t kFatMark = 0xFFFFFFFD;  // the sector holds part of the FAT
constexpr std::uint32_t kFree = 0xFFFFFFFF;

// The header lists the first 109 allocation table sectors itself.
constexpr std::uint32_t kHeaderFatEntries = 109;
// The FAT is read whole, and every range asked for is held in memory until
// the scan passes it. 16 MiB of FAT describe a 2 GB file of 512-byte
// sectors (the most such a file may hold), 64 MiB a 64 GB file of
// 4096-byte ones; a larger FAT is not followed.
constexpr std::uint64_t kMaxFatBytes = std::uint64_t{64} << 20;

enum Kind : std::uint64_t { kFatRun = 1, kDifat = 2, kGuess = 3, kLastByte = 4 };
constexpr std::uint64_t Tag(Kind kind, std::uint64_t first, std::uint64_t count) {
    return (std::uint64_t{kind} << 56) | (first << 24) | count;
}

struct Header {
    std::uint32_t sectorSize = 0;
    std::uint32_t fatSectors = 0;
    std::uint32_t directory = 0;
    std::uint32_t miniFat = 0;
    std::uint32_t miniFatSectors = 0;
    std::uint32_t firstDifat = 0;
    std::uint32_t difatSectors = 0;
    std::uint64_t described = 0;  // sectors the allocation table can describe
    std::vector<std::uint32_t> headerFat;
};

// A compound file is a small file system: after the header come sectors of
// 512 or 4096 bytes, sector n at file offset (n + 1) * sector size, and the
// allocation table (FAT) gives every sector's successor in its chain, or
// marks it free. The FAT's own sectors are listed by the DIFAT: 109 numbers
// in the header, then a chain of DIFAT sectors, each holding sector size/4-1
// numbers and the next DIFAT sector's number last.
//
// Writers lay the sectors out freely (the FAT first or last, the directory
// anywhere), so the scanner asks for every FAT sector at its place and
// reads them as the scan passes. The file ends after the highest sector in
// use: that covers the FAT and DIFAT, the directory, the mini stream and
// every stream. The FAT must mark its own sectors as such, else the bytes
// read are not this file's FAT. The end is taken once the scan has reached
// it, so a FAT that claims sectors beyond the bytes at hand makes up no
// length.
//
// A file of more than 109 FAT sectors lists the others in DIFAT sectors
// that writers put after the FAT (the office suite's and other writers'
// large files do), so by the time a DIFAT sector is read the FAT sectors it
// lists are behind the scan. Writers keep the FAT in one run, so the
// sectors that follow the header's last FAT sector are kept as a guess and
// taken for FAT sectors only where the DIFAT names them.
//
// The writers seen fill the last sector whole. One that stopped short inside
// it would leave slack behind; taking the whole sector then keeps every byte
// of the file and, for 512-byte sectors on a disk of 512-byte blocks,
// nothing of a file that begins in the next block.
class CompoundEnd final : public RangeScanner {
public:
    explicit CompoundEnd(Header header) : h_(std::move(header)), perSector_(h_.sectorSize / 4) {
        // The highest end the FAT can describe: the header's sector and all
        // the sectors the FAT has entries for.
        SetReach((h_.described + 1) * h_.sectorSize);
    }

    bool Start() {
        if (h_.fatSectors > kHeaderFatEntries && h_.headerFat.back() < h_.described - 1) {
            // The guess: as many sectors as the DIFAT lists, after the
            // header's last FAT sector, in ranges of the largest size.
            const std::uint64_t first = std::uint64_t{h_.headerFat.back()} + 1;
            const std::uint64_t count = std::min<std::uint64_t>(h_.fatSectors - kHeaderFatEntries, h_.described - first);
            const std::uint64_t maxRun = kMaxRange / h_.sectorSize;
            for (std::uint64_t k = 0; k < count; k += maxRun) {
                const std::uint64_t n = std::min(maxRun, count - k);
                if (!Want((first + k + 1) * h_.sectorSize, n * h_.sectorSize, Tag(kGuess, first + k, n))) return false;
            }
        }
        if (!AskFat(h_.headerFat)) return false;
        return fatAsked_ == h_.fatSectors || AskDifat(h_.firstDifat);
    }

private:
    struct Guess {
        std::uint64_t first;  // sector number
        std::vector<std::uint8_t> bytes;
    };

    State Got(std::uint64_t tag, std::uint64_t, std::span<const std::uint8_t> bytes) override {
        switch (static_cast<Kind>(tag >> 56)) {
        case kFatRun:
            --awaited_;
            if (!ReadFat((tag >> 24) & 0xFFFFFFFFu, bytes)) return State::GaveUp;
            break;
        case kDifat:
            --awaited_;
            if (!ReadDifat(bytes)) return State::GaveUp;
            break;
        case kGuess:
            if (awaited_)  // else the FAT is read already
                guesses_.push_back(Guess{(tag >> 24) & 0xFFFFFFFFu, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
            return State::Searching;
        case kLastByte:
            return Ends(end_);
        default:
            return State::GaveUp;
        }
        // The walk is done when the FAT and DIFAT are read (a guess may
        // still be pending); the end is then taken here, so that its last
        // byte, when already at hand, is shown in the same call.
        return awaited_ ? State::Searching : Finish();
    }

    // Every walk ends in Got (Finish asks for the last byte or ends).
    State Done() override { return State::GaveUp; }

    // The bytes of `sector` among the guesses kept, or none.
    std::span<const std::uint8_t> Guessed(std::uint32_t sector) const {
        for (const Guess& g : guesses_)
            if (sector >= g.first && sector - g.first < g.bytes.size() / h_.sectorSize)
                return std::span<const std::uint8_t>(g.bytes).subspan((sector - g.first) * h_.sectorSize, h_.sectorSize);
        return {};
    }

    // Asks for FAT sectors by their numbers, which follow on from the ones
    // asked for before. Runs of adjacent sectors (the usual layout) are
    // asked for as one range; sectors kept as a guess are read at once.
    bool AskFat(std::span<const std::uint32_t> numbers) {
        const std::size_t maxRun = kMaxRange / h_.sectorSize;
        std::size_t i = 0;
        while (i < numbers.size()) {
            const std::uint32_t first = numbers[i];
            if (first >= h_.described) return false;
            fatNumbers_.push_back(first);
            highestMeta_ = std::max(highestMeta_, first);
            if (const auto guessed = Guessed(first); !guessed.empty()) {
                if (!ReadFat(fatAsked_++, guessed)) return false;
                ++i;
                continue;
            }
            std::size_t n = 1;
            for (; i + n < numbers.size() && n < maxRun; ++n) {
                const std::uint32_t next = numbers[i + n];
                if (std::uint64_t{next} != std::uint64_t{first} + n || next >= h_.described || !Guessed(next).empty())
                    break;
                fatNumbers_.push_back(next);
                highestMeta_ = std::max(highestMeta_, next);
            }
            if (!Want((std::uint64_t{first} + 1) * h_.sectorSize, n * h_.sectorSize, Tag(kFatRun, fatAsked_, n)))
                return false;
            ++awaited_;
            fatAsked_ += static_cast<std::uint32_t>(n);
            i += n;
        }
        return true;
    }

    bool AskDifat(std::uint32_t sector) {
        // A chain that comes back to a sector it passed, or runs longer
        // than the header says, describes no file.
        if (sector >= h_.described || difatSeen_.size() >= h_.difatSectors) return false;
        if (std::find(difatSeen_.begin(), difatSeen_.end(), sector) != difatSeen_.end()) return false;
        difatSeen_.push_back(sector);
        highestMeta_ = std::max(highestMeta_, sector);
        ++awaited_;
        return Want((std::uint64_t{sector} + 1) * h_.sectorSize, h_.sectorSize, Tag(kDifat, 0, 1));
    }

    bool ReadDifat(std::span<const std::uint8_t> bytes) {
        const std::uint32_t entries = std::min<std::uint32_t>(perSector_ - 1, h_.fatSectors - fatAsked_);
        std::vector<std::uint32_t> numbers(entries);
        for (std::uint32_t i = 0; i < entries; ++i) numbers[i] = GetU32(bytes.data() + 4 * i);
        if (!AskFat(numbers)) return false;
        if (fatAsked_ == h_.fatSectors) return true;
        return AskDifat(GetU32(bytes.data() + bytes.size() - 4));
    }

    // A run of FAT sectors, the first of them FAT sector `index`: notes the
    // highest sector in use. An entry is free, one of the special values,
    // or the number of a sector the FAT describes; anything else is no FAT.
    bool ReadFat(std::uint64_t index, std::span<const std::uint8_t> bytes) {
        const std::size_t count = bytes.size() / 4;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t next = GetU32(bytes.data() + 4 * i);
            if (next == kFree) continue;
            if (next == kReserved || (next <= kMaxRegular && next >= h_.described)) return false;
            if (next == kFatMark) {
                // More sectors marked as the FAT's than it has is no FAT.
                if (fatMarks_.size() >= h_.fatSectors) return false;
                fatMarks_.push_back(static_cast<std::uint32_t>(index * perSector_ + i));
            }
            highest_ = std::max<std::uint64_t>(highest_, index * perSector_ + i + 1);
        }
        fatRead_ += static_cast<std::uint32_t>(count / perSector_);
        return true;
    }

    State Finish() {
        guesses_.clear();
        if (fatRead_ != h_.fatSectors || highest_ == 0) return State::GaveUp;
        // The FAT must hold the sectors that hold it, and the directory and
        // mini FAT the header names; else it does not describe this file.
        const std::uint64_t used = highest_;  // sectors 0 .. used-1
        if (highestMeta_ >= used || h_.directory >= used || (h_.miniFatSectors && h_.miniFat >= used))
            return State::GaveUp;
        // The FAT marks its own sectors; sectors that only look like a FAT
        // (zeros, the bytes of another file) do not.
        std::sort(fatMarks_.begin(), fatMarks_.end());
        for (std::uint32_t sector : fatNumbers_)
            if (!std::binary_search(fatMarks_.begin(), fatMarks_.end(), sector)) return State::GaveUp;
        end_ = (used + 1) * h_.sectorSize;
        // The end counts once the scan has passed its last byte. A range
        // behind the scan that is no longer at hand has been passed.
        if (!Want(end_ - 1, 1, Tag(kLastByte, 0, 1))) return Ends(end_);
        return State::Searching;
    }

    const Header h_;
    const std::uint32_t perSector_;  // entries of a FAT sector
    std::uint32_t fatAsked_ = 0;
    std::uint32_t fatRead_ = 0;
    std::size_t awaited_ = 0;  // FAT and DIFAT ranges asked for and not yet read
    std::vector<std::uint32_t> difatSeen_;
    std::vector<std::uint32_t> fatNumbers_;  // the FAT's sectors, as the DIFAT lists them
    std::vector<std::uint32_t> fatMarks_;    // the sectors the FAT marks as its own
    std::vector<Guess> guesses_;
    std::uint32_t highestMeta_ = 0;  // the highest FAT or DIFAT sector
    std::uint64_t highest_ = 0;      // one past the highest sector in use
    std::uint64_t end_ = 0;
};

}  // namespace

// The header (little-endian): sector shift at 30, FAT sectors at 44, the
// first directory sector at 48, the first mini FAT sector and their count
// at 60 and 64, the first DIFAT sector and their count at 68 and 72, the
// first 109 FAT sector numbers at 76. A header that makes no sense gets no
// scanner: the record keeps the recogniser's estimate.
std::unique_ptr<EndScanner> CompoundDocumentRule(CFoundObject&, Head head) {
    static constexpr std::uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (head.size() < 512 || !std::equal(kMagic, kMagic + 8, head.data())) return nullptr;
    const std::uint8_t* p = head.data();
    const std::uint16_t shift = GetU16(p + 30);
    if (shift != 9 && shift != 12) return nullptr;
    Header h;
    h.sectorSize = 1u << shift;
    h.fatSectors = GetU32(p + 44);
    h.directory = GetU32(p + 48);
    h.miniFat = GetU32(p + 60);
    h.miniFatSectors = GetU32(p + 64);
    h.firstDifat = GetU32(p + 68);
    h.difatSectors = GetU32(p + 72);
    const std::uint32_t perSector = h.sectorSize / 4;
    h.described = std::uint64_t{h.fatSectors} * perSector;
    if (h.fatSectors == 0 || std::uint64_t{h.fatSectors} * h.sectorSize > kMaxFatBytes || h.described > (std::uint64_t{1} << 32)) return nullptr;
    if (h.directory >= h.described || (h.miniFatSectors && h.miniFat >= h.described)) return nullptr;
    // Enough DIFAT sectors for the FAT sectors the header does not list.
    if (h.fatSectors > kHeaderFatEntries) {
        const std::uint64_t rest = h.fatSectors - kHeaderFatEntries;
        if (h.difatSectors < (rest + perSector - 2) / (perSector - 1)) return nullptr;
    }
    const std::uint32_t listed = std::min(h.fatSectors, kHeaderFatEntries);
    h.headerFat.resize(listed);
    for (std::uint32_t i = 0; i < listed; ++i) h.headerFat[i] = GetU32(p + 76 + 4 * i);
    auto scanner = std::make_unique<CompoundEnd>(std::move(h));
    if (!scanner->Start()) return nullptr;
    return scanner;
}

}  // namespace tl::content
