#include <gtest/gtest.h>

#include <random>

#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "signatures/analyser.h"
#include "storage/analysis_busy.h"
#include "computer_fixture.h"
#include "test_support.h"

namespace tl {
namespace {

class SectorScan : public test::ComputerFixture {
protected:
    SectorScan() {
        computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini");
        computer.Signatures().Load();
        AnalysisBusy() = 1;
    }
    ~SectorScan() override { AnalysisBusy() = 0; }
    // Random filler with real files planted at whole sectors.
    CVolume* Planted(std::size_t sectors, const std::vector<std::pair<std::string, std::uint64_t>>& files) {
        std::mt19937 rng(99);
        std::string bytes(sectors * 512, '\0');
        for (auto& c : bytes) c = static_cast<char>(rng());
        const auto samples = test::FixturePath("samples");
        for (const auto& [name, sector] : files) {
            const std::string content = test::ReadFileBytes(samples / name);
            bytes.replace(sector * 512, content.size(), content);
        }
        test::WriteFileBytes(dir / "planted.img", bytes);
        return computer.LoadImage((dir / "planted.img").string());
    }
    test::ScratchDir dir;
};

TEST_F(SectorScan, PlantedFilesAreFoundAtTheirOffsetsWithTheirTypes) {
    ASSERT_TRUE(test::MakeFixture("make_samples.sh", test::FixturePath("samples")));
    // Back to back (the PNG starts where the PDF's sector ends) and apart.
    CVolume* v = Planted(8192, {{"sample.pdf", 100}, {"sample.png", 101}, {"sample.bmp", 2000},
                                {"sample.doc", 3000}, {"sample.xls", 4000}, {"sample.zip", 6000}});
    ASSERT_NE(v, nullptr);
    v->AnalyseSectors();
    std::map<std::uint64_t, std::int16_t> found;
    for (CFoundObject* o : v->FoundTree().AllRecords())
        if (o->Flags & FO_BY_SIGNATURE) found[o->DataOffset / 512] = o->TypeId;
    EXPECT_EQ(found[100], 1001) << "PDF";
    EXPECT_EQ(found[101], 1302) << "PNG";
    EXPECT_EQ(found[2000], 503) << "BMP";
    EXPECT_EQ(found[3000], 109) << "Word document by its streams";
    EXPECT_EQ(found[4000], 101) << "Excel workbook by its streams";
    EXPECT_EQ(found[6000], 1112) << "ZIP";
    const CFoundObject* bmp = v->FoundTree().FindByOffset(2000 * 512);
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(bmp->Size, std::filesystem::file_size(test::FixturePath("samples") / "sample.bmp"));
    const CFoundObject* pdf = v->FoundTree().FindByOffset(100 * 512);
    EXPECT_EQ(pdf->Size, 512u) << "a file never runs past the next one";
    EXPECT_GE(v->ScanFiles.load(), 6u);
}

TEST_F(SectorScan, ChunksFailuresAndEmptyVolumes) {
    CVolume* v = Planted(50000, {});
    CAnalyser analyser(*v);
    analyser.Analyse();
    EXPECT_EQ(analyser.ChunksRead, (std::vector<std::uint64_t>{20480, 20480, 9040}));

    // A volume of 0 sectors is not scanned; one of a single sector is.
    test::WriteFileBytes(dir / "empty.img", "");
    CVolume* empty = computer.LoadImage((dir / "empty.img").string());
    empty->AnalyseSectors();
    EXPECT_TRUE(LogHas("ERR: Volume size: 0"));
    test::WriteFileBytes(dir / "one.img", std::string(512, 'x'));
    CVolume* one = computer.LoadImage((dir / "one.img").string());
    CAnalyser single(*one);
    single.Analyse();
    EXPECT_EQ(single.ChunksRead, std::vector<std::uint64_t>{1});

    // A stop ends the scan; what was found before stays.
    AnalysisBusy() = 0;
    CAnalyser stopped(*v);
    stopped.Analyse();
    EXPECT_TRUE(stopped.ChunksRead.empty());
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST(FreeSpace, RangesLeftFreeByTheUsedOnes) {
    const auto free = CAnalyser::FreeRanges({{10, 5}, {0, 2}, {12, 10}, {40, 100}}, 100);
    ASSERT_EQ(free.size(), 2u);
    EXPECT_EQ(free[0].FirstSector, 2u);
    EXPECT_EQ(free[0].SectorCount, 8u);
    EXPECT_EQ(free[1].FirstSector, 22u);
    EXPECT_EQ(free[1].SectorCount, 18u);
    EXPECT_TRUE(CAnalyser::FreeRanges({{0, 500}}, 100).empty());
    const auto all = CAnalyser::FreeRanges({}, 7);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].SectorCount, 7u);
}

}  // namespace
}  // namespace tl
