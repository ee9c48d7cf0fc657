#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

using Guid = std::uint8_t[16];

// The top-level objects, their GUIDs as stored (the first three fields
// little-endian).
constexpr Guid kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                               0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr Guid kIndex = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
constexpr Guid kMediaObjectIndex = {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C,
                                    0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
constexpr Guid kTimecodeIndex = {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48,
                                 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};

bool Is(const std::uint8_t* p, const Guid& guid) { return std::memcmp(p, guid, sizeof(Guid)) == 0; }

// The smallest index object (the simple index has the longest fixed part,
// the others a count of specifiers and of blocks).
std::uint64_t IndexMinimum(const std::uint8_t* p) {
    if (Is(p, kSimpleIndex)) return 56;
    if (Is(p, kIndex) || Is(p, kMediaObjectIndex) || Is(p, kTimecodeIndex)) return 34;
    return 0;
}

// An ASF file is a Header object, a Data object right after it, then
// index objects, each a 16-byte GUID and a 64-bit length that counts the
// whole object. The file ends where the next 24 bytes are none of these
// (a second Header object is the next file).
class AsfEnd final : public RecordWalker {
public:
    AsfEnd() : RecordWalker(0, kObjectHeader) {}

    std::uint64_t Promised() const { return promised_; }
    void ReachTo(std::uint64_t reach) { SetReach(reach); }

private:
    static constexpr std::size_t kObjectHeader = 24;
    enum class Step { Header, Data, Index };

    State Record(const std::uint8_t* p, std::uint64_t at) override {
        const std::uint64_t size = GetU64(p + 16);
        std::uint64_t minimum = 0;
        switch (step_) {
        case Step::Header:
            if (!Is(p, kHeader)) return State::GaveUp;
            minimum = 30;
            step_ = Step::Data;
            break;
        case Step::Data:
            if (!Is(p, kData)) return State::GaveUp;
            minimum = 50;
            step_ = Step::Index;
            break;
        case Step::Index:
            minimum = IndexMinimum(p);
            if (minimum == 0) return Ends(at);
            break;
        }
        std::uint64_t end = 0;
        if (size < minimum || __builtin_add_overflow(at, size, &end)) return State::GaveUp;
        promised_ = end;
        return Ask(size - kObjectHeader, kObjectHeader);
    }

    Step step_ = Step::Header;
    std::uint64_t promised_ = 0;
};

// Room left for the index objects after a Data object that runs past the
// bytes in memory.
constexpr std::uint64_t kMarginAfterHead = 16u << 20;

}  // namespace

std::unique_ptr<EndScanner> AsfRule(CFoundObject&, Head head) {
    auto scanner = std::make_unique<AsfEnd>();
    // The Data object's length, right after the header, says how far the
    // file reaches at least, past the type's default size if need be.
    AsfEnd probe;
    if (probe.Feed(head) == EndScanner::State::Searching && probe.Promised() > head.size())
        scanner->ReachTo(probe.Promised() + kMarginAfterHead);
    return scanner;
}

}  // namespace tl::content
