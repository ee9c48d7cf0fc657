#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

#include <cstring>

namespace tl::content {
namespace {

// After the 8-byte signature, chunks of a 4-byte big-endian length, a
// 4-byte type, the data and a 4-byte CRC; the file ends after the IEND
// chunk. A length above 2^31-1 or a type that is not four letters is no
// PNG any more.
class PngEnd final : public RecordWalker {
public:
    PngEnd() : RecordWalker(8, 8) {}

private:
    State Record(const std::uint8_t* p, std::uint64_t) override {
        const std::uint32_t length = GetBE32(p);
        for (int i = 4; i < 8; ++i) {
            const std::uint8_t c = static_cast<std::uint8_t>(p[i] | 0x20);
            if (c < 'a' || c > 'z') return State::GaveUp;
        }
        if (length > 0x7FFFFFFFu) return State::GaveUp;
        const std::uint64_t rest = std::uint64_t{length} + 4;  // data and CRC
        if (std::memcmp(p + 4, "IEND", 4) == 0) return EndsAfter(rest);
        return Ask(rest, 8);
    }
};

}  // namespace

std::unique_ptr<EndScanner> PngRule(CFoundObject&, Head) { return std::make_unique<PngEnd>(); }

}  // namespace tl::content
