#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// A gzip file is one or more members, each a 10-byte header (with the
// optional fields its flags announce), a raw deflate stream and an 8-byte
// trailer holding the CRC-32 and the length (mod 2^32) of the inflated
// data. Deflate states no length: the stream is inflated into a scratch
// buffer that is thrown away, and the trailer after its last block must
// match what came out. After each member the next bytes are read as a
// member header; the file ends after the last member that one follows.
class GzipEnd final : public StreamScanner {
    // A stream may go on with another member or stream right after it: the
    // next file found ends it.
    bool Encloses() const override { return false; }

    enum class Step { Fixed, ExtraLength, Extra, Name, Comment, HeaderCrc, Deflate, Trailer };
    enum Flag : std::uint8_t { kText = 1, kHeaderCrc = 2, kExtra = 4, kName = 8, kComment = 16, kReserved = 0xE0 };
    static constexpr std::size_t kScratch = 32 * 1024;
    // Longer file names and comments are no gzip header's.
    static constexpr std::uint64_t kMaxText = 1024 * 1024;

public:
    GzipEnd() {
        if (inflateInit2(&z_, -15) == Z_OK) ready_ = true;
    }
    ~GzipEnd() override {
        if (ready_) inflateEnd(&z_);
    }
    GzipEnd(const GzipEnd&) = delete;
    GzipEnd& operator=(const GzipEnd&) = delete;
    bool Ready() const { return ready_; }

private:
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const std::uint8_t* const d = bytes.data();
        const std::size_t n = bytes.size();
        std::size_t p = 0;
        while (p < n) {
            switch (step_) {
            case Step::Fixed: {
                const std::size_t k = std::min(n - p, 10 - have_);
                std::memcpy(fixed_ + have_, d + p, k);
                const std::size_t before = have_;
                have_ += k;
                p += k;
                // The first four bytes decide whether a member begins here:
                // the magic, the deflate method and no reserved flag.
                if (before < 4 && have_ >= 4) {
                    if (fixed_[0] != 0x1F || fixed_[1] != 0x8B || fixed_[2] != 8 || (fixed_[3] & kReserved)) {
                        if (members_ == 0) return State::GaveUp;
                        return State::Found;  // size_ holds the end of the last member
                    }
                    size_.reset();  // another member: the file goes on
                }
                if (have_ < 10) break;
                headerCrc_ = crc32(0, fixed_, 10);
                flags_ = fixed_[3];
                have_ = 0;
                NextField(Step::ExtraLength);
                break;
            }
            case Step::ExtraLength:
                if (!Collect(d, n, p, 2)) break;
                skip_ = GetU16(field_);
                NextField(Step::Extra);
                break;
            case Step::Extra: {
                const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n - p));
                headerCrc_ = crc32(headerCrc_, d + p, static_cast<uInt>(k));
                p += k;
                skip_ -= k;
                if (skip_ == 0) NextField(Step::Name);
                break;
            }
            case Step::Name:
            case Step::Comment: {
                // A zero-terminated text.
                const void* zero = std::memchr(d + p, 0, n - p);
                const std::size_t k = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - (d + p)) + 1 : n - p;
                headerCrc_ = crc32(headerCrc_, d + p, static_cast<uInt>(k));
                p += k;
                text_ += k;
                if (text_ > kMaxText) return Fail();
                if (zero) NextField(step_ == Step::Name ? Step::Comment : Step::HeaderCrc);
                break;
            }
            case Step::HeaderCrc:
                if (!Collect(d, n, p, 2, false)) break;
                // The low half of the CRC-32 of every header byte before it.
                if (GetU16(field_) != (headerCrc_ & 0xFFFF)) return Fail();
                NextField(Step::Deflate);
                break;
            case Step::Deflate: {
                const State state = Inflate(d, n, p);
                if (state != State::Searching) return state;
                break;
            }
            case Step::Trailer:
                if (!Collect(d, n, p, 8, false)) break;
                if (GetU32(field_) != dataCrc_ || GetU32(field_ + 4) != static_cast<std::uint32_t>(dataLength_))
                    return Fail();
                ++members_;
                size_ = at + p;
                step_ = Step::Fixed;
                break;
            }
        }
        return State::Searching;
    }

    // Gathers a field of `need` bytes that calls may split; true once whole.
    bool Collect(const std::uint8_t* d, std::size_t n, std::size_t& p, std::size_t need, bool inHeader = true) {
        const std::size_t k = std::min(n - p, need - have_);
        std::memcpy(field_ + have_, d + p, k);
        if (inHeader) headerCrc_ = crc32(headerCrc_, d + p, static_cast<uInt>(k));
        have_ += k;
        p += k;
        if (have_ < need) return false;
        have_ = 0;
        return true;
    }

    // Moves on to the first field at or after `step` that the flags announce.
    void NextField(Step step) {
        if (step == Step::ExtraLength && !(flags_ & kExtra)) step = Step::Name;
        if (step == Step::Extra && skip_ == 0) step = Step::Name;
        if (step == Step::Name && !(flags_ & kName)) step = Step::Comment;
        if (step == Step::Comment && !(flags_ & kComment)) step = Step::HeaderCrc;
        if (step == Step::HeaderCrc && !(flags_ & kHeaderCrc)) step = Step::Deflate;
        if (step == Step::Deflate) {
            inflateReset(&z_);
            dataCrc_ = crc32(0, nullptr, 0);
            dataLength_ = 0;
        }
        text_ = 0;
        step_ = step;
    }

    State Inflate(const std::uint8_t* d, std::size_t n, std::size_t& p) {
        z_.next_in = const_cast<Bytef*>(d + p);
        z_.avail_in = static_cast<uInt>(std::min<std::size_t>(n - p, 1u << 30));
        const uInt given = z_.avail_in;
        for (;;) {
            z_.next_out = scratch_.get();
            z_.avail_out = kScratch;
            const uInt inBefore = z_.avail_in;
            const int result = inflate(&z_, Z_NO_FLUSH);
            const uInt produced = static_cast<uInt>(kScratch - z_.avail_out);
            dataCrc_ = crc32(dataCrc_, scratch_.get(), produced);
            dataLength_ += produced;
            if (result == Z_STREAM_END) {
                p += given - z_.avail_in;
                have_ = 0;
                step_ = Step::Trailer;
                return State::Searching;
            }
            if (result != Z_OK && result != Z_BUF_ERROR) return Fail();
            // All input taken and the output not filled: wait for more bytes.
            if (z_.avail_in == 0 && z_.avail_out != 0) break;
            if (produced == 0 && inBefore == z_.avail_in) {
                if (z_.avail_in == 0) break;
                return Fail();  // stuck with input left: never goes on
            }
        }
        p += given - z_.avail_in;
        return State::Searching;
    }

    // A member that does not hold together: the file is damaged here.
    State Fail() {
        size_.reset();
        return State::GaveUp;
    }

    z_stream z_{};
    bool ready_ = false;
    std::unique_ptr<std::uint8_t[]> scratch_{new std::uint8_t[kScratch]};
    Step step_ = Step::Fixed;
    std::uint8_t fixed_[10] = {};
    std::uint8_t field_[8] = {};
    std::size_t have_ = 0;
    std::uint8_t flags_ = 0;
    std::uint64_t skip_ = 0;
    std::uint64_t text_ = 0;
    std::uint32_t headerCrc_ = 0;
    std::uint32_t dataCrc_ = 0;
    std::uint64_t dataLength_ = 0;
    std::uint64_t members_ = 0;
};

}  // namespace

std::unique_ptr<EndScanner> GzipRule(CFoundObject&, Head) {
    auto scanner = std::make_unique<GzipEnd>();
    if (!scanner->Ready()) return nullptr;
    return scanner;
}

}  // namespace tl::content
