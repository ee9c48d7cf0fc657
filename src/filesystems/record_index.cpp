#include "filesystems/record_index.h"

#include <algorithm>
#include <iterator>

namespace tl {
namespace {

std::vector<RecordIndex::Entry> NewBlock() {
    std::vector<RecordIndex::Entry> block;
    block.reserve(RecordIndex::kBlockEntries);
    return block;
}

}  // namespace

RecordIndex::Position RecordIndex::LowerBound(std::uint64_t key) const {
    // The first block whose last key reaches `key` holds the first entry not below it.
    const auto block = std::partition_point(blocks_.begin(), blocks_.end(),
                                            [key](const auto& b) { return b.back().key < key; });
    if (block == blocks_.end()) return End();
    const auto entry = std::partition_point(block->begin(), block->end(), [key](const Entry& e) { return e.key < key; });
    return {static_cast<std::size_t>(block - blocks_.begin()), static_cast<std::size_t>(entry - block->begin())};
}

RecordIndex::Position RecordIndex::UpperBound(std::uint64_t key) const {
    const auto block = std::partition_point(blocks_.begin(), blocks_.end(),
                                            [key](const auto& b) { return b.back().key <= key; });
    if (block == blocks_.end()) return End();
    const auto entry = std::partition_point(block->begin(), block->end(), [key](const Entry& e) { return e.key <= key; });
    return {static_cast<std::size_t>(block - blocks_.begin()), static_cast<std::size_t>(entry - block->begin())};
}

RecordIndex::Position RecordIndex::Next(Position p) const {
    if (++p.index < blocks_[p.block].size()) return p;
    return {p.block + 1, 0};
}

RecordIndex::Position RecordIndex::Prev(Position p) const {
    if (p.index > 0) return {p.block, p.index - 1};
    return {p.block - 1, blocks_[p.block - 1].size() - 1};
}

CFoundObject* RecordIndex::FindFirst(std::uint64_t key) const {
    const Position p = LowerBound(key);
    return p != End() && At(p).key == key ? At(p).record : nullptr;
}

void RecordIndex::Insert(std::uint64_t key, CFoundObject* record) {
    const Entry entry{key, record};
    ++size_;
    if (blocks_.empty()) {
        blocks_.push_back(NewBlock());
        blocks_.back().push_back(entry);
        return;
    }
    Position p = UpperBound(key);
    // The place between two blocks is the end of the first: a run of keys
    // that each go after the last one (ascending keys, or equal ones such
    // as the many records without an identifier) then fills blocks whole.
    if (p == End())
        p = {blocks_.size() - 1, blocks_.back().size()};
    else if (p.index == 0 && p.block > 0)
        p = {p.block - 1, blocks_[p.block - 1].size()};
    auto& block = blocks_[p.block];
    if (block.size() < kBlockEntries) {
        block.insert(block.begin() + static_cast<std::ptrdiff_t>(p.index), entry);
        return;
    }
    // A full block: at either end the entry starts a block of its own
    // (descending keys fill blocks whole too).
    const auto at = blocks_.begin() + static_cast<std::ptrdiff_t>(p.block);
    if (p.index == block.size() || p.index == 0) {
        const auto fresh = blocks_.insert(p.index == 0 ? at : std::next(at), NewBlock());
        fresh->push_back(entry);
        return;
    }
    // Else the block is split where the entry goes, within its middle half,
    // and the entry ends the lower part: the next one of a run goes after it.
    const std::size_t split = std::clamp(p.index, kBlockEntries / 4, kBlockEntries * 3 / 4);
    std::vector<Entry> upper = NewBlock();
    upper.assign(block.begin() + static_cast<std::ptrdiff_t>(split), block.end());
    block.resize(split);
    if (p.index <= split)
        block.insert(block.begin() + static_cast<std::ptrdiff_t>(p.index), entry);
    else
        upper.insert(upper.begin() + static_cast<std::ptrdiff_t>(p.index - split), entry);
    blocks_.insert(std::next(at), std::move(upper));
}

bool RecordIndex::Erase(std::uint64_t key, const CFoundObject* record) {
    for (Position p = LowerBound(key); p != End() && At(p).key == key; p = Next(p)) {
        if (At(p).record != record) continue;
        auto& block = blocks_[p.block];
        block.erase(block.begin() + static_cast<std::ptrdiff_t>(p.index));
        if (block.empty()) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(p.block));
        --size_;
        return true;
    }
    return false;
}

void RecordIndex::Clear() {
    blocks_.clear();
    size_ = 0;
}

void RecordIndex::Assign(std::vector<Entry> entries) {
    Clear();
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (std::size_t at = 0; at < entries.size(); at += kBlockEntries) {
        const std::size_t end = std::min(entries.size(), at + kBlockEntries);
        blocks_.push_back(NewBlock());
        blocks_.back().assign(entries.begin() + static_cast<std::ptrdiff_t>(at),
                              entries.begin() + static_cast<std::ptrdiff_t>(end));
    }
    size_ = entries.size();
}

}  // namespace tl
