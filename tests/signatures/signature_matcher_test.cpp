#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/settings_store.h"
#include "signatures/signature_database.h"
#include "signatures/signature_matcher.h"

namespace tl {
namespace {

constexpr const char* kRoot = "Software\\Tessa-Loft\\Documents\\1.0";

// The answer of the plain rules: every matching type, in list order.
std::vector<std::uint32_t> PlainAnswer(const std::vector<const FileSignature*>& types, const std::uint8_t* block,
                                       std::size_t length) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < types.size(); ++i)
        if (types[i]->Matches(block, length)) out.push_back(i);
    return out;
}

void ExpectSameAnswers(const std::vector<const FileSignature*>& types, const std::vector<std::vector<std::uint8_t>>& blocks) {
    const SignatureMatcher matcher(types);
    std::vector<std::uint32_t> got;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        for (std::size_t length : {std::size_t{512}, std::size_t{4096}, std::size_t{300}, std::size_t{3}, std::size_t{0}}) {
            if (length > blocks[b].size()) continue;
            got.clear();
            matcher.Match(blocks[b].data(), length, got);
            ASSERT_EQ(got, PlainAnswer(types, blocks[b].data(), length)) << "block " << b << " length " << length;
        }
    }
}

// Random types with every element kind, offsets in and out of the block,
// repeats, contradictions and empty patterns.
std::vector<FileSignature> RandomTypes(std::mt19937& rng, int count) {
    std::vector<FileSignature> types(static_cast<std::size_t>(count));
    const std::uint32_t kinds[] = {1, 2, 4, 8, 16, 32, 0x100, 0x1000, 0x2000, 0x10000, 0x20000};
    for (auto& t : types) {
        const int patterns = static_cast<int>(rng() % 3);
        for (int p = 0; p < patterns; ++p) {
            SignaturePattern pattern;
            const int elements = static_cast<int>(rng() % 4);
            for (int e = 0; e < elements; ++e) {
                const std::uint32_t kind = kinds[rng() % std::size(kinds)];
                std::uint8_t data[1024];
                // Small alphabet so that random blocks match now and then.
                for (auto& d : data) d = static_cast<std::uint8_t>(rng() % 3);
                for (std::size_t i = 512; i < 1024; ++i) data[i] = rng() % 4 == 0 ? 0xFF : 0;
                const std::int32_t offset = rng() % 10 == 0 ? -1 : rng() % 20 == 0 ? 600 : static_cast<std::int32_t>(rng() % 512);
                const auto length = static_cast<std::uint16_t>(rng() % 5 == 0 ? 0 : 1 + rng() % 6);
                pattern.Elements.push_back(PatternElement::Make(kind, data, offset, length, static_cast<std::uint16_t>(rng() % 3)));
            }
            t.Patterns.push_back(std::move(pattern));
        }
    }
    return types;
}

TEST(SignatureMatcher, AgreesWithThePlainRulesOnRandomTypesAndBlocks) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        auto owned = RandomTypes(rng, 30);
        std::vector<const FileSignature*> types;
        for (const auto& t : owned) types.push_back(&t);
        std::vector<std::vector<std::uint8_t>> blocks(50, std::vector<std::uint8_t>(4096));
        for (auto& b : blocks)
            for (auto& byte : b) byte = static_cast<std::uint8_t>(rng() % 3);
        ExpectSameAnswers(types, blocks);
    }
}

TEST(SignatureMatcher, AgreesWithThePlainRulesOnTheShippedSet) {
    platform::SettingsStore store;
    SignatureDatabase db(store, kRoot);
    ASSERT_GT(db.InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 40);
    db.Load();
    std::vector<const FileSignature*> types;
    for (const auto& s : db.Signatures()) types.push_back(s.get());

    std::mt19937 rng(777);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::uint8_t> b(4096);
        for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
        blocks.push_back(std::move(b));
    }
    // Blocks built from every pattern: the masked bytes of each pattern text
    // over random bytes, so every type is seen matching.
    for (const auto* t : types) {
        for (const auto& p : t->Patterns) {
            std::vector<std::uint8_t> b(4096);
            for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
            for (const auto& e : p.Elements) {
                if (e.Kind != kPatternMasked || e.Offset < 0) continue;
                for (std::size_t i = 0; i < std::min<std::size_t>(e.Length, 512); ++i)
                    if (e.Data[512 + i] && e.Offset + i < b.size()) b[e.Offset + i] = e.Data[i];
            }
            blocks.push_back(std::move(b));
        }
    }
    ExpectSameAnswers(types, blocks);
    // And each such block is matched by its own type.
    const SignatureMatcher matcher(types);
    std::size_t b = 2000;
    for (std::uint32_t t = 0; t < types.size(); ++t) {
        for (std::size_t p = 0; p < types[t]->Patterns.size(); ++p, ++b) {
            std::vector<std::uint32_t> got;
            matcher.Match(blocks[b].data(), 512, got);
            EXPECT_NE(std::find(got.begin(), got.end(), t), got.end()) << "type " << types[t]->Id;
        }
    }
}

}  // namespace
}  // namespace tl
