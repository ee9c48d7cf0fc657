// Runs a content rule over a file as the sector scan does, for the tests of
// the rules: the rule is shown the file's first bytes, then its scanner is
// fed the file followed by whatever lies after it, in pieces of a chosen
// size (whole blocks, odd pieces that split every record somewhere, single
// bytes).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fixture_support.h"
#include "signatures/content_rules.h"
#include "signatures/document_recognisers.h"
#include "test_support.h"

namespace tl::test {

using ByteVector = std::vector<std::uint8_t>;

inline ByteVector Bytes(const std::string& s) { return ByteVector(s.begin(), s.end()); }

inline ByteVector Join(ByteVector a, const ByteVector& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Pseudo-random bytes, as the filler between planted files.
inline ByteVector Noise(std::size_t n, unsigned seed = 5) {
    std::mt19937 rng(seed);
    ByteVector v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// A sample of tests/fixtures/make_samples.sh.
inline ByteVector Sample(const std::string& name) {
    ExpectFixture("make_samples.sh", FixturePath("samples"));
    return Bytes(ReadFileBytes(FixturePath("samples") / name));
}

// A real document of tests/fixtures/make_documents.sh (made by the office
// suite, the picture, sound and video tools, the archivers).
inline ByteVector Document(const std::string& name) {
    ExpectFixture("make_documents.sh", FixturePath("documents"));
    return Bytes(ReadFileBytes(FixturePath("documents") / name));
}

struct ScanOutcome {
    EndScanner::State state = EndScanner::State::Searching;
    std::optional<std::uint64_t> size;  // the size found, or stated by the header
    std::int16_t type = 0;              // the record's type after the rule
    bool contentSize = false;           // the record was marked FO_CONTENT_SIZE by the rule
};

// Runs the rule of `type` on `file` followed by `after`, fed in pieces of
// `piece` bytes; at most `limit` bytes are fed, as the scan stops following
// a file at its type's default size.
inline ScanOutcome ScanContent(std::int16_t type, ByteVector file, const ByteVector& after, std::size_t piece,
                               std::uint64_t limit = ~std::uint64_t{0}) {
    file.insert(file.end(), after.begin(), after.end());
    CFoundObject record;
    record.Init();
    record.TypeId = type;
    ScanOutcome out;
    ApplySizeRules(record, file);  // the fixed rules run first, as in the scan
    std::unique_ptr<EndScanner> scanner = ApplyContentRules(record, file);
    out.type = record.TypeId;
    out.contentSize = (record.Flags & FO_CONTENT_SIZE) != 0;
    if (!scanner) {
        if (record.Size != CFoundObject::kUnknownSize) out.size = record.Size;
        out.state = out.size ? EndScanner::State::Found : EndScanner::State::GaveUp;
        return out;
    }
    const std::size_t total = static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), limit));
    for (std::size_t at = 0; at < total && out.state == EndScanner::State::Searching; at += piece)
        out.state = scanner->Feed(std::span<const std::uint8_t>(file).subspan(at, std::min(piece, total - at)));
    out.size = scanner->Size();
    return out;
}

}  // namespace tl::test
