#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// "MThd" and its header (format, track count, time division), then chunks
// of a four-letter type and a big-endian length. The file ends after as
// many "MTrk" chunks as the header counts; chunks of other types between
// them are passed over. Every track ends with the end-of-track event
// (FF 2F 00), which is checked: a track length that runs past the track
// would otherwise lead the walk into whatever follows the file.
class MidiEnd final : public RecordWalker {
    static constexpr std::uint32_t kMaxChunk = 64u << 20;  // far beyond any real track
    static constexpr int kMaxOtherChunks = 64;

public:
    MidiEnd() : RecordWalker(0, 14) {}

private:
    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::Header: {
            const std::uint32_t length = GetBE32(p + 4);
            const std::uint16_t format = GetBE16(p + 8);
            tracks_ = GetBE16(p + 10);
            if (std::memcmp(p, "MThd", 4) != 0 || length < 6 || length > 256 || format > 2 || tracks_ == 0 ||
                (format == 0 && tracks_ != 1))
                return State::GaveUp;
            step_ = Step::Chunk;
            return Ask(length - 6, 8);
        }
        case Step::Chunk: {
            const std::uint32_t length = GetBE32(p + 4);
            if (length > kMaxChunk) return State::GaveUp;
            if (std::memcmp(p, "MTrk", 4) == 0) {
                if (length < 4) return State::GaveUp;  // a delta time and the end-of-track event at least
                step_ = Step::TrackEnd;
                return Ask(length - 3, 3);
            }
            for (int i = 0; i < 4; ++i)
                if (p[i] < 0x20 || p[i] > 0x7E) return State::GaveUp;
            if (++otherChunks_ > kMaxOtherChunks) return State::GaveUp;
            return Ask(length, 8);
        }
        case Step::TrackEnd:
            if (p[0] != 0xFF || p[1] != 0x2F || p[2] != 0x00) return State::GaveUp;
            if (--tracks_ == 0) return Ends(at + 3);
            step_ = Step::Chunk;
            return Ask(0, 8);
        }
        return State::GaveUp;
    }

    enum class Step { Header, Chunk, TrackEnd };
    Step step_ = Step::Header;
    unsigned tracks_ = 0;  // still to come
    int otherChunks_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> MidiRule(CFoundObject&, Head) { return std::make_unique<MidiEnd>(); }

}  // namespace tl::content
