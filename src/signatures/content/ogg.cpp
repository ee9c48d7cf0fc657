#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

// The page checksum: CRC-32 of polynomial 0x04C11DB7, fed most significant
// bit first, starting at 0 and not inverted (not the zlib CRC).
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrc = MakeCrcTable();

std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kCrc[(crc >> 24) ^ p[i]];
    return crc;
}

// An Ogg file is a run of pages: "OggS", version 0, the header type (a
// continued packet, the first or the last page of a logical stream), the
// granule position, the stream's serial number, the page's sequence number
// in its stream, the page's CRC, the segment count and the segment table,
// whose lengths add up to the page's body.
//
// The logical streams of a file (a video and its sound, each with its own
// serial number) all begin on the first pages; the file ends after the page
// that ends the last of them. A file whose streams never end (a recording
// cut off) ends after the last page that is followed by no valid page: one
// of a stream of the file, next in its sequence, with a CRC that matches.
// Another Ogg file right after (a second chain of streams) begins with
// first pages again and is not taken in.
//
// A page whose CRC fails but whose header fitted is passed over when a
// valid page of the file follows it where its segment table says: a
// damaged sector inside the file must not cut off the rest. When no valid
// page follows, the file ends before the damaged page: its tail was
// overwritten, or the file continued elsewhere on the disk.
class OggEnd final : public StreamScanner {
    static constexpr std::size_t kMaxStreams = 64;

    struct Stream {
        std::uint32_t serial;
        std::uint32_t nextSequence;
        bool ended;
    };

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const std::uint8_t* p = bytes.data();
        const std::uint8_t* const end = p + bytes.size();
        while (p < end) {
            if (!inBody_) {
                // The page header and its segment table, checked as they come.
                const std::size_t need = header_ < 27 ? 27 : 27 + std::size_t{head_[26]};
                const std::size_t k = std::min(static_cast<std::size_t>(end - p), need - header_);
                std::memcpy(head_ + header_, p, k);
                const std::size_t from = header_;
                header_ += k;
                p += k;
                if (from < 27 && !HeaderFits(from)) return NotAPage();
                if (header_ < 27 + std::size_t{head_[26]}) continue;
                StartBody();
            }
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(end - p, body_));
            crc_ = Crc(crc_, p, k);
            body_ -= k;
            p += k;
            if (body_ == 0) {
                const State state = EndPage(at + static_cast<std::uint64_t>(p - bytes.data()));
                if (state != State::Searching) return state;
            }
        }
        return State::Searching;
    }

    // Whether the page header's bytes from `from` to those come so far can
    // begin a page of this file.
    bool HeaderFits(std::size_t from) const {
        static constexpr std::uint8_t kCapture[5] = {'O', 'g', 'g', 'S', 0};
        for (std::size_t i = from; i < std::min<std::size_t>(header_, 5); ++i)
            if (head_[i] != kCapture[i]) return false;
        if (header_ > 5 && (head_[5] & 0xF8)) return false;  // flags other than continued, first and last
        if (header_ < 27) return true;
        const bool first = head_[5] & 2;
        const Stream* s = Find(GetU32(head_ + 14));
        // First pages only at the file's start, one for each stream; every
        // other page continues a stream that has not ended, in sequence.
        if (first) return !s && !dataSeen_ && streamCount_ < kMaxStreams;
        return pages_ > 0 && s && !s->ended && s->nextSequence == GetU32(head_ + 18);
    }

    // The CRC runs over the header with its CRC field as zeros, the segment
    // table and the body, whose length the segment table gives.
    void StartBody() {
        static constexpr std::uint8_t kZeros[4] = {};
        crc_ = Crc(Crc(Crc(0, head_, 22), kZeros, 4), head_ + 26, header_ - 26);
        body_ = 0;
        for (std::size_t i = 0; i < head_[26]; ++i) body_ += head_[27 + i];
        inBody_ = true;
    }

    // The page that ends at file position `end` is whole: its CRC decides.
    State EndPage(std::uint64_t end) {
        const bool good = crc_ == GetU32(head_ + 22);
        const bool first = head_[5] & 2, last = head_[5] & 4;
        const std::uint32_t serial = GetU32(head_ + 14);
        inBody_ = false;
        header_ = 0;
        if (!good) {
            if (pages_ == 0) return State::GaveUp;
            // A second damaged page in a row: the file ended before the first.
            if (damagedAt_) return Ends(damagedAt_);
            damagedAt_ = pageStart_;
        } else {
            damagedAt_ = 0;
        }
        if (first) streams_[streamCount_++] = Stream{serial, 0, false};
        else dataSeen_ = true;
        Stream* s = Find(serial);
        s->nextSequence = GetU32(head_ + 18) + 1;
        ++pages_;
        pageStart_ = end;
        if (good && last) {
            s->ended = true;
            if (std::all_of(streams_, streams_ + streamCount_, [](const Stream& t) { return t.ended; }))
                return Ends(end);
        }
        return State::Searching;
    }

    // The bytes after the last page are no page of this file.
    State NotAPage() {
        if (pages_ == 0) return State::GaveUp;
        return Ends(damagedAt_ ? damagedAt_ : pageStart_);
    }

    const Stream* Find(std::uint32_t serial) const {
        for (std::size_t i = 0; i < streamCount_; ++i)
            if (streams_[i].serial == serial) return &streams_[i];
        return nullptr;
    }
    Stream* Find(std::uint32_t serial) { return const_cast<Stream*>(std::as_const(*this).Find(serial)); }

    std::uint8_t head_[27 + 255] = {};
    std::size_t header_ = 0;  // bytes of the page header come so far
    bool inBody_ = false;
    std::uint64_t body_ = 0;  // bytes of the page body still to come
    std::uint32_t crc_ = 0;
    std::uint64_t pageStart_ = 0;
    std::uint64_t pages_ = 0;
    std::uint64_t damagedAt_ = 0;  // where a damaged page began, until a valid page follows it
    Stream streams_[kMaxStreams] = {};
    std::size_t streamCount_ = 0;
    bool dataSeen_ = false;
};

}  // namespace

std::unique_ptr<EndScanner> OggRule(CFoundObject&, Head) { return std::make_unique<OggEnd>(); }

}  // namespace tl::content
