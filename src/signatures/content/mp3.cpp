#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// An MPEG audio frame header: 11 sync bits, version, layer, protection,
// bit rate, sample rate, padding, private bit, channel mode, mode
// extension, copyright, original, emphasis.
struct FrameHeader {
    unsigned version = 0;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    unsigned layer = 0;    // 3: layer I, 2: layer II, 1: layer III
    unsigned rateIndex = 0;
    std::uint32_t length = 0;
};

// Bit rates in kbit/s by bit-rate index 1 to 14.
constexpr std::uint16_t kRates[5][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 and 2.5 layer I
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 and 2.5 layers II and III
};
constexpr std::uint32_t kSampleRates[3] = {44100, 48000, 32000};  // MPEG-1; halved for 2, quartered for 2.5

// A frame header with its length, or false for one no encoder writes
// (reserved version, layer, sample rate or emphasis) and for the free
// bit rate, whose frames tell no length.
bool ParseFrame(const std::uint8_t* p, FrameHeader& h) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    h.version = (p[1] >> 3) & 3;
    h.layer = (p[1] >> 1) & 3;
    const unsigned bitRate = p[2] >> 4;
    h.rateIndex = (p[2] >> 2) & 3;
    const unsigned padding = (p[2] >> 1) & 1;
    if (h.version == 1 || h.layer == 0 || bitRate == 0 || bitRate == 15 || h.rateIndex == 3 || (p[3] & 3) == 2)
        return false;
    const bool mpeg1 = h.version == 3;
    const unsigned table = mpeg1 ? 3 - h.layer : (h.layer == 3 ? 3 : 4);
    const std::uint32_t bitsPerSecond = std::uint32_t{kRates[table][bitRate - 1]} * 1000;
    const std::uint32_t sampleRate = kSampleRates[h.rateIndex] >> (mpeg1 ? 0 : h.version == 2 ? 1 : 2);
    if (h.layer == 3) h.length = (12 * bitsPerSecond / sampleRate + padding) * 4;
    else if (h.layer == 1 && !mpeg1) h.length = 72 * bitsPerSecond / sampleRate + padding;
    else h.length = 144 * bitsPerSecond / sampleRate + padding;
    return h.length >= 4;
}

// The ID3v2 tag's length (header, body and footer), 0 when the header is
// not one.
std::uint64_t TagLength(const std::uint8_t* p) {
    if (std::memcmp(p, "ID3", 3) != 0 || p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return 0;
    static constexpr std::uint8_t kUndefinedFlags[5] = {0, 0, 0x3F, 0x1F, 0x0F};
    if (p[5] & kUndefinedFlags[p[3]]) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    const std::uint64_t size = (std::uint64_t{p[6]} << 21) | (std::uint64_t{p[7]} << 14) | (p[8] << 7) | p[9];
    return 10 + size + (p[3] == 4 && (p[5] & 0x10) ? 10 : 0);
}

// After the ID3v2 tag (and zeros some writers leave after it), MPEG audio
// frames follow one another by the lengths their headers give. A frame
// continues the file only when its header is valid and keeps the first
// frame's version, layer and sample rate: random bytes pass that test about
// once in 200,000, zeros never. The file ends where no frame follows, after
// an APEv2 tag (header, items, footer) and an ID3v1 tag ("TAG", 128 bytes)
// if they are there.
class Mp3End final : public RecordWalker {
    static constexpr int kTrustedFrames = 3;              // in a row before the walk is believed
    static constexpr std::uint64_t kMaxGap = 64 * 1024;   // zeros between the tag and the first frame
    static constexpr std::uint32_t kMaxApeTag = 64 << 20;  // cover pictures included

    enum class Step { Tag, Gap, GapRest, Frame, ApeHeader, ApeFooter, Id3v1 };

public:
    explicit Mp3End(std::uint64_t reach) : RecordWalker(0, 10) { SetReach(reach); }

private:
    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::Tag: {
            const std::uint64_t length = TagLength(p);
            if (length == 0) return State::GaveUp;
            step_ = Step::Gap;
            return Ask(length - 10, 1);
        }
        case Step::Gap:
            if (p[0] == 0) return ++gap_ > kMaxGap ? State::GaveUp : Ask(0, 1);
            split_[0] = p[0];
            step_ = Step::GapRest;
            return Ask(0, 3);
        case Step::GapRest:
            std::memcpy(split_ + 1, p, 3);
            step_ = Step::Frame;
            return Frame(split_, at - 1);
        case Step::Frame:
            return Frame(p, at);
        case Step::ApeHeader: {
            // "AGEX", version 2.000, the tag's length without its header,
            // the item count, flags (a header of a tag that has one), zeros.
            const std::uint32_t flags = GetU32(p + 16);
            if (std::memcmp(p, "AGEX", 4) != 0 || GetU32(p + 4) != 2000 || (flags & 0xA0000000u) != 0xA0000000u ||
                GetU64(p + 20) != 0)
                return Ends(audioEnd_);
            apeLength_ = GetU32(p + 8);
            if (apeLength_ < 32 || apeLength_ > kMaxApeTag) return Ends(audioEnd_);
            step_ = Step::ApeFooter;
            return Ask(apeLength_ - 32, 32);
        }
        case Step::ApeFooter:
            if (std::memcmp(p, "APETAGEX", 8) != 0 || GetU32(p + 8) != 2000 || GetU32(p + 12) != apeLength_ ||
                (GetU32(p + 20) & 0x20000000u))
                return Ends(audioEnd_);
            step_ = Step::Id3v1;
            return Ask(0, 3);
        case Step::Id3v1:
            return std::memcmp(p, "TAG", 3) == 0 ? EndsAfter(125) : Ends(at);
        }
        return State::GaveUp;
    }

    State Frame(const std::uint8_t* p, std::uint64_t at) {
        FrameHeader h;
        const bool valid = ParseFrame(p, h);
        if (frames_ == 0) {
            if (!valid) return State::GaveUp;
            first_ = h;
        }
        if (valid && h.version == first_.version && h.layer == first_.layer && h.rateIndex == first_.rateIndex) {
            ++frames_;
            return Ask(h.length - 4, 4);
        }
        // The audio ended here, or was never more than a few look-alike frames.
        if (frames_ < kTrustedFrames) return State::GaveUp;
        audioEnd_ = at;
        if (std::memcmp(p, "TAG", 3) == 0) return EndsAfter(124);
        if (std::memcmp(p, "APET", 4) == 0) {
            step_ = Step::ApeHeader;
            return Ask(0, 28);
        }
        return Ends(at);
    }

    Step step_ = Step::Tag;
    std::uint64_t gap_ = 0;
    std::uint8_t split_[4] = {};  // the first frame header, when zeros came before it
    FrameHeader first_;
    std::uint64_t frames_ = 0;
    std::uint64_t audioEnd_ = 0;
    std::uint32_t apeLength_ = 0;
};

// How far the file may reach, from the frame count and byte count an
// encoder writes into the first frame (a "Xing" or "Info" header after the
// side information, a "VBRI" header 32 bytes after the frame header): the
// audio's bytes, the ID3v2 tag before them and room for the tags after.
std::uint64_t ReachOf(Head head) {
    if (head.size() < 10) return 0;
    const std::uint64_t tag = TagLength(head.data());
    FrameHeader h;
    if (tag == 0 || tag > head.size() || head.size() - tag < 64 || !ParseFrame(head.data() + tag, h)) return 0;
    const std::uint8_t* f = head.data() + tag;
    const bool mono = (f[3] >> 6) == 3;
    std::size_t side = h.version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    if (!(f[1] & 1)) side += 2;  // a CRC after the header
    std::uint64_t bytes = 0;
    const std::size_t xing = 4 + side;
    if (h.layer == 1 && head.size() - tag >= xing + 16 &&
        (std::memcmp(f + xing, "Xing", 4) == 0 || std::memcmp(f + xing, "Info", 4) == 0)) {
        const std::uint32_t flags = GetBE32(f + xing + 4);
        if (flags & 2) bytes = GetBE32(f + xing + 8 + ((flags & 1) ? 4 : 0));
    } else if (std::memcmp(f + 36, "VBRI", 4) == 0) {
        bytes = GetBE32(f + 36 + 10);
    }
    if (bytes == 0) return 0;
    constexpr std::uint64_t kTagRoom = 1 << 20;
    return tag + bytes + 128 + kTagRoom;
}

}  // namespace

std::unique_ptr<EndScanner> Mp3Rule(CFoundObject&, Head head) {
    return std::make_unique<Mp3End>(ReachOf(head));
}

}  // namespace tl::content
