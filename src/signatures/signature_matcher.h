// The compiled form of the signature database that the sector scan tests
// every 512-byte block against.
//
// Most patterns are byte equalities at fixed positions (pattern texts, and
// the byte/word/dword/qword and byte-string elements). Those are compiled to
// 64-bit mask-and-compare words and indexed by one of their bytes (the
// "anchor"): a block is tested only against the patterns whose anchor byte it
// holds. Every other pattern is tested as it stands. The answer is always the
// one of the plain rules: every type that matches, once, in list order.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "signatures/file_signature.h"

namespace tl {

class SignatureDatabase;

class SignatureMatcher {
public:
    // A snapshot of `types` in their order (the records must outlive the matcher).
    explicit SignatureMatcher(std::vector<const FileSignature*> types);
    // The types of the database whose SearchEnable is set, in list order.
    static SignatureMatcher ForEnabledTypes(const SignatureDatabase& db);

    std::size_t TypeCount() const { return types_.size(); }
    const FileSignature& Type(std::size_t index) const { return *types_[index]; }

    // Appends to `out` the indices (into the snapshot) of the types that
    // match the block, ascending. `length` is the number of readable bytes.
    void Match(const std::uint8_t* block, std::size_t length, std::vector<std::uint32_t>& out) const;

    // How many patterns took the fast path (for the benchmark's report).
    std::size_t CompiledPatternCount() const { return compiled_.size(); }
    std::size_t GenericPatternCount() const { return generic_.size(); }

private:
    struct Word {
        std::uint16_t offset;  // of the 8-byte word in the block, at most 504
        std::uint64_t mask;
        std::uint64_t value;
    };
    struct Compiled {
        std::uint32_t type;
        std::uint16_t lastByte;  // highest byte position tested
        std::uint32_t firstWord;
        std::uint32_t wordCount;
    };
    struct Generic {
        std::uint32_t type;
        const SignaturePattern* pattern;
    };
    struct AnchorTable {
        std::uint16_t position;
        std::array<std::vector<std::uint32_t>, 256> byValue;  // indices into compiled_
    };

    bool Compile(std::uint32_t type, const SignaturePattern& pattern);
    bool Verify(const Compiled& c, const std::uint8_t* block) const;

    std::vector<const FileSignature*> types_;
    std::vector<Word> words_;
    std::vector<Compiled> compiled_;
    std::vector<std::uint32_t> alwaysTested_;  // compiled patterns without a usable anchor
    std::vector<Generic> generic_;
    std::vector<AnchorTable> anchors_;
};

}  // namespace tl
