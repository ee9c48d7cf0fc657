#include <algorithm>
#include <cstring>
#include <string_view>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// A PDF ends after its last "%%EOF" (and the line end after it): a file
// updated in place, or linearised, has more than one. After each "%%EOF"
// the next bytes tell whether the document goes on (an object number, an
// "xref" or a "trailer" after white space) or ends there.
class PdfEnd final : public StreamScanner {
    // The last "%%EOF" before the next file: the next file found ends it.
    bool Encloses() const override { return false; }

    static constexpr std::string_view kEof = "%%EOF";
    static constexpr std::size_t kMaxBlank = 64;

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        std::size_t p = 0;
        while (p < bytes.size()) {
            const std::uint8_t c = bytes[p];
            if (after_) {
                // Deciding what follows the last "%%EOF".
                if (lineEnd_ < 2 && (c == '\n' || (c == '\r' && lineEnd_ == 0))) {
                    ++lineEnd_;
                    ++*size_;
                    if (c == '\n') lineEnd_ = 2;
                    ++p;
                    continue;
                }
                lineEnd_ = 2;
                if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0) {
                    if (++blank_ > kMaxBlank) return State::Found;
                    ++p;
                    continue;
                }
                after_ = false;
                if (!((c >= '0' && c <= '9') || c == 'x' || c == 't')) return State::Found;
                continue;  // the document goes on: search again from this byte
            }
            if (matched_ == 0) {
                // The next "%%"; a '%' at the very end may begin one.
                const std::size_t n = bytes.size() - p;
                const std::size_t hit = FindPair(bytes.data() + p, n, '%', '%');
                if (hit == n && bytes.back() != '%') break;
                p += hit == n ? n - 1 : hit;
            }
            const std::uint8_t b = bytes[p++];
            if (b == static_cast<std::uint8_t>(kEof[matched_])) {
                if (++matched_ == kEof.size()) {
                    size_ = at + p;
                    matched_ = 0;
                    after_ = true;
                    lineEnd_ = 0;
                    blank_ = 0;
                }
            } else {
                // A '%' that breaks the match may begin the next one: after
                // "%%" it keeps two ("%%%EOF"), after "%%E" or "%%EO" one.
                matched_ = b == '%' ? (matched_ == 2 ? 2 : 1) : 0;
            }
        }
        return State::Searching;
    }

    std::size_t matched_ = 0;
    bool after_ = false;
    int lineEnd_ = 0;
    std::size_t blank_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> PdfRule(CFoundObject&, Head) { return std::make_unique<PdfEnd>(); }


}  // namespace tl::content
