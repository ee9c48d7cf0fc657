#include <gtest/gtest.h>

#include <algorithm>
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

// The head of an MFT record of `recordBytes` as NTFS writes it: the update
// sequence array at 0x30 with one entry per 512-byte stride plus one.
std::vector<std::uint8_t> MftRecordHead(std::uint32_t recordBytes, std::uint16_t usaOffset = 0x30) {
    std::vector<std::uint8_t> b(512, 0);
    std::memcpy(b.data(), "FILE", 4);
    b[4] = static_cast<std::uint8_t>(usaOffset);
    const std::uint16_t usaCount = static_cast<std::uint16_t>(recordBytes / 512 + 1);
    b[6] = static_cast<std::uint8_t>(usaCount);
    b[8] = 0x5A;                                  // $LogFile sequence number
    b[16] = 1;                                    // sequence number
    b[18] = 1;                                    // link count
    b[20] = 0x38;                                 // first attribute
    b[22] = 1;                                    // in use
    b[24] = 0x98;                                 // bytes in use (0x198)
    b[25] = 0x01;
    b[28] = static_cast<std::uint8_t>(recordBytes);
    b[29] = static_cast<std::uint8_t>(recordBytes >> 8);  // bytes allocated
    b[0x38] = 0x10;                               // $STANDARD_INFORMATION
    return b;
}

TEST(SignatureMatcher, ShippedSetKnowsMftRecordsOfEverySize) {
    platform::SettingsStore store;
    SignatureDatabase db(store, kRoot);
    ASSERT_GT(db.InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 40);
    db.Load();
    std::vector<const FileSignature*> types;
    for (const auto& s : db.Signatures()) types.push_back(s.get());
    const auto record = std::find_if(types.begin(), types.end(), [](const FileSignature* t) { return t->Id == 24; });
    ASSERT_NE(record, types.end());
    const auto index = static_cast<std::uint32_t>(record - types.begin());
    const SignatureMatcher matcher(types);
    const auto matched = [&](const std::vector<std::uint8_t>& b) {
        std::vector<std::uint32_t> got;
        matcher.Match(b.data(), b.size(), got);
        const bool byMatcher = std::find(got.begin(), got.end(), index) != got.end();
        EXPECT_EQ(byMatcher, types[index]->Matches(b.data(), b.size()));
        return byMatcher;
    };
    // 1024-byte records on 512-byte sectors, 4096 on 4K-sector disks, 2048
    // on 2K-sector media; and the older 0x2A array offset of 1024 records.
    for (std::uint32_t size : {1024u, 2048u, 4096u}) EXPECT_TRUE(matched(MftRecordHead(size))) << size;
    EXPECT_TRUE(matched(MftRecordHead(1024, 0x2A)));
    // An update sequence count no record size gives, a text that only starts
    // like "FILE", or an array where no record keeps it: not a record.
    EXPECT_FALSE(matched(MftRecordHead(1536)));
    EXPECT_FALSE(matched(MftRecordHead(8192)));
    EXPECT_FALSE(matched(MftRecordHead(4096, 0x31)));
    auto text = MftRecordHead(1024);
    text[4] = 'N';  // "FILEN..."

    EXPECT_FALSE(matched(text));
}

}  // namespace
}  // namespace tl
