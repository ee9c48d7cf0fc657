#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// After the header (its own length at byte 5) and a first back-pointer of
// 0, tags follow: an 11-byte header (type 8 sound, 9 video or 18 script
// data, with the filter bit and two reserved bits that are zero; a 24-bit
// data length; a timestamp; a stream id that is always 0), the data, and
// the tag's whole length (11 + data) as a back-pointer. A tag counts once
// its back-pointer agrees; the file ends after the last such tag, where
// the next bytes are no tag header or the back-pointer after them
// disagrees.
class FlvEnd final : public RecordWalker {
public:
    FlvEnd() : RecordWalker(0, 9) {}

private:
    static constexpr std::size_t kTagHeader = 11;
    // A header longer than this is no header of this format (version 1 has 9 bytes).
    static constexpr std::uint32_t kMaxHeader = 1024;

    enum class Step { Header, FirstBack, Tag, Back };

    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::Header: {
            const std::uint32_t offset = GetBE32(p + 5);
            if (std::memcmp(p, "FLV", 3) != 0 || p[3] != 1 || (p[4] & 0xFA) != 0 || offset < 9 || offset > kMaxHeader)
                return State::GaveUp;
            step_ = Step::FirstBack;
            return Ask(offset - 9u, 4);
        }
        case Step::FirstBack:
            if (GetBE32(p) != 0) return State::GaveUp;
            end_ = at + 4;
            step_ = Step::Tag;
            return Ask(0, kTagHeader);
        case Step::Tag: {
            const std::uint8_t type = p[0] & 0x1F;
            if ((p[0] & 0xC0) != 0 || (type != 8 && type != 9 && type != 18) || p[8] != 0 || p[9] != 0 || p[10] != 0)
                return Last();
            dataLength_ = (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
            step_ = Step::Back;
            return Ask(dataLength_, 4);
        }
        case Step::Back:
            if (GetBE32(p) != kTagHeader + dataLength_) return Last();
            end_ = at + 4;
            ++tags_;
            step_ = Step::Tag;
            return Ask(0, kTagHeader);
        }
        return State::GaveUp;
    }

    State Last() { return tags_ ? Ends(end_) : State::GaveUp; }

    Step step_ = Step::Header;
    std::uint32_t dataLength_ = 0;
    std::uint64_t end_ = 0;  // after the back-pointer of the last tag that counts
    std::uint64_t tags_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> FlvRule(CFoundObject&, Head) { return std::make_unique<FlvEnd>(); }

}  // namespace tl::content
