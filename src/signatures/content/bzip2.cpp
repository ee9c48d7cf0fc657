#include <algorithm>
#include <array>
#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// A bzip2 stream is "BZh" and a block size digit, then blocks that each
// begin with the 48-bit magic 0x314159265359 and the block's CRC-32, and
// the end-of-stream magic 0x177245385090 with the CRC of the whole stream;
// the stream is padded to a whole byte after it. Blocks are bit strings
// with no stated length, so both magics are searched at every bit position
// through a 64-bit window. The stream's CRC is each block's CRC folded in
// (rotated left by one, then xor-ed), which the end must match: an end
// marker that belongs to another stream, or lies after damaged bytes, is
// refused. Streams written one after another (by parallel compressors, or
// by concatenating files) make one file, which ends after the last one.
class Bzip2End final : public StreamScanner {
    // A stream may go on with another member or stream right after it: the
    // next file found ends it.
    bool Encloses() const override { return false; }

    static constexpr std::uint64_t kBlockMagic = 0x314159265359;
    static constexpr std::uint64_t kEndMagic = 0x177245385090;
    static constexpr std::uint64_t kMask48 = (std::uint64_t{1} << 48) - 1;

    // For the byte two places behind the newest one in the window: at which
    // bit shifts (0-7, the magic ending that many bits before the window's
    // end) it can be part of the end magic (bits 0-7) or a block magic
    // (bits 8-15). Only those shifts are compared in full.
    static constexpr std::array<std::uint16_t, 256> kShifts = [] {
        std::array<std::uint16_t, 256> table{};
        for (int k = 0; k < 8; ++k) {
            table[(kEndMagic >> (16 - k)) & 0xFF] |= static_cast<std::uint16_t>(1u << k);
            table[(kBlockMagic >> (16 - k)) & 0xFF] |= static_cast<std::uint16_t>(1u << (8 + k));
        }
        return table;
    }();

    static bool ValidHeader(const std::uint8_t* h) {
        if (h[0] != 'B' || h[1] != 'Z' || h[2] != 'h' || h[3] < '1' || h[3] > '9') return false;
        std::uint64_t magic = 0;
        for (int i = 4; i < 10; ++i) magic = (magic << 8) | h[i];
        return magic == kBlockMagic || magic == kEndMagic;
    }

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const std::uint8_t* const d = bytes.data();
        const std::size_t n = bytes.size();
        std::size_t p = 0;
        while (p < n) {
            if (inHeader_) {
                // The stream header and the magic of its first block (or of
                // its end, for an empty stream).
                if (!Gather(header_, sizeof header_, have_, bytes, p)) break;
                if (!ValidHeader(header_)) return streams_ == 0 ? State::GaveUp : State::Found;
                size_.reset();  // another stream: the file goes on
                inHeader_ = false;
                window_ = 0;
                windowBits_ = 0;
                combined_ = 0;
                captureAt_ = 0;
                lastEnd_ = 0;
                const std::uint64_t headerAt = at + p - sizeof header_;
                const State state = Bits(header_ + 4, sizeof header_ - 4, headerAt + 4);
                if (state != State::Searching) return state;
                continue;
            }
            const State state = Bits(d + p, n - p, at + p);
            if (state != State::Searching) return state;
            if (!inHeader_) break;
            p = static_cast<std::size_t>(*size_ - at);  // the next stream's header may follow
        }
        return State::Searching;
    }

    // Shifts `n` bytes at file position `at` through the window. Returns
    // GaveUp on a stream that does not hold together; after a stream's end
    // sets size_ and inHeader_ and returns Searching, having taken the
    // bytes up to size_ only.
    State Bits(const std::uint8_t* p, std::size_t n, std::uint64_t at) {
        std::uint64_t w = window_;
        std::uint64_t bits = windowBits_;
        for (std::size_t i = 0; i < n; ++i) {
            w = (w << 8) | p[i];
            bits = std::min<std::uint64_t>(bits + 8, 64);
            const std::uint64_t bitEnd = (at + i + 1) * 8;  // file bit position after the window
            if (captureAt_ && bitEnd >= captureAt_) {
                const std::uint32_t crc = static_cast<std::uint32_t>(w >> (bitEnd - captureAt_));
                lastEnd_ = captureAt_;
                captureAt_ = 0;
                if (!captureIsEnd_) {
                    combined_ = ((combined_ << 1) | (combined_ >> 31)) ^ crc;
                } else {
                    if (crc != combined_) return State::GaveUp;
                    ++streams_;
                    size_ = at + i + 1;  // the padding bits fill this byte
                    inHeader_ = true;
                    have_ = 0;
                    window_ = w;
                    windowBits_ = bits;
                    return State::Searching;
                }
            }
            const std::uint16_t shifts = kShifts[(w >> 16) & 0xFF];
            if (!shifts) continue;
            for (int k = 0; k < 8; ++k) {
                if (bits < 48u + k) break;
                const std::uint64_t v = (w >> k) & kMask48;
                const bool end = ((shifts >> k) & 1) && v == kEndMagic;
                const bool block = ((shifts >> (8 + k)) & 1) && v == kBlockMagic;
                if (!end && !block) continue;
                // A magic inside the CRC of the one before is no magic of a
                // real stream.
                const std::uint64_t magicEnd = bitEnd - static_cast<std::uint64_t>(k);
                if (captureAt_ || magicEnd - 48 < lastEnd_) return State::GaveUp;
                captureIsEnd_ = end;
                captureAt_ = magicEnd + 32;
                break;
            }
        }
        window_ = w;
        windowBits_ = bits;
        return State::Searching;
    }

    bool inHeader_ = true;
    std::uint8_t header_[10] = {};
    std::size_t have_ = 0;
    std::uint64_t window_ = 0;
    std::uint64_t windowBits_ = 0;
    std::uint32_t combined_ = 0;
    std::uint64_t captureAt_ = 0;  // file bit position where the CRC after a magic ends; 0 for none
    bool captureIsEnd_ = false;
    std::uint64_t lastEnd_ = 0;  // where the last CRC after a magic ended
    std::uint64_t streams_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> Bzip2Rule(CFoundObject&, Head) { return std::make_unique<Bzip2End>(); }

}  // namespace tl::content
