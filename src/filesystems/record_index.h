// An ordered multimap from a 64-bit key to a found record, for the indexes
// of the found-object tree. A tree node per entry would cost four times the
// 16 bytes an entry holds, and a volume can hold millions of found records:
// entries are kept sorted in blocks of at most kBlockEntries instead. A key
// is found by a binary search over the blocks' last keys, then within one
// block; an insertion moves at most one block's entries.
//
// Entries with equal keys keep the order they were inserted in. Keys that
// arrive in order (the sector scan's offsets, the synthetic identifiers it
// gives) fill whole blocks. Not thread-safe: the tree's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tl {

struct CFoundObject;

class RecordIndex {
public:
    static constexpr std::size_t kBlockEntries = 512;

    struct Entry {
        std::uint64_t key;
        CFoundObject* record;
    };
    // A place in the index: a block and an entry in it. End() lies past
    // the last block.
    struct Position {
        std::size_t block = 0;
        std::size_t index = 0;
        bool operator==(const Position&) const = default;
    };

    // After the entries with an equal key.
    void Insert(std::uint64_t key, CFoundObject* record);
    // Removes the entry of `record` under `key`; false when there is none.
    bool Erase(std::uint64_t key, const CFoundObject* record);
    void Clear();
    // Replaces the content by `entries`, sorted here (equal keys in the
    // order given).
    void Assign(std::vector<Entry> entries);
    std::size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }

    Position Begin() const { return {}; }
    Position End() const { return {blocks_.size(), 0}; }
    // The first entry whose key is not less than (LowerBound) or greater
    // than (UpperBound) `key`, or End().
    Position LowerBound(std::uint64_t key) const;
    Position UpperBound(std::uint64_t key) const;
    // `p` must not be End() (At, Next) or Begin() (Prev).
    const Entry& At(Position p) const { return blocks_[p.block][p.index]; }
    Position Next(Position p) const;
    Position Prev(Position p) const;

    // The first record with `key`, or null.
    CFoundObject* FindFirst(std::uint64_t key) const;
    // Calls f(record) for each record with `key`, in insertion order, until
    // it returns false.
    template <class F>
    void ForEachEqual(std::uint64_t key, F&& f) const {
        for (Position p = LowerBound(key); p != End() && At(p).key == key; p = Next(p))
            if (!f(At(p).record)) return;
    }
    // Calls f(entry) for every entry, in key order.
    template <class F>
    void ForEach(F&& f) const {
        for (const auto& block : blocks_)
            for (const Entry& e : block) f(e);
    }

private:
    std::vector<std::vector<Entry>> blocks_;  // none empty; each sorted, and in order
    std::size_t size_ = 0;
};

}  // namespace tl
