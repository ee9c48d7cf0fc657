#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// A Zstandard file is frames one after another: the magic 0xFD2FB528, a
// frame header, blocks that each state their length in a 3-byte header,
// and a 4-byte checksum when the header announces one; or skippable frames
// (magics 0x184D2A50-0x184D2A5F) of a stated length. The blocks are walked
// by their lengths; the file ends after the last frame that another one
// does not follow.
class ZstdEnd final : public RecordWalker {
    // A stream may go on with another member or stream right after it: the
    // next file found ends it.
    bool Encloses() const override { return false; }

    static constexpr std::uint32_t kMagic = 0xFD2FB528;
    static constexpr std::uint32_t kMaxBlock = 128 * 1024;
    enum class Stage { FirstMagic, Descriptor, HeaderRest, Block, FrameLastByte, NextFirst, NextRest, SkippableSize };

public:
    ZstdEnd() : RecordWalker(0, 4) {}

private:
    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (stage_) {
        case Stage::FirstMagic: {
            // Parallel compressors put a skippable frame before each frame.
            const std::uint32_t magic = GetU32(p);
            if (magic == kMagic) return Next(Stage::Descriptor, 0, 1);
            if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) return Next(Stage::SkippableSize, 0, 4);
            return State::GaveUp;
        }
        case Stage::Descriptor: {
            const std::uint8_t fhd = p[0];
            if (fhd & 0x08) return State::GaveUp;  // the reserved bit
            const bool single = (fhd & 0x20) != 0;
            checksum_ = (fhd & 0x04) != 0;
            static constexpr std::size_t kDictionary[] = {0, 1, 2, 4};
            static constexpr std::size_t kContentSize[] = {0, 2, 4, 8};
            const std::size_t contentSize = (fhd >> 6) == 0 ? (single ? 1 : 0) : kContentSize[fhd >> 6];
            const std::size_t rest = (single ? 0 : 1) + kDictionary[fhd & 3] + contentSize;
            if (rest == 0) return Next(Stage::Block, 0, 3);
            return Next(Stage::HeaderRest, 0, rest);
        }
        case Stage::HeaderRest:
            return Next(Stage::Block, 0, 3);
        case Stage::Block: {
            const std::uint32_t header = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
            const bool last = header & 1;
            const unsigned type = (header >> 1) & 3;
            const std::uint32_t size = header >> 3;
            if (type == 3 || size > kMaxBlock) return State::GaveUp;
            const std::uint64_t bytes = type == 1 ? 1 : size;  // an RLE block holds the one byte it repeats
            if (!last) return Next(Stage::Block, bytes, 3);
            const std::uint64_t tail = bytes + (checksum_ ? 4 : 0);
            if (tail == 0) return FrameEnds(at + 3);
            // The frame's last byte is asked for, so that its end is known
            // as soon as the scan has passed it.
            return Next(Stage::FrameLastByte, tail - 1, 1);
        }
        case Stage::FrameLastByte:
            return FrameEnds(at + 1);
        case Stage::NextFirst:
            // Another frame only begins with a byte of one of the magics.
            if (p[0] != (kMagic & 0xFF) && (p[0] & 0xF0) != 0x50) return Ends(at);
            first_ = p[0];
            return Next(Stage::NextRest, 0, 3);
        case Stage::NextRest: {
            const std::uint32_t magic = first_ | (std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) |
                                        (std::uint32_t{p[2]} << 24);
            if (magic == kMagic) {
                size_.reset();  // another frame: the file goes on
                return Next(Stage::Descriptor, 0, 1);
            }
            if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) {
                size_.reset();
                return Next(Stage::SkippableSize, 0, 4);
            }
            return Ends(at - 1);
        }
        case Stage::SkippableSize: {
            const std::uint32_t size = GetU32(p);
            if (size == 0) return FrameEnds(at + 4);
            return Next(Stage::FrameLastByte, size - 1, 1);
        }
        }
        return State::GaveUp;
    }

    State Next(Stage stage, std::uint64_t skip, std::size_t need) {
        stage_ = stage;
        return Ask(skip, need);
    }

    // A frame ended at `end`: the file ends there unless another frame follows.
    State FrameEnds(std::uint64_t end) {
        size_ = end;
        return Next(Stage::NextFirst, 0, 1);
    }

    Stage stage_ = Stage::FirstMagic;
    bool checksum_ = false;
    std::uint8_t first_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> ZstdRule(CFoundObject&, Head) { return std::make_unique<ZstdEnd>(); }

}  // namespace tl::content
