#include "session/kept_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "computer_fixture.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

// The analyses of a window run stage by stage, as the wizards run them: the
// file-system stage, then the sector stage, each started on its own.
class KeptAnalysisTest : public test::ComputerFixture {
protected:
    KeptAnalysisTest() {
        AnalysisBusy() = 0;
        card = test::FixturePath("small_planted_card.img");
    }
    ~KeptAnalysisTest() override { AnalysisBusy() = 0; }

    using Key = std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint16_t>;
    // What was found, ids aside: name, place, size and flags of each record.
    std::vector<Key> Found() const {
        std::vector<Key> keys;
        for (CFoundObject* o : source->FoundTree().AllRecords()) {
            const CFoundObject r = source->FoundTree().Snapshot(*o);
            if (!(r.Flags & FO_VOLUME)) keys.emplace_back(r.GetName(), r.DataOffset, r.Size, r.Flags);
        }
        std::sort(keys.begin(), keys.end());
        return keys;
    }
    // Runs `stages` to their end, or stops them once a third of the sectors is read.
    void Run(CKeptAnalysis& kept, AnalysisStages stages, const CKeptAnalysis::GoOnQuestion& goOn, bool cut = false) {
        const CKeptAnalysis::Started started = kept.Start(*source, stages, CKeptAnalysis::GoOnWith::AskedStages, goOn);
        ASSERT_TRUE(started.running) << started.refusal;
        EXPECT_TRUE(started.refusal.empty()) << started.refusal;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!kept.Session().Wait(1)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            if (cut && source->SectorScanRunning.load() && source->ProgressPos.load() > source->ProgressEnd.load() / 3)
                kept.Session().Stop();
        }
        kept.Tick();
        ASSERT_EQ(kept.Session().Stopped(), cut) << "the cut came before the stage's end";
    }
    std::vector<std::string> LogFrom(std::size_t first) {
        const auto all = computer.Log().Lines();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
    }
    static bool Has(const std::vector<std::string>& lines, const std::string& part) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }

    test::ScratchDir dir;
    platform::SettingsStore keptStore{dir / "settings.sqlite"};
    std::filesystem::path card;
    CVolume* source = nullptr;
};

TEST_F(KeptAnalysisTest, StagesRunOneByOneAreOneScanThatGoesOnStageByStage) {
    TL_REQUIRE_FIXTURE("make_small_planted_card.sh", card);
    ASSERT_GT(computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 0);
    computer.Signatures().Load();
    source = computer.LoadImage(card.string());
    ASSERT_NE(source, nullptr);
    int asked = 0;
    const auto yes = [&](CVolume&) { return ++asked, true; };

    // Uninterrupted: the sector stage goes on in the file of the file-system
    // stage, which then holds both as one run that ended.
    std::vector<Key> whole;
    std::string file;
    {
        CKeptAnalysis kept(computer, keptStore);
        Run(kept, AnalysisStages::FileSystem, yes);
        Run(kept, AnalysisStages::SectorStage, yes);
        whole = Found();
        file = kept.LastFile();
    }
    EXPECT_EQ(asked, 0);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file, CScanSession::DefaultPath(keptStore, source->DevicePath));
    // An image named from another folder (the command line's relative path) keeps the same file.
    const std::filesystem::path elsewhere = std::filesystem::relative(card, dir.path());
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(CScanSession::DefaultPath(keptStore, elsewhere.string()), file) << elsewhere;
    std::filesystem::current_path(before);
    EXPECT_FALSE(CScanSession::Unfinished(file));
    ASSERT_GT(std::count_if(whole.begin(), whole.end(), [](const Key& k) { return std::get<3>(k) & FO_BY_SIGNATURE; }), 10)
        << "the planted documents are found by their signatures";
    {
        CScanSession opened(computer);
        std::string error;
        ASSERT_TRUE(opened.Load(file, *source, false, error)) << error;
        EXPECT_EQ(opened.SavedStages(), AnalysisStages::FileSystemAndSectors);
        EXPECT_TRUE(opened.SavedRunEnded());
        EXPECT_EQ(Found(), whole) << "the file holds the finds of both stages";
    }

    // Cut short in its sector stage: the file-system stage of a later window
    // is loaded, not run again, and its sector stage goes on where the cut
    // left the scan. A scan that ended is not offered to go on.
    {
        CKeptAnalysis kept(computer, keptStore);
        Run(kept, AnalysisStages::FileSystem, yes);
        EXPECT_EQ(asked, 0);
        Run(kept, AnalysisStages::SectorStage, yes, true);
    }
    ASSERT_TRUE(CScanSession::Unfinished(file));
    CKeptAnalysis kept(computer, keptStore);
    std::size_t first = computer.Log().LineCount();
    Run(kept, AnalysisStages::FileSystem, yes);
    EXPECT_EQ(asked, 1);
    std::vector<std::string> lines = LogFrom(first);
    EXPECT_TRUE(Has(lines, "were loaded from the scan file")) << testing::PrintToString(lines);
    EXPECT_FALSE(Has(lines, "Beginning file system analysis.")) << testing::PrintToString(lines);
    kept.LastFile();  // its writes done and the file let go
    EXPECT_TRUE(CScanSession::Unfinished(file)) << "its sector stage is still to go on";
    first = computer.Log().LineCount();
    Run(kept, AnalysisStages::SectorStage, yes);
    lines = LogFrom(first);
    EXPECT_TRUE(Has(lines, "the sector scan goes on from sector")) << testing::PrintToString(lines);
    EXPECT_EQ(Found(), whole);
    EXPECT_FALSE(CScanSession::Unfinished(kept.LastFile()));

    // A sector stage run again in the same window starts over, and adds
    // nothing twice.
    first = computer.Log().LineCount();
    Run(kept, AnalysisStages::SectorStage, yes);
    EXPECT_FALSE(Has(LogFrom(first), "goes on from sector"));
    EXPECT_EQ(Found(), whole);
    EXPECT_EQ(asked, 1);

    // A sector stage alone in another window (after a switch of mode)
    // begins a file of its own, which keeps what the file-system stage
    // before it gave: its records, its outcome and the space in use.
    const std::optional<std::uint64_t> free = source->FreeSectorCount();
    ASSERT_TRUE(free.has_value());
    kept.LastFile();  // the window closes, and lets go of the file
    {
        CKeptAnalysis other(computer, keptStore);
        Run(other, AnalysisStages::SectorStage, yes);
        file = other.LastFile();
    }
    CScanSession opened(computer);
    std::string error;
    ASSERT_TRUE(opened.Load(file, *source, false, error)) << error;
    EXPECT_EQ(opened.SavedStages(), AnalysisStages::SectorStage);
    EXPECT_EQ(Found(), whole);
    EXPECT_EQ(source->FreeSectorCount(), free) << "the file system's outcome and its space in use";
}

}  // namespace
}  // namespace tl
