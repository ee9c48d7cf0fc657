// A GIF is a header and logical screen descriptor (with a global colour
// table), then blocks: image descriptors (with a local colour table, the
// LZW code size and the image data) and extensions, each block's data in
// sub-blocks of a length byte and that many bytes up to a length of 0. The
// file ends after the trailer byte 0x3B. A byte that introduces no block
// where a block must begin means the bytes are no GIF (any more).
#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

#include <cstring>

namespace tl::content {
namespace {

class GifEnd final : public RecordWalker {
public:
    GifEnd() : RecordWalker(0, 13) {}

private:
    enum class Step { Screen, Introducer, Label, Descriptor, CodeSize, SubBlock };

    static std::uint64_t ColourTable(std::uint8_t flags) {
        return (flags & 0x80) ? std::uint64_t{3} << ((flags & 7) + 1) : 0;
    }

    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::Screen:
            if (std::memcmp(p, "GIF87a", 6) != 0 && std::memcmp(p, "GIF89a", 6) != 0) return State::GaveUp;
            step_ = Step::Introducer;
            return Ask(ColourTable(p[10]), 1);
        case Step::Introducer:
            switch (p[0]) {
            case 0x2C:
                step_ = Step::Descriptor;
                return Ask(0, 9);
            case 0x21:
                step_ = Step::Label;
                return Ask(0, 1);
            case 0x3B:
                return Ends(at + 1);
            default:
                return State::GaveUp;
            }
        case Step::Label:
            step_ = Step::SubBlock;
            return Ask(0, 1);
        case Step::Descriptor:
            step_ = Step::CodeSize;
            return Ask(ColourTable(p[8]), 1);
        case Step::CodeSize:
            if (p[0] < 1 || p[0] > 12) return State::GaveUp;
            step_ = Step::SubBlock;
            return Ask(0, 1);
        case Step::SubBlock:
            if (p[0] == 0) {
                step_ = Step::Introducer;
                return Ask(0, 1);
            }
            return Ask(p[0], 1);
        }
        return State::GaveUp;
    }

    Step step_ = Step::Screen;
};

}  // namespace

std::unique_ptr<EndScanner> GifRule(CFoundObject&, Head) { return std::make_unique<GifEnd>(); }

}  // namespace tl::content
