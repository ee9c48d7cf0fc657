#include <algorithm>
#include <cstring>
#include <string_view>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// The segments are walked by their lengths, so that the end marker of a
// thumbnail inside an APP1 segment is passed over; after a start of scan
// the entropy-coded data runs to the next marker that is neither a stuffed
// 0xFF nor a restart marker. The file ends after the end-of-image marker.
class JpegEnd final : public StreamScanner {
    // The end marker is searched for: a file that was partly overwritten by
    // the next one would reach into it.
    bool Encloses() const override { return false; }

    enum class Step { Skip, MarkerStart, MarkerCode, LengthHigh, LengthLow, Entropy, EntropyMarker };

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const std::uint8_t* const begin = bytes.data();
        const std::uint8_t* const end = begin + bytes.size();
        const std::uint8_t* p = begin;
        while (p < end) {
            switch (step_) {
            case Step::Skip: {
                const std::uint64_t n = std::min<std::uint64_t>(skip_, static_cast<std::uint64_t>(end - p));
                p += n;
                skip_ -= n;
                if (skip_ == 0) step_ = afterSkip_;
                break;
            }
            case Step::MarkerStart:
                if (*p++ != 0xFF) return State::GaveUp;
                step_ = Step::MarkerCode;
                break;
            case Step::MarkerCode: {
                const std::uint8_t code = *p++;
                if (code == 0xFF) break;  // fill byte
                if (code == 0xD9) return Ends(at + static_cast<std::uint64_t>(p - begin));
                if (code == 0x00 || code == 0xD8) return State::GaveUp;
                if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) step_ = Step::MarkerStart;
                else {
                    code_ = code;
                    step_ = Step::LengthHigh;
                }
                break;
            }
            case Step::LengthHigh:
                length_ = static_cast<std::uint16_t>(*p++ << 8);
                step_ = Step::LengthLow;
                break;
            case Step::LengthLow:
                length_ = static_cast<std::uint16_t>(length_ | *p++);
                if (length_ < 2) return State::GaveUp;
                skip_ = length_ - 2u;
                afterSkip_ = code_ == 0xDA ? Step::Entropy : Step::MarkerStart;
                step_ = skip_ ? Step::Skip : afterSkip_;
                break;
            case Step::Entropy: {
                // The next 0xFF that is not a stuffed one; one at the very
                // end is decided by the next byte.
                const std::size_t n = static_cast<std::size_t>(end - p);
                const std::size_t ff = FindPair(p, n, 0xFF, 0x00, true);
                if (ff < n) {
                    p += ff + 1;
                    step_ = Step::EntropyMarker;
                } else {
                    if (end[-1] == 0xFF) step_ = Step::EntropyMarker;
                    p = end;
                }
                break;
            }
            case Step::EntropyMarker: {
                const std::uint8_t code = *p++;
                if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) step_ = Step::Entropy;
                else if (code == 0xD9) return Ends(at + static_cast<std::uint64_t>(p - begin));
                else if (code != 0xFF) {  // a table, or the next scan of a progressive picture
                    code_ = code;
                    step_ = Step::LengthHigh;
                }
                break;
            }
            }
        }
        return State::Searching;
    }

    Step step_ = Step::Skip;  // over the start-of-image marker
    Step afterSkip_ = Step::MarkerStart;
    std::uint64_t skip_ = 2;
    std::uint8_t code_ = 0;
    std::uint16_t length_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> JpegRule(CFoundObject&, Head) { return std::make_unique<JpegEnd>(); }

}  // namespace tl::content
