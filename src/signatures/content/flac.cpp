#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// The frame checksums, both fed most significant bit first from 0: CRC-8
// of polynomial 0x07 over the frame header, CRC-16 of polynomial 0x8005
// over the whole frame. Run over a frame and its own CRC-16, the CRC-16 is 0.
constexpr std::array<std::uint8_t, 256> MakeCrc8() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int k = 0; k < 8; ++k) r = (r & 0x80) ? ((r << 1) ^ 0x07) & 0xFF : (r << 1) & 0xFF;
        table[i] = static_cast<std::uint8_t>(r);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> MakeCrc16() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i << 8;
        for (int k = 0; k < 8; ++k) r = (r & 0x8000) ? ((r << 1) ^ 0x8005) & 0xFFFF : (r << 1) & 0xFFFF;
        table[i] = static_cast<std::uint16_t>(r);
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> kCrc8 = MakeCrc8();
constexpr std::array<std::uint16_t, 256> kCrc16 = MakeCrc16();

// What STREAMINFO says of the audio.
struct StreamInfo {
    unsigned maxBlock = 0;
    std::uint32_t sampleRate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
    std::uint64_t samples = 0;  // 0: not known
};

bool ParseStreamInfo(const std::uint8_t* p, StreamInfo& info) {
    const unsigned minBlock = GetBE16(p);
    info.maxBlock = GetBE16(p + 2);
    info.sampleRate = (std::uint32_t{p[10]} << 12) | (std::uint32_t{p[11]} << 4) | (p[12] >> 4);
    info.channels = ((p[12] >> 1) & 7) + 1;
    info.bits = (((p[12] & 1) << 4) | (p[13] >> 4)) + 1;
    info.samples = (std::uint64_t{p[13] & 0x0Fu} << 32) | GetBE32(p + 14);
    return minBlock >= 16 && info.maxBlock >= minBlock && info.sampleRate != 0 && info.bits >= 4;
}

// A frame header: the sync code with the blocking strategy (fixed block
// sizes count frames, variable ones samples), the block size, sample rate,
// channel assignment and sample size codes, the frame or sample number in
// a UTF-8-like code, the block size and sample rate when the codes say
// they follow, and the CRC-8.
struct FrameHeader {
    std::size_t length = 0;
    bool variable = false;
    std::uint32_t blockSize = 0;
    std::uint64_t number = 0;
    unsigned assignment = 0;
};

enum class Parse { Valid, Invalid, NeedMore };

constexpr std::size_t kMaxHeader = 16;

Parse ParseFrameHeader(const std::uint8_t* p, std::size_t n, const StreamInfo& info, FrameHeader& h) {
    // The fixed fields first, so that random bytes are turned away on sight.
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 4); ++i) {
        const std::uint8_t b = p[i];
        if ((i == 0 && b != 0xFF) || (i == 1 && (b & 0xFE) != 0xF8) || (i == 2 && ((b >> 4) == 0 || (b & 15) == 15)) ||
            (i == 3 && ((b >> 4) > 10 || ((b >> 1) & 7) == 3 || (b & 1))))
            return Parse::Invalid;
    }
    if (n < 5) return Parse::NeedMore;
    h.variable = p[1] & 1;
    const unsigned sizeCode = p[2] >> 4, rateCode = p[2] & 15, sampleCode = (p[3] >> 1) & 7;
    h.assignment = p[3] >> 4;
    // The frame or sample number: as many bytes as leading ones in the first.
    const unsigned lead = static_cast<unsigned>(std::countl_one(p[4]));
    if (lead == 1 || lead > 7 || (lead == 7 && !h.variable)) return Parse::Invalid;
    const std::size_t numberBytes = lead == 0 ? 1 : lead;
    std::size_t length = 4 + numberBytes + (sizeCode == 6 ? 1 : sizeCode == 7 ? 2 : 0) +
                         (rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0) + 1;
    if (n < length) return Parse::NeedMore;
    h.number = lead == 0 ? p[4] : p[4] & (0x7Fu >> lead);
    for (std::size_t i = 1; i < numberBytes; ++i) {
        if ((p[4 + i] & 0xC0) != 0x80) return Parse::Invalid;
        h.number = (h.number << 6) | (p[4 + i] & 0x3F);
    }
    std::size_t at = 4 + numberBytes;
    if (sizeCode == 1) h.blockSize = 192;
    else if (sizeCode <= 5) h.blockSize = 576u << (sizeCode - 2);
    else if (sizeCode == 6) h.blockSize = p[at++] + 1u;
    else if (sizeCode == 7) h.blockSize = GetBE16(p + at) + 1u, at += 2;
    else h.blockSize = 256u << (sizeCode - 8);
    static constexpr std::uint32_t kRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                                 22050, 24000, 32000,  44100,  48000, 96000};
    std::uint32_t rate = rateCode < 12 ? kRates[rateCode] : 0;
    if (rateCode == 12) rate = p[at++] * 1000u;
    else if (rateCode == 13) rate = GetBE16(p + at), at += 2;
    else if (rateCode == 14) rate = GetBE16(p + at) * 10u, at += 2;
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < at; ++i) crc = kCrc8[crc ^ p[i]];
    if (crc != p[at]) return Parse::Invalid;
    // The frame must be one of this stream: STREAMINFO's sample rate,
    // channels and sample size where the header codes them.
    static constexpr unsigned kSampleBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    const unsigned channels = h.assignment < 8 ? h.assignment + 1 : 2;
    if ((rateCode != 0 && rate != info.sampleRate) || channels != info.channels ||
        (sampleCode != 0 && kSampleBits[sampleCode] != info.bits) || h.blockSize > info.maxBlock)
        return Parse::Invalid;
    h.length = length;
    return Parse::Valid;
}

// Reads the subframes of a frame bit by bit, as far as their lengths go.
class BitReader {
public:
    BitReader(const std::uint8_t* p, std::size_t bytes) : p_(p), bits_(std::uint64_t{bytes} * 8) {}

    bool Skip(std::uint64_t n) {
        if (n > bits_ - pos_) return false;
        pos_ += n;
        return true;
    }
    bool Read(unsigned n, std::uint32_t& v) {  // n <= 24
        if (n > bits_ - pos_) return false;
        v = 0;
        for (unsigned i = 0; i < n; ++i, ++pos_) v = (v << 1) | ((p_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
        return true;
    }
    // Passes the zeros up to the next one bit, and the one.
    bool Unary() {
        while (pos_ < bits_) {
            const unsigned shift = static_cast<unsigned>(pos_ & 7);
            const std::uint8_t rest = static_cast<std::uint8_t>(p_[pos_ >> 3] << shift);
            if (rest == 0) {
                pos_ += 8 - shift;
                continue;
            }
            pos_ += static_cast<unsigned>(std::countl_zero(rest)) + 1;
            return true;
        }
        return false;
    }
    std::uint64_t Bytes() const { return (pos_ + 7) / 8; }

private:
    const std::uint8_t* p_;
    std::uint64_t bits_;
    std::uint64_t pos_ = 0;
};

// The coded residual of a predicted subframe: Rice-coded partitions, or
// partitions of raw samples behind an escape code.
bool SkipResidual(BitReader& r, std::uint32_t blockSize, unsigned order) {
    std::uint32_t method = 0, partitionOrder = 0;
    if (!r.Read(2, method) || method > 1 || !r.Read(4, partitionOrder)) return false;
    const unsigned parameterBits = method == 0 ? 4 : 5, escape = (1u << parameterBits) - 1;
    const std::uint32_t partitions = 1u << partitionOrder;
    if (blockSize % partitions || (blockSize >> partitionOrder) < order) return false;
    for (std::uint32_t i = 0; i < partitions; ++i) {
        const std::uint32_t samples = (blockSize >> partitionOrder) - (i == 0 ? order : 0);
        std::uint32_t parameter = 0;
        if (!r.Read(parameterBits, parameter)) return false;
        if (parameter == escape) {
            std::uint32_t bits = 0;
            if (!r.Read(5, bits) || !r.Skip(std::uint64_t{samples} * bits)) return false;
            continue;
        }
        for (std::uint32_t k = 0; k < samples; ++k)
            if (!r.Unary() || !r.Skip(parameter)) return false;
    }
    return true;
}

// The frame's length as its subframes give it (header, subframes, padding
// to a byte and the CRC-16), or 0 when they do not fit in `n` bytes or use
// codes no encoder writes.
std::size_t FrameLength(const std::uint8_t* p, std::size_t n, const FrameHeader& h, const StreamInfo& info) {
    if (n < h.length + 2) return 0;
    BitReader r(p + h.length, n - h.length - 2);
    for (unsigned c = 0; c < info.channels; ++c) {
        // The side channel of a stereo pair has one bit more.
        const bool side = (h.assignment == 8 && c == 1) || (h.assignment == 9 && c == 0) ||
                          (h.assignment == 10 && c == 1);
        unsigned bits = info.bits + (side ? 1 : 0);
        std::uint32_t head = 0, wasted = 0;
        if (!r.Read(8, head) || (head & 0x80)) return 0;
        if (head & 1) {
            // Wasted bits: as many as the zeros before the next one, plus one.
            std::uint32_t bit = 0;
            for (wasted = 1; r.Read(1, bit) && bit == 0; ++wasted)
                if (wasted >= bits) return 0;
            if (bit != 1 || wasted >= bits) return 0;
            bits -= wasted;
        }
        const unsigned type = (head >> 1) & 0x3F;
        if (type == 0) {  // constant
            if (!r.Skip(bits)) return 0;
        } else if (type == 1) {  // verbatim
            if (!r.Skip(std::uint64_t{h.blockSize} * bits)) return 0;
        } else if (type >= 8 && type <= 12) {  // fixed predictor
            const unsigned order = type - 8;
            if (!r.Skip(std::uint64_t{order} * bits) || !SkipResidual(r, h.blockSize, order)) return 0;
        } else if (type >= 32) {  // linear predictor
            const unsigned order = type - 31;
            std::uint32_t precision = 0;
            if (!r.Skip(std::uint64_t{order} * bits) || !r.Read(4, precision) || precision == 15 ||
                !r.Skip(5 + std::uint64_t{order} * (precision + 1)) || !SkipResidual(r, h.blockSize, order))
                return 0;
        } else {
            return 0;
        }
    }
    return static_cast<std::size_t>(h.length + r.Bytes() + 2);
}

// "fLaC", metadata blocks (a last-block flag, a 7-bit type, a 24-bit
// length) up to the one flagged last, then audio frames. A frame has no
// length field: it ends with the CRC-16 of its bytes, so its end is a
// place where the CRC-16 run from the frame's start comes to 0. Inside a
// frame that happens by chance once in 65,536 bytes; such a false end is
// told from the true one by what follows: the next frame's header, with a
// valid CRC-8, this stream's format and the next frame or sample number.
//
// When STREAMINFO gives the number of samples, the file ends after the
// frame that completes them; otherwise after the last frame that is
// followed by no frame. For that last frame nothing follows to check the
// CRC's end against: its subframes are walked to the length they give.
// Samples missing when no frame follows mean a file cut off: no end.
class FlacEnd final : public StreamScanner {
    static constexpr int kMaxMetadataBlocks = 1024;
    // A frame longer than 65,535 samples of 8 channels of 33 bits is none.
    static constexpr std::size_t kMaxFrame = 3u << 20;
    // Bytes of a call copied at a time, so that a frame's buffer stays small.
    static constexpr std::size_t kPiece = 64 * 1024;

public:
    explicit FlacEnd(std::uint64_t reach) { SetReach(reach); }

private:
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        std::size_t i = 0;
        if (metadata_) {
            const State state = Metadata(bytes, i);
            if (state != State::Searching || metadata_) return state;
            frameAt_ = at + i;
        }
        while (i < bytes.size()) {
            // Drop the frames passed, then take the next piece.
            if (start_) {
                frame_.erase(frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(start_));
                crcAt_ -= start_;
                start_ = 0;
            }
            const std::size_t k = std::min(bytes.size() - i, kPiece);
            frame_.insert(frame_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                          bytes.begin() + static_cast<std::ptrdiff_t>(i + k));
            i += k;
            const State state = Frames();
            if (state != State::Searching) return state;
        }
        return State::Searching;
    }

    // The metadata blocks, walked by their lengths.
    State Metadata(std::span<const std::uint8_t> bytes, std::size_t& i) {
        while (i < bytes.size()) {
            if (skip_) {
                const std::uint64_t k = std::min<std::uint64_t>(skip_, bytes.size() - i);
                i += static_cast<std::size_t>(k);
                skip_ -= k;
                continue;
            }
            if (last_) {
                metadata_ = false;
                return State::Searching;
            }
            const std::size_t need = blocks_ == 0 ? 42 : 4;
            if (!Gather(block_, need, have_, bytes, i)) return State::Searching;
            have_ = 0;
            const std::uint8_t* h = block_;
            if (blocks_ == 0) {
                // "fLaC" and STREAMINFO, always first.
                if (std::memcmp(block_, "fLaC", 4) != 0 || (GetBE32(block_ + 4) & 0x7FFFFFFF) != 34 ||
                    !ParseStreamInfo(block_ + 8, info_))
                    return State::GaveUp;
                h = block_ + 4;
            } else {
                const unsigned type = h[0] & 0x7F;
                if (type == 0 || type == 127 || blocks_ >= kMaxMetadataBlocks) return State::GaveUp;
                skip_ = GetBE32(h) & 0xFFFFFF;
            }
            last_ = h[0] & 0x80;
            ++blocks_;
        }
        if (last_ && !skip_) metadata_ = false;
        return State::Searching;
    }

    // Runs the CRC-16 on through the frame's bytes, and decides at each
    // place where it comes to 0. A frame header with the next number where
    // the CRC does not match ends a damaged frame: it is passed over, as
    // a damaged sector inside the file must not cut off the rest.
    State Frames() {
        for (;;) {
            if (!inFrame_) {
                // The first frame; the others were parsed as the successors of their predecessors.
                const Parse parse = ParseFrameHeader(frame_.data() + start_, frame_.size() - start_, info_, header_);
                if (parse == Parse::NeedMore) return State::Searching;
                if (parse == Parse::Invalid) return State::GaveUp;
                inFrame_ = true;
                crc_ = 0;
                crcAt_ = start_;
            }
            if (!candidate_) {
                const std::uint8_t* p = frame_.data();
                // The header, a subframe byte and the CRC-16 at least.
                const std::size_t n = frame_.size(), from = start_ + header_.length + 2;
                const bool more = !Last();
                std::uint16_t crc = crc_;
                std::size_t k = crcAt_;
                for (; k < n; ++k) {
                    if (p[k] == 0xFF && more && k > from && crc != 0) {
                        FrameHeader next;
                        const Parse parse = Successor(k, next);
                        if (parse == Parse::NeedMore) {
                            crc_ = crc;
                            crcAt_ = k;
                            return State::Searching;
                        }
                        if (parse == Parse::Valid) {
                            NextFrame(k, next);
                            break;
                        }
                    }
                    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16[(crc >> 8) ^ p[k]]);
                    if (crc == 0 && k >= from) {
                        crc_ = crc;
                        crcAt_ = k + 1;
                        candidate_ = true;
                        break;
                    }
                }
                if (k == n) {
                    crc_ = crc;
                    crcAt_ = n;
                    return n - start_ > kMaxFrame ? State::GaveUp : State::Searching;
                }
                if (!candidate_) continue;
            }
            const State state = Decide(crcAt_);
            if (state != State::Searching || candidate_) return state;
        }
    }

    // Whether the current frame completes the samples STREAMINFO counts.
    bool Last() const { return info_.samples != 0 && samples_ + header_.blockSize >= info_.samples; }

    // The header at frame_[at] if it is the next frame's.
    Parse Successor(std::size_t at, FrameHeader& next) const {
        const Parse parse = ParseFrameHeader(frame_.data() + at, frame_.size() - at, info_, next);
        if (parse != Parse::Valid) return parse;
        const std::uint64_t expected = header_.variable ? header_.number + header_.blockSize : header_.number + 1;
        return next.variable == header_.variable && next.number == expected ? Parse::Valid : Parse::Invalid;
    }

    // The current frame ends at frame_[end], where `next` begins.
    void NextFrame(std::size_t end, const FrameHeader& next) {
        samples_ += header_.blockSize;
        frameAt_ += end - start_;
        start_ = end;
        header_ = next;
        crc_ = 0;
        crcAt_ = end;
        candidate_ = false;
    }

    // The CRC-16 of the frame's bytes up to `end` matched: is this its end?
    State Decide(std::size_t end) {
        const bool last = Last();
        if (!last) {
            FrameHeader next;
            const Parse parse = Successor(end, next);
            if (parse == Parse::NeedMore) return State::Searching;  // candidate_ stays: decided when more comes
            if (parse == Parse::Valid) {
                NextFrame(end, next);
                return State::Searching;
            }
        }
        candidate_ = false;
        // No frame follows: an end if the subframes end here too. With the
        // samples not all there, the file was cut off.
        const std::size_t length = end - start_;
        if (FrameLength(frame_.data() + start_, length, header_, info_) != length) return State::Searching;
        if (info_.samples != 0 && !last) return State::GaveUp;
        return Ends(frameAt_ + length);
    }

    // Metadata.
    bool metadata_ = true;
    std::uint8_t block_[42] = {};
    std::size_t have_ = 0;
    std::uint64_t skip_ = 0;
    bool last_ = false;
    int blocks_ = 0;
    StreamInfo info_;
    // Frames: the bytes from the current frame's start (at start_) on.
    std::vector<std::uint8_t> frame_;
    std::size_t start_ = 0;
    std::uint64_t frameAt_ = 0;  // file position of frame_[start_]
    bool inFrame_ = false;
    FrameHeader header_;
    std::uint16_t crc_ = 0;
    std::size_t crcAt_ = 0;  // frame_ index the CRC has run to
    bool candidate_ = false;  // the CRC came to 0 at crcAt_, undecided
    std::uint64_t samples_ = 0;  // in the frames before the current one
};

// How far the file may reach: its metadata (as far as the bytes in memory
// walk it) and the samples STREAMINFO counts, stored raw, with room for
// every frame's header, subframe headers and predictor coefficients.
std::uint64_t ReachOf(Head head) {
    if (head.size() < 42) return 0;
    StreamInfo info;
    if (!ParseStreamInfo(head.data() + 8, info) || info.samples == 0) return 0;
    std::uint64_t at = 4;
    for (int i = 0; i < 1024; ++i) {
        if (at + 4 > head.size()) return 0;
        const std::uint8_t* h = head.data() + at;
        at += 4 + (GetBE32(h) & 0xFFFFFF);
        if (h[0] & 0x80) break;
    }
    const std::uint64_t frames = info.samples / 16 + 1;
    return at + (info.samples * info.channels * (info.bits + 1) + 7) / 8 + frames * (24 + 160 * info.channels);
}

}  // namespace

std::unique_ptr<EndScanner> FlacRule(CFoundObject&, Head head) { return std::make_unique<FlacEnd>(ReachOf(head)); }

}  // namespace tl::content
