#include <algorithm>
#include <cstring>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// A RIFF chunk holds its data and a pad byte when the length is odd.
std::uint64_t RiffNext(std::uint64_t at, std::uint32_t length) { return at + 8 + length + (length & 1); }

bool IsExtension(const std::uint8_t* p) {
    return std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "AVIX", 4) == 0 && GetU32(p + 4) >= 4;
}

// An AVI larger than a RIFF chunk may be (1 GB by the OpenDML rules) goes
// on in 'RIFF' 'AVIX' chunks right after its first one. The file ends
// after the last of them: where the next twelve bytes begin no such chunk.
// When the scan stops while the file stands between two chunks, the end of
// the last whole chunk is its end: the volume may end right after it.
class AviEnd final : public StreamScanner {
public:
    AviEnd(std::uint64_t end, std::uint64_t next) : end_(end), next_(next) { SetReach(next + kHeader); }

    std::optional<std::uint64_t> Size() const override {
        if (size_) return size_;
        if (fed_ >= end_) return end_;
        return std::nullopt;
    }

private:
    static constexpr std::size_t kHeader = 12;

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        fed_ = at + bytes.size();
        for (;;) {
            // The header at next_, gathered across calls.
            const std::uint64_t want = next_ + have_;
            if (want >= fed_) return State::Searching;
            if (want < at) return State::GaveUp;  // bytes behind this call were passed already
            const std::size_t from = static_cast<std::size_t>(want - at);
            const std::size_t k = std::min(kHeader - have_, bytes.size() - from);
            std::memcpy(header_ + have_, bytes.data() + from, k);
            have_ += k;
            if (have_ < kHeader) return State::Searching;
            if (!IsExtension(header_)) return Ends(end_);
            const std::uint32_t length = GetU32(header_ + 4);
            end_ = next_ + 8 + length;
            next_ = RiffNext(next_, length);
            have_ = 0;
        }
    }

    std::uint64_t end_;   // the end of the last chunk seen
    std::uint64_t next_;  // where the next chunk would begin
    std::uint64_t fed_ = 0;
    std::size_t have_ = 0;
    std::uint8_t header_[kHeader] = {};
};

}  // namespace

// The first chunk states its own length. For the common AVI without
// extension chunks the size is set at once when the bytes after that chunk
// are in memory; otherwise they are waited for.
std::unique_ptr<EndScanner> AviRule(CFoundObject& record, Head head) {
    if (head.size() < 12 || std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "AVI ", 4) != 0)
        return nullptr;
    const std::uint32_t length = GetU32(head.data() + 4);
    if (length < 4) return nullptr;
    const std::uint64_t end = 8 + std::uint64_t{length}, next = RiffNext(0, length);
    if (head.size() >= next + 12 && !IsExtension(head.data() + next)) return StatedSize(record, end);
    return std::make_unique<AviEnd>(end, next);
}

}  // namespace tl::content
