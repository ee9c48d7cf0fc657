#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "app/finder.h"
#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "platform/time.h"
#include "storage/analysis_busy.h"

namespace tl {
namespace {

constexpr platform::FileTime kDay = 24ull * 3600 * platform::kFileTimeTicksPerSecond;

platform::FileTime Utc(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return platform::FromUnix(timegm(&tm));
}

CFoundObject Record(const char* name, std::uint16_t flags, std::uint64_t size = 100) {
    CFoundObject o;
    o.Id = 77;
    o.ParentId = 5;
    o.Flags = flags;
    o.Size = size;
    o.SetName(name);
    return o;
}

// ------------------------------------------------------------ the criteria

TEST(FindCriteria, PatternFieldTakesEmptyAsStarAndHolds2048Units) {
    FindCriteria c;
    c.SetPattern("");
    EXPECT_EQ(c.Pattern, "*");
    c.SetPattern("*.doc");
    EXPECT_EQ(c.Pattern, "*.doc");
    c.SetPattern(std::string(3000, 'a'));
    EXPECT_EQ(c.Pattern, std::string(2048, 'a'));
    // A character outside the BMP that would be cut in half is left out whole.
    c.SetPattern(std::string(2047, 'b') + "\xF0\x9F\x93\x84");
    EXPECT_EQ(c.Pattern, std::string(2047, 'b'));
    c.SetPattern("\xC3\xA9");  // two bytes, one unit
    EXPECT_EQ(c.Pattern, "\xC3\xA9");
}

TEST(FindCriteria, SizeModesSetTheirBoundsAndSearchFilesOnly) {
    FindCriteria c;
    EXPECT_EQ(c.FilesOnly, 1);  // both switches start checked
    EXPECT_EQ(c.DeletedOnly, 1);
    c.FilesOnly = 0;
    c.SetSize(FindCriteria::kAnySize);
    EXPECT_EQ(c.SizeBytes, 0u);
    EXPECT_EQ(c.FilesOnly, 0);  // no size test leaves the switch as it was
    c.SetSize(FindCriteria::kSmall);
    EXPECT_EQ(c.SizeBytes, 102400u);
    EXPECT_EQ(c.SizeCompare, FindCriteria::kLess);
    EXPECT_EQ(c.FilesOnly, 1);
    c.SetSize(FindCriteria::kMedium);
    EXPECT_EQ(c.SizeBytes, 1048576u);
    EXPECT_EQ(c.SizeCompare, FindCriteria::kLess);
    c.SetSize(FindCriteria::kLarge);
    EXPECT_EQ(c.SizeBytes, 1048576u);
    EXPECT_EQ(c.SizeCompare, FindCriteria::kGreater);
    c.SetSize(FindCriteria::kSpecifiedSize, 10, FindCriteria::kUnitKB, FindCriteria::kLess);
    EXPECT_EQ(c.SizeBytes, 10240u);
    EXPECT_EQ(c.SizeNumber, 10);
    // Computed in 64 bits: 2^31 - 1 gigabytes does not wrap.
    c.SetSize(FindCriteria::kSpecifiedSize, 2147483647, FindCriteria::kUnitGB, FindCriteria::kGreater);
    EXPECT_EQ(c.SizeBytes, 2147483647ull * 1073741824ull);
    c.SetSize(FindCriteria::kSpecifiedSize, -5, FindCriteria::kUnitMB);
    EXPECT_EQ(c.SizeBytes, 0u);
    c.SetSize(9);
    EXPECT_EQ(c.SizeMode, FindCriteria::kAnySize);
}

TEST(FindCriteria, DateModesReachBackFromNow) {
    FindCriteria c;
    const platform::FileTime now = Utc(2024, 3, 16);
    c.SetDates(FindCriteria::kPastWeek, now);
    EXPECT_EQ(c.DateTo, now);
    EXPECT_EQ(c.DateFrom, now - 6048000000000ull);
    c.SetDates(FindCriteria::kPast28Days, now);
    EXPECT_EQ(c.DateFrom, now - 24192000000000ull);
    c.SetDates(FindCriteria::kPastYear, now);
    EXPECT_EQ(c.DateFrom, now - 315360000000000ull);
    c.SetDates(FindCriteria::kDateRange, now, 5, 6);
    EXPECT_EQ(c.DateFrom, 5u);
    EXPECT_EQ(c.DateTo, 6u);
    c.SetDates(FindCriteria::kPastYear, 1000);  // no time before 1601
    EXPECT_EQ(c.DateFrom, 0u);
    c.SetDates(-1, now);
    EXPECT_EQ(c.DateMode, FindCriteria::kAnyDate);
}

// ------------------------------------------------------------ one object

TEST(FindMatches, SwitchesPatternDatesAndSizes) {
    FindCriteria c;
    const CFoundObject live = Record("report.doc", 0);
    const CFoundObject gone = Record("report.doc", FO_DELETED);
    const CFoundObject folder = Record("Reports", FO_FOLDER | FO_HAS_DELETED, 0);
    EXPECT_FALSE(FindMatches(c, live, nullptr));
    EXPECT_TRUE(FindMatches(c, gone, nullptr));
    EXPECT_FALSE(FindMatches(c, folder, nullptr));  // holds deleted files, is not deleted itself
    c.DeletedOnly = 0;
    EXPECT_TRUE(FindMatches(c, live, nullptr));
    EXPECT_FALSE(FindMatches(c, folder, nullptr));
    c.FilesOnly = 0;
    EXPECT_TRUE(FindMatches(c, folder, nullptr));

    c.SetPattern("*.DOC");  // the search ignores case; the view filter does not
    EXPECT_TRUE(FindMatches(c, live, nullptr));
    c.SetPattern("*.pdf");
    EXPECT_FALSE(FindMatches(c, live, nullptr));
    c.Pattern.clear();  // set directly: still "*"
    EXPECT_TRUE(FindMatches(c, live, nullptr));
}

TEST(FindMatches, SpecifiedSizeUnderTenKilobytes) {
    FindCriteria c;
    c.DeletedOnly = 0;
    c.SetSize(FindCriteria::kSpecifiedSize, 10, FindCriteria::kUnitKB, FindCriteria::kLess);
    EXPECT_TRUE(FindMatches(c, Record("a", 0, 10239), nullptr));
    EXPECT_FALSE(FindMatches(c, Record("a", 0, 10240), nullptr));
    EXPECT_TRUE(FindMatches(c, Record("a", 0, CFoundObject::kUnknownSize), nullptr));  // unknown passes
    c.SetSize(FindCriteria::kSpecifiedSize, 10, FindCriteria::kUnitKB, FindCriteria::kEqual);
    EXPECT_TRUE(FindMatches(c, Record("a", 0, 10240), nullptr));
    EXPECT_FALSE(FindMatches(c, Record("a", 0, 10241), nullptr));
    EXPECT_TRUE(FindMatches(c, Record("a", 0, CFoundObject::kUnknownSize), nullptr));
    c.SetSize(FindCriteria::kLarge);
    EXPECT_FALSE(FindMatches(c, Record("a", 0, 1048576), nullptr));
    EXPECT_TRUE(FindMatches(c, Record("a", 0, 1048577), nullptr));
    EXPECT_TRUE(FindMatches(c, Record("a", 0, CFoundObject::kUnknownSize), nullptr));
    // A folder is not sized: with the switch turned off again it passes.
    c.FilesOnly = 0;
    EXPECT_TRUE(FindMatches(c, Record("dir", FO_FOLDER, 5000000), nullptr));
}

TEST(FindMatches, PastWeekIsTheLastSevenTimesTwentyFourHours) {
    FindCriteria c;
    c.DeletedOnly = 0;
    const platform::FileTime now = Utc(2024, 3, 16);
    c.SetDates(FindCriteria::kPastWeek, now);
    CFoundObject o = Record("a", 0);
    for (const auto& [created, matches] : std::vector<std::pair<platform::FileTime, bool>>{
             {now, true}, {now - 7 * kDay, true}, {now - 7 * kDay - 1, false}, {now + 1, false}, {0, false}}) {
        o.CreationTime = created;
        EXPECT_EQ(FindMatches(c, o, nullptr), matches) << created;
    }
}

// ------------------------------------------------------------ a real volume

class FinderOnFat : public test::ComputerFixture {
protected:
    void SetUp() override {
        AnalysisBusy() = 0;
        const auto dir = test::FixturePath("fat");
        TL_REQUIRE_FIXTURE("make_fat_images.sh", dir);
        volume = computer.LoadImage((dir / "fat16.img").string());
        ASSERT_NE(volume, nullptr);
        computer.AnalyseVolume(*volume);
        ASSERT_TRUE(volume->WaitForWorker(60000));
        AnalysisBusy() = 0;
    }

    std::multiset<std::string> Search() {
        EXPECT_TRUE(finder.Start(volume->FoundTree()));
        EXPECT_TRUE(finder.Wait(60000));
        std::multiset<std::string> names;
        for (CFoundObject* o : finder.Results()) names.insert(volume->FoundTree().Snapshot(*o).Name);
        return names;
    }

    // The message boxes asked since the analysis ended.
    std::vector<platform::AppMessage> Boxes() const {
        std::vector<platform::AppMessage> out;
        for (const auto& m : sink->sent)
            if (m.id == platform::kMessageBox) out.push_back(m);
        return out;
    }

    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>(platform::kIdOk);
    test::SinkGuard guard{sink};
    CVolume* volume = nullptr;
    CFinder finder{&computer.Log(), &texts};
};

TEST_F(FinderOnFat, DeletedDocumentsByExtension) {
    finder.Criteria().SetPattern("*.TXT");
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Draft Report.txt", "Old Notes.txt", "Plan.txt", "Letter.txt"}));
}

TEST_F(FinderOnFat, NamesRegardlessOfCaseWithFoldersOnRequest) {
    FindCriteria& c = finder.Criteria();
    c.DeletedOnly = 0;
    c.SetPattern("*REPORT*");
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Quarterly Report Q1.txt", "Draft Report.txt"}));
    c.FilesOnly = 0;
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Quarterly Report Q1.txt", "Draft Report.txt", "Reports"}));
    c.SetPattern("r\xC3\xA9sum\xC3\xA9.DOC");
    EXPECT_EQ(Search(), (std::multiset<std::string>{"R\xC3\xA9sum\xC3\xA9.doc"}));
    c.SetPattern("BERICHT \xC3\x9C" "BERSICHT.TXT");
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Bericht \xC3\x9C" "bersicht.txt"}));
    EXPECT_TRUE(Boxes().empty());  // something was found each time
}

TEST_F(FinderOnFat, SizesIncludingAnEmptyFileWithoutCluster) {
    FindCriteria& c = finder.Criteria();
    c.DeletedOnly = 0;
    c.SetSize(FindCriteria::kSpecifiedSize, 100, FindCriteria::kUnitB, FindCriteria::kLess);
    // "Empty File.txt" owns no cluster and has an identifier below zero: it
    // is still found.
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Q2.TXT", "Empty File.txt"}));
    c.SetSize(FindCriteria::kSpecifiedSize, 12, FindCriteria::kUnitKB, FindCriteria::kEqual);
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Fragmented File.bin"}));
    c.SetSize(FindCriteria::kSpecifiedSize, 12, FindCriteria::kUnitKB, FindCriteria::kGreater);
    EXPECT_EQ(Search(), (std::multiset<std::string>{"Multi Cluster.bin"}));
}

TEST_F(FinderOnFat, CreationDates) {
    // The files were created on 2024-03-01, the folders on 2024-03-15.
    FindCriteria& c = finder.Criteria();
    c.DeletedOnly = 0;
    c.FilesOnly = 0;
    c.SetDates(FindCriteria::kPastWeek, Utc(2024, 3, 16));
    const std::multiset<std::string> folders{"Docs", "Reports", "2024", "Frag", "Old Projects", "Archive"};
    EXPECT_EQ(Search(), folders);
    c.SetDates(FindCriteria::kPast28Days, Utc(2024, 3, 16));
    EXPECT_EQ(Search().size(), folders.size() + 17);
}

TEST_F(FinderOnFat, NothingFoundIsSaid) {
    finder.Criteria().SetPattern("no such file*");
    EXPECT_TRUE(Search().empty());
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].target, 0u);  // the top-level window's
    EXPECT_EQ(boxes[0].text, "No files found");
    EXPECT_EQ(boxes[0].caption, "Search");
    EXPECT_EQ(boxes[0].wparam & 0x0F, platform::kMbOk);
    EXPECT_FALSE(finder.Stopped());
    // A caller that reports on its own is not interrupted by the box.
    ASSERT_TRUE(finder.Start(volume->FoundTree(), false));
    ASSERT_TRUE(finder.Wait(60000));
    EXPECT_EQ(Boxes().size(), 1u);
}

// ------------------------------------------------------------ the worker

class FinderWorker : public ::testing::Test {
protected:
    static constexpr std::uint64_t kFiles = 100000;

    FinderWorker() {
        tree.AddToIndexes(*tree.Root());
        for (std::uint64_t i = 0; i < kFiles; ++i) {
            CFoundObject o;
            o.Id = 1000 + i;
            o.ParentId = 0;
            o.Flags = FO_DELETED;
            o.Size = i;
            o.SetName("document " + std::to_string(i) + ".txt");
            tree.AddObject(o);
        }
    }
    // Waits until the search has matched something (or ended).
    void WaitForFirstMatch() {
        while (finder.ResultCount() == 0 && finder.Running()) std::this_thread::yield();
    }

    CFoundTree tree{nullptr, nullptr, nullptr};  // built before the sink: its notifications are dropped
    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>(platform::kIdOk);
    test::SinkGuard guard{sink};
    CFinder finder{nullptr, nullptr};
};

TEST_F(FinderWorker, StopEndsTheSearchAndTheNextOneCoversEverything) {
    ASSERT_TRUE(finder.Start(tree));
    EXPECT_FALSE(finder.Start(tree));  // one search at a time
    WaitForFirstMatch();
    finder.Stop();
    ASSERT_TRUE(finder.Wait(60000));
    EXPECT_FALSE(finder.Running());
    EXPECT_TRUE(finder.Stopped());
    EXPECT_GT(finder.ResultCount(), 0u);
    EXPECT_LT(finder.ResultCount(), kFiles);
    EXPECT_TRUE(sink->sent.empty());  // a stopped search says nothing

    ASSERT_TRUE(finder.Start(tree));
    ASSERT_TRUE(finder.Wait(60000));
    EXPECT_FALSE(finder.Stopped());
    const auto results = finder.Results();
    ASSERT_EQ(results.size(), kFiles);
    EXPECT_EQ(results.front()->Name, "document 0.txt");  // in identifier order
    EXPECT_EQ(results.back()->Name, "document 99999.txt");
}

TEST_F(FinderWorker, StopBeforeTheFirstRecordFindsNothingAndSaysNothing) {
    // The tree is held while the search starts: it cannot read a record
    // before the flag is set.
    tree.WithLock([&] {
        ASSERT_TRUE(finder.Start(tree));
        finder.Stop();
    });
    ASSERT_TRUE(finder.Wait(60000));
    EXPECT_TRUE(finder.Stopped());
    EXPECT_EQ(finder.ResultCount(), 0u);
    EXPECT_TRUE(sink->sent.empty());
}

TEST_F(FinderWorker, ClearingTheTreeEndsTheSearchWithoutItsRecords) {
    ASSERT_TRUE(finder.Start(tree));
    WaitForFirstMatch();
    tree.Clear();  // the volume analysed again: every record is released
    ASSERT_TRUE(finder.Wait(60000));
    // On a fast worker the search may have ended before the tree was
    // cleared; otherwise it ends without a single record of the old tree.
    if (finder.Stopped()) {
        EXPECT_EQ(finder.ResultCount(), 0u);
        EXPECT_TRUE(finder.Results().empty());
        EXPECT_TRUE(sink->sent.empty());
    } else {
        EXPECT_EQ(finder.ResultCount(), kFiles);
    }
}

}  // namespace
}  // namespace tl
