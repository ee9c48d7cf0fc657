#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "platform/settings_store.h"
#include "signatures/analyser.h"
#include "signatures/signature_database.h"
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

namespace tl {
namespace {

// Fails every read that touches sectors [20480, 40960): the second chunk.
class HoleDevice : public ISectorDevice {
public:
    explicit HoleDevice(std::vector<std::uint8_t> bytes) : inner_(std::move(bytes)) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>& p) override {
        const std::uint64_t first = offset / 512, last = (offset + buffer.size()) / 512;
        if (first < 40960 && last > 20480) return {DeviceReadResult::State::Failed, 0, 5};
        return inner_.Read(offset, buffer, p);
    }
    std::optional<std::uint64_t> Size() const override { return inner_.Size(); }

private:
    MemorySectorDevice inner_;
};

TEST_F(SectorScan, AnUnreadableChunkIsSkippedAndABlockOfManyTypesIsHandledOnce) {
    // Dozens of types that all match the same block.
    platform::SettingsStore store2;
    SignatureDatabase many(store2, "Software\\Tessa-Loft\\Documents\\1.0");
    for (std::uint32_t id = 2000; id < 2040; ++id) {
        FileSignature s;
        s.Id = id;
        s.Group = "Same";
        s.AddPatternText("0='MANY'");
        many.AddSignature(std::move(s));
    }
    many.RebuildGroups();
    std::vector<std::uint8_t> bytes(50000 * 512, 0);
    std::memcpy(bytes.data() + 100 * 512, "MANY", 4);
    std::memcpy(bytes.data() + 45000 * 512, "MANY", 4);
    CVolume v(VK_IMAGE, VolumeContext{&settings, &computer.Log(), nullptr, &many, {}});
    v.DevicePath = "/images/hole.img";
    v.SetDevice(std::make_shared<HoleDevice>(bytes));
    v.QueryInformation();
    v.AnalyseSectors();
    std::size_t lines = 0;
    for (const auto& l : computer.Log().Lines()) lines += l == "ERR: CAnalyser.Analyse_Cycle.ReadSectors: 0";
    EXPECT_EQ(lines, 1u) << "the unreadable chunk is logged once";
    std::vector<std::uint64_t> offsets;
    for (CFoundObject* o : v.FoundTree().AllRecords())
        if (o->Flags & FO_BY_SIGNATURE) offsets.push_back(o->DataOffset / 512);
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{100, 45000})) << "one record a block, the scan went on after the hole";
    EXPECT_EQ(v.FoundTree().FindByOffset(100 * 512)->TypeId, 2000) << "the first type in list order keeps the block";
}

}  // namespace
}  // namespace tl
