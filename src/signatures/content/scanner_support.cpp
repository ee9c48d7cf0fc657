#include "signatures/content/scanner_support.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tl::content {

std::size_t FindPair(const std::uint8_t* p, std::size_t n, std::uint8_t a, std::uint8_t b, bool notB) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b));
    for (; i + 17 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i second = notB ? _mm_andnot_si128(_mm_cmpeq_epi8(y, vb), _mm_set1_epi8(-1)) : _mm_cmpeq_epi8(y, vb);
        const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x, va), second));
        if (mask) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i + 1 < n; ++i)
        if (p[i] == a && ((p[i + 1] == b) != notB)) return i;
    return n;
}

// ------------------------------------------------------------ streams

EndScanner::State StreamScanner::Feed(std::span<const std::uint8_t> bytes) {
    const State state = Scan(bytes, position_);
    position_ += bytes.size();
    return state;
}

// ------------------------------------------------------------ records

EndScanner::State RecordWalker::Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    const std::uint8_t* const d = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t p = 0;
    for (;;) {
        if (skip_) {
            const std::uint64_t k = std::min<std::uint64_t>(skip_, n - p);
            p += static_cast<std::size_t>(k);
            skip_ -= k;
            if (skip_) return State::Searching;
        }
        if (endAfterSkip_) return Ends(at + p);
        if (p == n) return State::Searching;
        if (need_ == 0 || need_ > kMaxNeed) return State::GaveUp;
        const std::uint64_t recordAt = at + p - have_;
        const std::uint8_t* record = nullptr;
        if (have_ == 0 && n - p >= need_) {
            record = d + p;
            p += need_;
        } else {
            if (!Gather(header_, need_, have_, bytes, p)) return State::Searching;
            record = header_;
        }
        have_ = 0;
        need_ = 0;  // the record asks anew
        const State state = Record(record, recordAt);
        if (state != State::Searching) return state;
        if (need_ == 0 && !endAfterSkip_) return State::GaveUp;
    }
}

// ------------------------------------------------------------- ranges

bool RangeScanner::Want(std::uint64_t offset, std::size_t length, std::uint64_t tag) {
    constexpr std::size_t kMaxAsked = 1 << 20;  // over the scanner's life: a walk that goes round is cut
    if (length == 0 || length > kMaxRange || pending_.size() >= kMaxPending || ++asked_ > kMaxAsked ||
        pendingBytes_ + length > kMaxPendingBytes)
        return false;
    std::uint64_t end = 0;
    if (__builtin_add_overflow(offset, std::uint64_t{length}, &end)) return false;
    const std::uint64_t currentEnd = currentAt_ + current_.size();
    // Bytes already passed must all still be at hand: in the kept head, or
    // in the call under way.
    if (offset < currentAt_ && std::min(end, currentAt_) > kept_.size()) return false;
    Range range{offset, tag, std::vector<std::uint8_t>(length), 0};
    if (offset < kept_.size()) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(end, kept_.size()) - offset);
        std::memcpy(range.bytes.data(), kept_.data() + offset, k);
        range.filled = k;
    }
    const std::uint64_t from = offset + range.filled;
    if (range.filled < length && from >= currentAt_ && from < currentEnd) {
        const std::size_t k = static_cast<std::size_t>(std::min(end, currentEnd) - from);
        std::memcpy(range.bytes.data() + range.filled, current_.data() + (from - currentAt_), k);
        range.filled += k;
    }
    pendingBytes_ += length;
    pending_.push_back(std::move(range));
    return true;
}

EndScanner::State RangeScanner::Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    current_ = bytes;
    currentAt_ = at;
    const std::uint64_t end = at + bytes.size();
    for (Range& r : pending_) {
        const std::uint64_t from = r.offset + r.filled;
        if (r.filled == r.bytes.size() || from < at || from >= end) continue;
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(end - from, r.bytes.size() - r.filled));
        std::memcpy(r.bytes.data() + r.filled, bytes.data() + (from - at), k);
        r.filled += k;
    }
    const State state = Deliver();
    if (kept_.size() == at && kept_.size() < kKeptHead) {
        const std::size_t k = std::min(bytes.size(), kKeptHead - kept_.size());
        kept_.insert(kept_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
    }
    current_ = {};
    currentAt_ = end;
    return state;
}

EndScanner::State RangeScanner::Deliver() {
    for (;;) {
        // The complete range that lies first in the file.
        auto next = pending_.end();
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            if (it->filled == it->bytes.size() && (next == pending_.end() || it->offset < next->offset)) next = it;
        if (next == pending_.end()) break;
        Range range = std::move(*next);
        pending_.erase(next);
        pendingBytes_ -= range.bytes.size();
        const State state = Got(range.tag, range.offset, range.bytes);
        if (state != State::Searching) return state;
        if (pending_.empty()) {
            // Done may ask for more, perhaps bytes already at hand.
            const State done = Done();
            if (done != State::Searching || pending_.empty()) return done;
        }
    }
    return State::Searching;
}

}  // namespace tl::content
