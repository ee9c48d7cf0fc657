#include <algorithm>
#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// A Photoshop picture (version 1) or large document (version 2) is a 26-byte
// header (channels, height, width, depth, colour mode), three sections that
// state their lengths (colour mode data, image resources, layer and mask
// information; the last with an 8-byte length in a large document) and the
// merged image: a compression code, then for raw data channels x height
// rows of the stated width and depth, for PackBits a table of every row's
// length (2 bytes each, 4 in a large document) and the rows. ZIP-compressed
// image data states no length. The file ends after the image data.
class PsdEnd final : public RecordWalker {
    enum class Stage { Header, Resources, Layers, Compression, RowTable };
    static constexpr std::uint64_t kMaxSection = std::uint64_t{1} << 48;

public:
    PsdEnd() : RecordWalker(0, 30) {}

    // How far the image data can reach at most, once the walk has seen the
    // compression code; 0 before.
    std::uint64_t Bound() const { return bound_; }
    void Reaches(std::uint64_t bound) { SetReach(bound); }

private:
    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (stage_) {
        case Stage::Header: {
            if (std::memcmp(p, "8BPS", 4) != 0) return State::GaveUp;
            const std::uint16_t version = GetBE16(p + 4);
            large_ = version == 2;
            const std::uint16_t channels = GetBE16(p + 12), depth = GetBE16(p + 22), mode = GetBE16(p + 24);
            const std::uint32_t height = GetBE32(p + 14), width = GetBE32(p + 18);
            const std::uint32_t maxSide = large_ ? 300000 : 30000;
            if ((version != 1 && version != 2) || GetBE32(p + 6) != 0 || GetBE16(p + 10) != 0) return State::GaveUp;
            if (channels < 1 || channels > 56 || height < 1 || height > maxSide || width < 1 || width > maxSide)
                return State::GaveUp;
            if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return State::GaveUp;
            if (mode > 9 || mode == 5 || mode == 6) return State::GaveUp;
            rowBytes_ = (std::uint64_t{width} * depth + 7) / 8;
            rows_ = std::uint64_t{channels} * height;
            stage_ = Stage::Resources;
            return Ask(GetBE32(p + 26), 4);
        }
        case Stage::Resources:
            stage_ = Stage::Layers;
            return Ask(GetBE32(p), large_ ? 8 : 4);
        case Stage::Layers: {
            const std::uint64_t length = large_ ? GetBE64(p) : GetBE32(p);
            if (length > kMaxSection) return State::GaveUp;
            stage_ = Stage::Compression;
            return Ask(length, 2);
        }
        case Stage::Compression: {
            const std::uint64_t imageAt = at + 2;
            switch (GetBE16(p)) {
            case 0:
                bound_ = imageAt + rows_ * rowBytes_;
                return EndsAfter(rows_ * rowBytes_);
            case 1: {
                // A PackBits row takes at most a count byte for each byte.
                const std::uint64_t entryBytes = large_ ? 4 : 2;
                const std::uint64_t maxRow = std::min<std::uint64_t>(2 * rowBytes_, large_ ? 0xFFFFFFFFu : 0xFFFFu);
                tableLeft_ = rows_ * entryBytes;
                bound_ = imageAt + tableLeft_ + rows_ * maxRow;
                stage_ = Stage::RowTable;
                return AskTable();
            }
            default:
                return State::GaveUp;  // ZIP, with or without prediction
            }
        }
        case Stage::RowTable: {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(tableLeft_, kMaxNeed));
            const std::uint64_t maxRow = 2 * rowBytes_;
            for (std::size_t i = 0; i < piece; i += large_ ? 4 : 2) {
                const std::uint32_t row = large_ ? GetBE32(p + i) : GetBE16(p + i);
                if (row > maxRow) return State::GaveUp;
                rowsTotal_ += row;
            }
            tableLeft_ -= piece;
            if (tableLeft_ == 0) return EndsAfter(rowsTotal_);
            return AskTable();
        }
        }
        return State::GaveUp;
    }

    // The row table in pieces of whole entries (kMaxNeed is a multiple of 4).
    State AskTable() { return Ask(0, static_cast<std::size_t>(std::min<std::uint64_t>(tableLeft_, kMaxNeed))); }

    Stage stage_ = Stage::Header;
    bool large_ = false;
    std::uint64_t rowBytes_ = 0;
    std::uint64_t rows_ = 0;
    std::uint64_t tableLeft_ = 0;
    std::uint64_t rowsTotal_ = 0;
    std::uint64_t bound_ = 0;
};

}  // namespace

// The bytes in memory are walked once ahead, so that a picture larger than
// its type's default size is followed as far as its image data can reach.
std::unique_ptr<EndScanner> PsdRule(CFoundObject&, Head head) {
    PsdEnd ahead;
    ahead.Feed(head);
    auto scanner = std::make_unique<PsdEnd>();
    scanner->Reaches(ahead.Bound());
    return scanner;
}

}  // namespace tl::content
