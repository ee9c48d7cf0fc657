#include "signatures/signature_matcher.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "signatures/signature_database.h"

namespace tl {
namespace {

// Byte equalities of a pattern: position -> value; false when the pattern
// has an element that is not a fixed-position equality.
bool CollectEqualities(const SignaturePattern& pattern, std::map<std::uint16_t, std::vector<std::uint8_t>>& eq) {
    const auto add = [&](std::size_t pos, std::uint8_t value) {
        eq[static_cast<std::uint16_t>(std::min<std::size_t>(pos, 0xFFFF))].push_back(value);
    };
    for (const auto& e : pattern.Elements) {
        if (e.Offset < 0) return false;
        const auto p = static_cast<std::size_t>(e.Offset);
        switch (e.Kind) {
        case kPatternByte:
        case kPatternWord:
        case kPatternDword:
        case kPatternQword: {
            const std::size_t width = e.Kind;  // 1, 2, 4, 8 bytes
            for (std::size_t k = 0; k <= e.Repeat; ++k)
                for (std::size_t i = 0; i < width; ++i) add(p + k + i, e.Data[i]);
            break;
        }
        case kPatternBytes:
            if (e.Length == 0) return false;  // reads nothing, yet its offset must lie in the block
            for (std::size_t i = 0; i < e.Length; ++i) add(p + i, e.Data[i]);
            break;
        case kPatternMasked: {
            const std::size_t n = std::min<std::size_t>(e.Length, kMaskedAreaBytes);
            for (std::size_t i = 0; i < n; ++i)
                if (e.Data[kMaskedAreaBytes + i]) add(p + i, e.Data[i]);
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

}  // namespace

SignatureMatcher::SignatureMatcher(std::vector<const FileSignature*> types) : types_(std::move(types)) {
    for (std::uint32_t t = 0; t < types_.size(); ++t)
        for (const auto& pattern : types_[t]->Patterns)
            if (!Compile(t, pattern)) generic_.push_back({t, &pattern});
}

SignatureMatcher SignatureMatcher::ForEnabledTypes(const SignatureDatabase& db) {
    std::vector<const FileSignature*> types;
    for (const auto& sig : db.Signatures())
        if (sig->SearchEnable) types.push_back(sig.get());
    return SignatureMatcher(std::move(types));
}

bool SignatureMatcher::Compile(std::uint32_t type, const SignaturePattern& pattern) {
    std::map<std::uint16_t, std::vector<std::uint8_t>> eq;
    if (!CollectEqualities(pattern, eq)) return false;
    Compiled c{type, 0, static_cast<std::uint32_t>(words_.size()), 0};
    if (!eq.empty()) {
        c.lastByte = eq.rbegin()->first;
        // A byte beyond the block can never be read: the pattern never holds.
        if (c.lastByte >= kBlockBytes) return true;
        for (const auto& [pos, values] : eq) {
            // Two different values wanted at one byte: the pattern never holds.
            const std::uint8_t first = values[0];
            if (std::any_of(values.begin(), values.end(), [first](std::uint8_t v) { return v != first; })) return true;
        }
    }
    std::map<std::uint16_t, Word> byWord;
    for (const auto& [pos, values] : eq) {
        const auto wordOffset = static_cast<std::uint16_t>(std::min<std::size_t>(pos & ~7u, kBlockBytes - 8));
        Word& w = byWord.try_emplace(wordOffset, Word{wordOffset, 0, 0}).first->second;
        const unsigned shift = 8 * (pos - wordOffset);
        w.mask |= std::uint64_t{0xFF} << shift;
        w.value |= std::uint64_t{values[0]} << shift;
    }
    for (const auto& [offset, w] : byWord) words_.push_back(w);
    c.wordCount = static_cast<std::uint32_t>(byWord.size());
    const auto index = static_cast<std::uint32_t>(compiled_.size());
    compiled_.push_back(c);

    if (eq.empty()) {
        alwaysTested_.push_back(index);
        return true;
    }
    // Anchor on a byte position other patterns already use, else the lowest.
    std::uint16_t anchor = eq.begin()->first;
    for (const auto& table : anchors_)
        if (eq.count(table.position)) {
            anchor = table.position;
            break;
        }
    auto it = std::find_if(anchors_.begin(), anchors_.end(), [&](const AnchorTable& t) { return t.position == anchor; });
    if (it == anchors_.end()) {
        anchors_.push_back(AnchorTable{anchor, {}});
        it = anchors_.end() - 1;
    }
    it->byValue[eq[anchor][0]].push_back(index);
    return true;
}

bool SignatureMatcher::Verify(const Compiled& c, const std::uint8_t* block) const {
    for (std::uint32_t i = 0; i < c.wordCount; ++i) {
        const Word& w = words_[c.firstWord + i];
        std::uint64_t v;
        std::memcpy(&v, block + w.offset, 8);
        if ((v & w.mask) != w.value) return false;
    }
    return true;
}

void SignatureMatcher::Match(const std::uint8_t* block, std::size_t length, std::vector<std::uint32_t>& out) const {
    const std::size_t start = out.size();
    length = std::min(length, kBlockBytes);
    // Compiled patterns read whole 8-byte words: a short block is padded.
    std::uint8_t padded[kBlockBytes];
    const std::uint8_t* b = block;
    if (length < kBlockBytes) {
        std::memset(padded, 0, sizeof padded);
        std::memcpy(padded, block, length);
        b = padded;
    }
    const auto test = [&](std::uint32_t index) {
        const Compiled& c = compiled_[index];
        if ((c.wordCount == 0 || c.lastByte < length) && Verify(c, b)) out.push_back(c.type);
    };
    for (const auto& table : anchors_) {
        if (table.position >= length) continue;
        for (std::uint32_t index : table.byValue[b[table.position]]) test(index);
    }
    for (std::uint32_t index : alwaysTested_) test(index);
    for (const auto& g : generic_)
        if (g.pattern->Matches(block, length)) out.push_back(g.type);
    if (out.size() - start > 1) {
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
        out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(start), out.end()), out.end());
    }
}

}  // namespace tl
