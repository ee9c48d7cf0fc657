// What the end scanners of the content rules share: big-endian reads, a
// fast search for a byte pair, and three ways of following a file as the
// scan passes over it.
//
// - StreamScanner: is told, with each call's bytes, the file position of
//   their first byte (end markers, text runs).
// - RecordWalker: a file made of records one after another (chunks, boxes,
//   tags, pages, blocks): it asks for the next record's header after
//   skipping what it already knows the length of, and is shown the header
//   in one piece wherever the calls split it.
// - RangeScanner: a file whose structure points back and forth (a compound
//   document's allocation table, a TIFF's directories): it asks for byte
//   ranges at file positions and is shown each when the scan has passed it.
//   Ranges behind the scan are served from the first bytes it keeps, or are
//   missed.
//
// Every scanner treats the bytes as hostile: lengths are checked before they
// are added, walks are bounded by counts, and a scanner that cannot make
// sense of its file gives up instead of guessing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "signatures/content_rules.h"

namespace tl::content {

inline std::uint16_t GetBE16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t GetBE32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint64_t GetBE64(const std::uint8_t* p) { return (std::uint64_t{GetBE32(p)} << 32) | GetBE32(p + 4); }

// The first i in [0, n-1) where p[i] is `a` and p[i+1] is `b` (with `notB`:
// anything but `b`); n when there is none. Sixteen positions at a time where
// the processor allows: end scanners run over every byte that follows an
// unfinished file, up to its type's default size.
std::size_t FindPair(const std::uint8_t* p, std::size_t n, std::uint8_t a, std::uint8_t b, bool notB = false);

// Copies the next bytes of `bytes` from `p` into `buffer` until it holds
// `want` (`have` so far), moving `p` and `have` on: a header that a call's
// end may split. True when the buffer is full.
inline bool Gather(std::uint8_t* buffer, std::size_t want, std::size_t& have, std::span<const std::uint8_t> bytes,
                   std::size_t& p) {
    const std::size_t k = std::min(want - have, bytes.size() - p);
    std::copy_n(bytes.data() + p, k, buffer + have);
    have += k;
    p += k;
    return have == want;
}

class StreamScanner : public EndScanner {
public:
    State Feed(std::span<const std::uint8_t> bytes) final;
    std::optional<std::uint64_t> Size() const override { return size_; }
    std::uint64_t Reach() const override { return reach_; }

protected:
    virtual State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) = 0;
    State Ends(std::uint64_t size) {
        size_ = size;
        return State::Found;
    }
    // What the file's header says its length is at most.
    void SetReach(std::uint64_t reach) { reach_ = reach; }
    std::optional<std::uint64_t> size_;

private:
    std::uint64_t position_ = 0;
    std::uint64_t reach_ = 0;
};

class RecordWalker : public StreamScanner {
public:
    // The largest record header a walker may ask for.
    static constexpr std::size_t kMaxNeed = 1024;

protected:
    // The walk begins by skipping `skip` bytes of the file, then asks for `need`.
    RecordWalker(std::uint64_t skip, std::size_t need) : skip_(skip), need_(need) {}

    // The `need` bytes asked for, found at file position `at`. Returns
    // Ask(...) for the next record, EndsAfter(...), Ends(...) or GaveUp.
    virtual State Record(const std::uint8_t* p, std::uint64_t at) = 0;
    // The next request: skip `skip` bytes after the record just shown, then
    // show the next `need` (1 to kMaxNeed).
    State Ask(std::uint64_t skip, std::size_t need) {
        skip_ = skip;
        need_ = need;
        return need == 0 || need > kMaxNeed ? State::GaveUp : State::Searching;
    }
    // The file ends `skip` bytes after the record just shown.
    State EndsAfter(std::uint64_t skip) {
        skip_ = skip;
        endAfterSkip_ = true;
        return State::Searching;
    }

private:
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) final;

    std::uint64_t skip_;
    std::size_t need_;
    bool endAfterSkip_ = false;
    std::size_t have_ = 0;
    std::uint8_t header_[kMaxNeed] = {};
};

class RangeScanner : public StreamScanner {
public:
    // The file's first bytes kept for ranges asked for after the scan passed them.
    static constexpr std::size_t kKeptHead = 256 * 1024;
    // Ranges asked for at once, at most, and the largest one.
    static constexpr std::size_t kMaxPending = 4096;
    static constexpr std::size_t kMaxRange = 1024 * 1024;
    // Bytes of the ranges pending at once, at most: a hostile file cannot
    // make a scanner hold more.
    static constexpr std::size_t kMaxPendingBytes = 64 * 1024 * 1024;

protected:
    // Asks for `length` bytes at file position `offset`; `tag` comes back
    // with them. False when the range can never be shown: too long, too
    // many asked for, or behind the scan and beyond the bytes kept.
    bool Want(std::uint64_t offset, std::size_t length, std::uint64_t tag);
    // A range asked for, whole. Returns Searching to go on (the scanner may
    // have asked for more), Found after Ends, or GaveUp.
    virtual State Got(std::uint64_t tag, std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
    // Called when no range is pending any more after a Got: the walk is done.
    virtual State Done() = 0;
    bool Pending() const { return !pending_.empty(); }

private:
    struct Range {
        std::uint64_t offset;
        std::uint64_t tag;
        std::vector<std::uint8_t> bytes;
        std::size_t filled = 0;
    };
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) final;
    // Shows every complete range; the state to return.
    State Deliver();

    std::vector<Range> pending_;
    std::size_t asked_ = 0;
    std::size_t pendingBytes_ = 0;
    std::vector<std::uint8_t> kept_;
    std::uint64_t seen_ = 0;  // bytes of the file passed so far
    // The bytes of the call under way, for ranges asked for while it is shown.
    std::span<const std::uint8_t> current_;
    std::uint64_t currentAt_ = 0;
};

}  // namespace tl::content
