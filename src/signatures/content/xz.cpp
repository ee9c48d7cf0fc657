#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// An xz stream is a 12-byte header (magic, two flag bytes, their CRC-32),
// blocks, an index and a 12-byte footer (CRC-32, backward size, the header's
// flag bytes, "YZ"); each of them is a multiple of four bytes long. Blocks
// need not state their lengths, so the footer is searched: "YZ" four-aligned
// from the stream's start, the header's flags and a matching CRC.
//
// The footer of a stream that follows a cut one passes those tests too, so
// the index the backward size points to is read back from the last bytes
// kept: its own CRC must match, and the blocks it lists must fill the
// stream exactly from its header to the index. An index longer than the
// bytes kept (thousands of blocks) is taken on the footer's word.
//
// Stream padding (zero bytes, four at a time) and further streams may
// follow; the file ends after the last footer.
class XzEnd final : public StreamScanner {
    // A stream may go on with another member or stream right after it: the
    // next file found ends it.
    bool Encloses() const override { return false; }

    static constexpr std::size_t kKept = 64 * 1024;
    static constexpr std::uint64_t kMaxPadding = 64 * 1024;
    static constexpr std::uint8_t kMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0};
    enum class Step { Header, Body, Between };

public:
    XzEnd() : kept_(new std::uint8_t[kKept]) {}

private:
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const State state = Walk(bytes, at);
        if (state == State::Searching) Keep(bytes, at);
        return state;
    }

    State Walk(std::span<const std::uint8_t> bytes, std::uint64_t at) {
        const std::uint8_t* const d = bytes.data();
        const std::size_t n = bytes.size();
        std::size_t p = 0;
        while (p < n) {
            switch (step_) {
            case Step::Header: {
                if (!Gather(header_, sizeof header_, have_, bytes, p)) break;
                if (!ValidHeader(header_)) return streams_ == 0 ? State::GaveUp : State::Found;
                size_.reset();  // another stream: the file goes on
                streamStart_ = at + p - sizeof header_;
                flags_[0] = header_[6];
                flags_[1] = header_[7];
                step_ = Step::Body;
                break;
            }
            case Step::Body: {
                // The 'Y' of the footer lies two bytes past a four-aligned
                // position, after at least the header and an empty index.
                const std::uint64_t earliest = streamStart_ + 12 + 8 + 10;
                if (p == 0 && at > earliest && at - 1 >= keptFrom_ && kept_[(at - 1) % kKept] == 'Y' && d[0] == 'Z' &&
                    Footer(at - 1, bytes, at)) {  // a "YZ" across two calls
                    p = 1;
                    break;
                }
                std::size_t q = p;
                if (earliest > at + q) q = static_cast<std::size_t>(std::min<std::uint64_t>(earliest - at, n));
                bool found = false;
                while (q + 1 < n) {
                    const std::size_t hit = q + FindPair(d + q, n - q, 'Y', 'Z');
                    if (hit + 1 >= n) break;
                    if (Footer(at + hit, bytes, at)) {
                        p = hit + 2;
                        found = true;
                        break;
                    }
                    q = hit + 1;
                }
                if (!found) p = n;
                break;
            }
            case Step::Between: {
                // Four bytes at a time: padding, or the next stream's header.
                if (!Gather(header_, 4, have_, bytes, p)) break;
                if (GetU32(header_) == 0) {
                    have_ = 0;
                    padding_ += 4;
                    if (padding_ > kMaxPadding) return State::Found;
                    break;
                }
                if (std::memcmp(header_, kMagic, 4) != 0) return State::Found;
                step_ = Step::Header;  // four of its twelve bytes are in
                break;
            }
            }
        }
        return State::Searching;
    }

    static bool ValidHeader(const std::uint8_t* h) {
        return std::memcmp(h, kMagic, sizeof kMagic) == 0 && h[6] == 0 && (h[7] & 0xF0) == 0 &&
               GetU32(h + 8) == crc32(0, h + 6, 2);
    }

    // Tests the footer whose "YZ" is at file position `yz`; on success the
    // stream has ended after it.
    bool Footer(std::uint64_t yz, std::span<const std::uint8_t> current, std::uint64_t at) {
        if (((yz - streamStart_) & 3) != 2) return false;
        std::uint8_t f[12];
        const std::uint64_t footerAt = yz - 10;
        if (!Fetch(footerAt, sizeof f, f, current, at)) return false;
        if (f[8] != flags_[0] || f[9] != flags_[1] || GetU32(f) != crc32(0, f + 4, 6)) return false;
        const std::uint64_t backward = (std::uint64_t{GetU32(f + 4)} + 1) * 4;
        if (footerAt - streamStart_ < 12 + backward) return false;
        const std::uint64_t indexAt = footerAt - backward;
        if (backward <= kKept) {
            index_.resize(static_cast<std::size_t>(backward));
            if (!Fetch(indexAt, index_.size(), index_.data(), current, at)) return false;
            std::uint64_t blocks = 0;
            if (!ReadIndex(index_, blocks) || streamStart_ + 12 + blocks != indexAt) return false;
        }
        ++streams_;
        size_ = yz + 2;
        step_ = Step::Between;
        have_ = 0;
        padding_ = 0;
        return true;
    }

    // An index: the indicator 0x00, the count of records, each record's
    // unpadded and uncompressed size (variable-length integers), zero
    // padding to four bytes and the CRC-32 of all that. `blocks` is the
    // length of the blocks it lists, each padded to four bytes.
    static bool ReadIndex(const std::vector<std::uint8_t>& index, std::uint64_t& blocks) {
        const std::size_t end = index.size() - 4;  // the CRC
        std::size_t p = 1;
        auto number = [&](std::uint64_t& value) {
            value = 0;
            for (int i = 0; i < 9 && p < end; ++i) {
                const std::uint8_t b = index[p++];
                value |= std::uint64_t{b & 0x7Fu} << (7 * i);
                if (!(b & 0x80)) return b != 0 || i == 0;
            }
            return false;
        };
        std::uint64_t count = 0;
        if (index[0] != 0 || !number(count) || count > end / 2) return false;
        blocks = 0;
        for (std::uint64_t r = 0; r < count; ++r) {
            std::uint64_t unpadded = 0, uncompressed = 0;
            if (!number(unpadded) || !number(uncompressed) || unpadded < 5 || unpadded > (std::uint64_t{1} << 62))
                return false;
            if (__builtin_add_overflow(blocks, (unpadded + 3) & ~std::uint64_t{3}, &blocks)) return false;
        }
        for (; p % 4; ++p)
            if (p >= end || index[p] != 0) return false;
        return p == end && GetU32(index.data() + end) == crc32(0, index.data(), static_cast<uInt>(end));
    }

    // Copies `length` bytes from file position `from`, out of the bytes
    // kept from earlier calls and the call under way.
    bool Fetch(std::uint64_t from, std::size_t length, std::uint8_t* out, std::span<const std::uint8_t> current,
               std::uint64_t at) const {
        if (from < keptFrom_ || from + length > at + current.size()) return false;
        for (std::size_t i = 0; i < length;) {
            const std::uint64_t x = from + i;
            if (x >= at) {
                std::memcpy(out + i, current.data() + (x - at), length - i);
                break;
            }
            const std::size_t slot = static_cast<std::size_t>(x % kKept);
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>({length - i, at - x, kKept - slot}));
            std::memcpy(out + i, kept_.get() + slot, k);
            i += k;
        }
        return true;
    }

    // Keeps the last bytes of a call for footers and indexes that lie across calls.
    void Keep(std::span<const std::uint8_t> bytes, std::uint64_t at) {
        const std::size_t k = std::min(bytes.size(), kKept);
        const std::uint64_t end = at + bytes.size();
        for (std::uint64_t x = end - k; x < end;) {
            const std::size_t slot = static_cast<std::size_t>(x % kKept);
            const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(end - x, kKept - slot));
            std::memcpy(kept_.get() + slot, bytes.data() + (x - at), m);
            x += m;
        }
        keptFrom_ = end > kKept ? end - kKept : 0;
    }

    std::unique_ptr<std::uint8_t[]> kept_;
    std::uint64_t keptFrom_ = 0;  // the first file position still kept
    std::vector<std::uint8_t> index_;
    Step step_ = Step::Header;
    std::uint8_t header_[12] = {};
    std::size_t have_ = 0;
    std::uint8_t flags_[2] = {};
    std::uint64_t streamStart_ = 0;
    std::uint64_t padding_ = 0;
    std::uint64_t streams_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> XzRule(CFoundObject&, Head) { return std::make_unique<XzEnd>(); }

}  // namespace tl::content
