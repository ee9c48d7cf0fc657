#include <algorithm>
#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

constexpr std::uint32_t kEbmlHeader = 0x1A45DFA3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kCrc32 = 0xBF;

// The elements that stand at the top of a Segment.
bool SegmentChild(std::uint32_t id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case kCluster:
    case 0x1C53BB6B:  // Cues
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0x1941A469:  // Attachments
    case kVoid:
    case kCrc32: return true;
    default: return false;
    }
}

// The length of a variable-length number from its first byte: one more
// than the count of zero bits before the first one bit; 0 when there is
// no one bit within `max` bits.
std::size_t VintLength(std::uint8_t first, std::size_t max) {
    for (std::size_t n = 1; n <= max; ++n)
        if (first & (0x80u >> (n - 1))) return n;
    return 0;
}

// Space a writer leaves at the top of a Segment (for a SeekHead or Cues
// written later) is far below this; a longer Void is filler whose first
// byte passed for the ID.
constexpr std::uint64_t kMaxPadding = 16u << 20;

// An EBML file: the EBML header element, then the Segment, whose size
// gives the file's end. A Segment written live states no size (all value
// bits set): its top-level children are then walked by their IDs and
// sizes, and the file ends before the first element that is no child of a
// Segment (zeros, filler, the next file's EBML header), once a Cluster has
// been passed. Padding (Void, CRC-32) just before that point is not taken
// as part of the file: a single byte of filler can pass for its ID.
class MatroskaEnd final : public RecordWalker {
public:
    MatroskaEnd() : RecordWalker(0, 1) {}

    std::uint64_t Promised() const { return promised_; }
    void ReachTo(std::uint64_t reach) { SetReach(reach); }

private:
    enum class Step { First, IdRest, SizeRest };
    enum class Place { Header, Segment, Children };

    // An element header arrives in up to three pieces: the ID's first byte
    // (its length), the rest of the ID with the size's first byte (its
    // length), the rest of the size.
    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::First:
            elementAt_ = at;
            idLength_ = VintLength(p[0], 4);
            if (idLength_ == 0) return NotAnElement();
            id_ = p[0];
            step_ = Step::IdRest;
            return Ask(0, idLength_);
        case Step::IdRest:
            for (std::size_t i = 0; i + 1 < idLength_; ++i) id_ = (id_ << 8) | p[i];
            sizeLength_ = VintLength(p[idLength_ - 1], 8);
            if (sizeLength_ == 0) return NotAnElement();
            length_ = p[idLength_ - 1] & (0xFFu >> sizeLength_);
            unknown_ = length_ == (0xFFu >> sizeLength_);
            if (sizeLength_ == 1) return Element();
            step_ = Step::SizeRest;
            return Ask(0, sizeLength_ - 1);
        case Step::SizeRest:
            for (std::size_t i = 0; i + 1 < sizeLength_; ++i) {
                length_ = (length_ << 8) | p[i];
                unknown_ = unknown_ && p[i] == 0xFF;
            }
            return Element();
        }
        return State::GaveUp;
    }

    State Element() {
        step_ = Step::First;
        const std::uint64_t dataAt = elementAt_ + idLength_ + sizeLength_;
        std::uint64_t end = 0;
        if (!unknown_ && __builtin_add_overflow(dataAt, length_, &end)) return State::GaveUp;
        switch (place_) {
        case Place::Header:
            if (id_ != kEbmlHeader || unknown_) return State::GaveUp;
            place_ = Place::Segment;
            return Ask(length_, 1);
        case Place::Segment:
            if (id_ != kSegment) return State::GaveUp;
            if (!unknown_) {
                promised_ = end;
                return EndsAfter(length_);
            }
            place_ = Place::Children;
            return Ask(0, 1);
        case Place::Children:
            break;
        }
        if (!SegmentChild(id_)) return NotAnElement();
        const bool padding = id_ == kVoid || id_ == kCrc32;
        if (padding && (unknown_ || length_ > kMaxPadding || (id_ == kCrc32 && length_ != 4))) return NotAnElement();
        if (unknown_) return State::GaveUp;  // a Cluster of a live stream: its end is nowhere stated
        if (id_ == kCluster) clusters_ = true;
        if (!padding) end_ = end;
        promised_ = end;
        return Ask(length_, 1);
    }

    State NotAnElement() {
        if (place_ != Place::Children || !clusters_) return State::GaveUp;
        return Ends(end_);
    }

    Step step_ = Step::First;
    Place place_ = Place::Header;
    std::uint64_t elementAt_ = 0;
    std::size_t idLength_ = 0, sizeLength_ = 0;
    std::uint32_t id_ = 0;
    std::uint64_t length_ = 0;
    bool unknown_ = false;
    bool clusters_ = false;
    std::uint64_t end_ = 0;  // after the last child that is no padding
    std::uint64_t promised_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> MatroskaRule(CFoundObject&, Head head) {
    auto scanner = std::make_unique<MatroskaEnd>();
    // A Segment of stated size is followed to its end, past the type's
    // default size if need be.
    MatroskaEnd probe;
    if (probe.Feed(head) == EndScanner::State::Searching && probe.Promised() > head.size())
        scanner->ReachTo(probe.Promised());
    return scanner;
}

}  // namespace tl::content
