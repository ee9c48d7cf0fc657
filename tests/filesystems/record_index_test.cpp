#include "filesystems/record_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {
namespace {

// The index against the standard multimap it stands in for, over the ways
// keys arrive in a scan: ascending, descending, scattered with repeats, and
// taken away again. Equal keys keep their insertion order in both.
TEST(RecordIndex, OrdersAndFindsAsAMultimapDoes) {
    std::vector<CFoundObject> records(20000);
    std::multimap<std::uint64_t, CFoundObject*> reference;
    RecordIndex index;
    std::mt19937_64 random(7);
    std::size_t next = 0;
    const auto insert = [&](std::uint64_t key) {
        CFoundObject* r = &records[next++];
        reference.emplace(key, r);
        index.Insert(key, r);
    };
    for (std::uint64_t k = 0; k < 3000; ++k) insert(1'000'000 + k * 8);    // a scan's offsets
    for (std::uint64_t k = 3000; k > 0; --k) insert(~std::uint64_t{0} - k);  // synthetic ids, downwards
    for (int k = 0; k < 3000; ++k) insert(0);                               // records without an identifier
    while (next < records.size()) insert(random() % 5000 * 400);          // scattered, often equal

    // Some taken away, from every part of the order.
    for (int i = 0; i < 4000; ++i) {
        auto it = reference.begin();
        std::advance(it, static_cast<long>(random() % reference.size()));
        ASSERT_TRUE(index.Erase(it->first, it->second));
        reference.erase(it);
    }
    EXPECT_FALSE(index.Erase(123, &records[0])) << "no such entry";

    ASSERT_EQ(index.Size(), reference.size());
    std::vector<RecordIndex::Entry> walked;
    index.ForEach([&](const RecordIndex::Entry& e) { walked.push_back(e); });
    auto expected = reference.begin();
    for (const auto& e : walked) {
        ASSERT_EQ(e.key, expected->first);
        ASSERT_EQ(e.record, expected->second);
        ++expected;
    }
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t key = i % 2 ? random() % 5000 * 400 : random();
        const auto lower = reference.lower_bound(key);
        const auto upper = reference.upper_bound(key);
        const auto p = index.LowerBound(key);
        const auto q = index.UpperBound(key);
        ASSERT_EQ(p == index.End(), lower == reference.end());
        ASSERT_EQ(q == index.End(), upper == reference.end());
        if (lower != reference.end()) {
            ASSERT_EQ(index.At(p).record, lower->second);
        }
        if (upper != reference.end()) {
            ASSERT_EQ(index.At(q).record, upper->second);
        }
        // Walking back from the upper bound meets the equal keys last first.
        if (q != index.Begin() && upper != reference.begin()) {
            ASSERT_EQ(index.At(index.Prev(q)).record, std::prev(upper)->second);
        }
        ASSERT_EQ(index.FindFirst(key), lower != reference.end() && lower->first == key ? lower->second : nullptr);
    }

    // Rebuilt at once from a list of entries.
    index.Assign(std::move(walked));
    std::size_t n = 0;
    for (auto p = index.Begin(); p != index.End(); p = index.Next(p)) ++n;
    EXPECT_EQ(n, reference.size());
    index.Clear();
    EXPECT_TRUE(index.Empty());
    EXPECT_EQ(index.LowerBound(0), index.End());
}

}  // namespace
}  // namespace tl
