#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "platform/settings_store.h"
#include "signatures/analyser.h"
#include "signatures/signature_database.h"
#include "storage/little_endian.h"
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
    // `files` at sectors, `atBytes` at byte offsets.
    CVolume* Planted(std::size_t sectors, const std::vector<std::pair<std::string, std::uint64_t>>& files,
                     const std::vector<std::pair<std::string, std::uint64_t>>& atBytes = {}) {
        std::mt19937 rng(99);
        std::string bytes(sectors * 512, '\0');
        for (auto& c : bytes) c = static_cast<char>(rng());
        const auto samples = test::FixturePath("samples");
        for (const auto& [name, sector] : files) {
            const std::string content = test::ReadFileBytes(samples / name);
            bytes.replace(sector * 512, content.size(), content);
        }
        for (const auto& [name, offset] : atBytes) {
            const std::string content = test::ReadFileBytes(samples / name);
            bytes.replace(offset, content.size(), content);
        }
        lastImage = dir / ("planted" + std::to_string(++images) + ".img");
        test::WriteFileBytes(lastImage, bytes);
        return computer.LoadImage(lastImage.string());
    }
    std::filesystem::path lastImage;
    int images = 0;
    test::ScratchDir dir;
};

TEST_F(SectorScan, PlantedFilesAreFoundAtTheirOffsetsWithTheirTypesAndSizes) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    struct Plant {
        const char* sample;
        std::uint64_t sector;
        std::int16_t type;
        bool sizeFromContent;
    };
    // Back to back (the PNG starts in the sector after the PDF's last) and apart.
    const Plant files[] = {
        {"sample.pdf", 100, 1001, true},           {"sample.png", 102, 1302, true},
        {"sample.jpg", 103, 1301, true},           {"sample.gif", 110, 1303, false},
        {"sample.bmp", 2000, 503, true},           {"sample.doc", 3000, 109, false},
        {"sample.xls", 4000, 101, false},          {"sample.ppt", 4100, 105, false},
        {"sample.zip", 6000, 1112, true},          {"sample.docx", 6100, 1107, true},
        {"sample.xlsx", 6200, 1108, true},         {"sample.pptx", 6300, 1109, true},
        {"sample_rels_first.docx", 6400, 1107, true}, {"sample.odt", 6500, 1101, true},
        {"sample.rtf", 6600, 1002, false},         {"sample.wav", 6700, 1402, true},
        {"sample_big.jpg", 7000, 1301, true},      {"sample.iso", 10000, 504, true},
    };
    std::vector<std::pair<std::string, std::uint64_t>> layout;
    for (const auto& f : files) layout.emplace_back(f.sample, f.sector);
    // A file that does not start at a sector boundary is not found, by design.
    CVolume* v = Planted(12288, layout, {{"sample.png", 9000 * 512 + 100}});
    ASSERT_NE(v, nullptr);
    v->AnalyseSectors();
    for (const auto& f : files) {
        const std::string content = test::ReadFileBytes(test::FixturePath("samples") / f.sample);
        const CFoundObject* o = v->FoundTree().FindByOffset(f.sector * 512);
        ASSERT_NE(o, nullptr) << f.sample;
        EXPECT_TRUE(o->Flags & FO_BY_SIGNATURE) << f.sample;
        EXPECT_EQ(o->TypeId, f.type) << f.sample;
        if (f.sizeFromContent) {
            EXPECT_EQ(o->Size, content.size()) << f.sample;
        }
        // What recovery will read from there begins with the original.
        std::vector<std::uint8_t> back(std::min<std::size_t>(content.size(), 4096) / 512 * 512 + 512);
        ASSERT_GT(v->ReadSectors(back.data(), o->DataOffset / 512, std::uint64_t{back.size() / 512}), 0u);
        EXPECT_EQ(0, std::memcmp(back.data(), content.data(), std::min(back.size(), content.size()))) << f.sample;
    }
    EXPECT_EQ(v->FoundTree().FindByOffset(9000 * 512), nullptr);
    EXPECT_GE(v->ScanFiles.load(), std::size(files));
}

TEST_F(SectorScan, AFileWhoseEndLiesInTheNextChunkIsSizedFromIt) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    const auto big = std::filesystem::file_size(test::FixturePath("samples") / "sample_big.jpg");
    // Starts 8 sectors before the end of the first chunk; the rest follows in the second.
    CVolume* v = Planted(30000, {{"sample_big.jpg", CAnalyser::kChunkSectors - 8}});
    v->AnalyseSectors();
    const CFoundObject* o = v->FoundTree().FindByOffset((CAnalyser::kChunkSectors - 8) * 512);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->Size, big);

    // Where the bytes are not contiguous (only what the file system leaves
    // free is scanned), the file is not followed across the gap.
    CVolume* w = Planted(30000, {{"sample_big.jpg", 1000}});
    CAnalyser partial(*w);
    partial.Ranges = {{0, 1008}, {1100, 20000}};
    w->FoundTree().BuildOffsetIndex();
    partial.Analyse();
    const CFoundObject* cut = w->FoundTree().FindByOffset(1000 * 512);
    ASSERT_NE(cut, nullptr);
    const CFoundObject* next = w->FoundTree().FindAfterOffset(1000 * 512);
    EXPECT_EQ(cut->Size, next ? next->DataOffset - 1000 * 512 : CFoundObject::kUnknownSize) << "no size from the content";
}

TEST_F(SectorScan, DocumentsOfAFatVolumeWhoseTablesWereWipedAreStillFound) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    const auto samples = test::FixturePath("samples");
    const auto image = dir / "wiped.img";
    const std::string q = test::ShellQuote(image.string());
    std::string cmd = "PATH=$PATH:/usr/sbin:/sbin mkfs.fat -F 16 -s 4 -C " + q + " 16384 >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " + q;
    const char* names[] = {"sample.pdf", "sample.doc", "sample_big.jpg", "sample.docx", "sample.png"};
    for (const char* n : names) cmd += " " + test::ShellQuote((samples / n).string());
    cmd += " ::/ && MTOOLS_SKIP_CHECK=1 mdel -i " + q + " ::/*";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    // The file allocation tables and the root folder are zeroed: nothing of
    // the file system is left to say where the files were.
    std::string bytes = test::ReadFileBytes(image);
    const auto* boot = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t reserved = GetU16(boot + 14), fats = boot[16], rootEntries = GetU16(boot + 17), fatSectors = GetU16(boot + 22);
    const std::size_t dataStart = (reserved + fats * fatSectors) * 512 + rootEntries * 32;
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(reserved * 512), bytes.begin() + static_cast<std::ptrdiff_t>(dataStart), '\0');
    test::WriteFileBytes(image, bytes);
    CVolume* v = computer.LoadImage(image.string());
    ASSERT_NE(v, nullptr);
    v->AnalyseSectors();
    for (const char* n : names) {
        const std::string content = test::ReadFileBytes(samples / n);
        const std::size_t at = bytes.find(content.substr(0, 512), dataStart);
        ASSERT_NE(at, std::string::npos) << n;
        const CFoundObject* o = v->FoundTree().FindByOffset(at);
        ASSERT_NE(o, nullptr) << n << " at " << at;
        EXPECT_TRUE(o->Flags & FO_BY_SIGNATURE) << n;
    }
}

TEST_F(SectorScan, VolumesOfADiskWhoseTableWasZeroedAreFoundAndAnalysable) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    const auto fixture = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", fixture);
    const auto image = dir / "lost.img";
    std::filesystem::copy_file(fixture, image);
    // A document in the FAT16 volume at 3 MiB, then the partition table is gone.
    const std::string pdf = (test::FixturePath("samples") / "sample.pdf").string();
    const std::string cmd = "MTOOLS_SKIP_CHECK=1 mcopy -i " + test::ShellQuote(image.string() + "@@3145728") + " " +
                            test::ShellQuote(pdf) + " ::/REPORT.PDF";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string bytes = test::ReadFileBytes(image);
    std::fill(bytes.begin(), bytes.begin() + 512, '\0');
    test::WriteFileBytes(image, bytes);

    CVolume* disk = computer.LoadImage(image.string());
    ASSERT_NE(disk, nullptr);
    disk->Analyse_Boot();
    disk->StartSectorAnalysis(1);
    ASSERT_TRUE(disk->WaitForWorker(60000));
    CVolume* found = nullptr;
    for (CVolume* v : computer.Volumes().Snapshot())
        if (v->Kind == VK_FOUND && v->Parent == disk && v->VolumeOffset == 3145728) found = v;
    ASSERT_NE(found, nullptr) << "the FAT16 volume at 3 MiB";
    EXPECT_EQ(found->FileSystem().TypeCode, 4u);
    AnalysisBusy() = 1;
    found->AnalyseFileSystem();
    bool listed = false;
    for (CFoundObject* o : found->FoundTree().AllRecords())
        listed |= o->GetName() == "REPORT.PDF" && o->Size == std::filesystem::file_size(pdf);
    EXPECT_TRUE(listed) << "the found volume's file system is read";
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

namespace tl {
namespace {

// Stops the analysis after `stopAfter` notifications of stored files.
class StoppingSink : public platform::NotificationSink {
public:
    explicit StoppingSink(std::size_t stopAfter) : stopAfter_(stopAfter) {}
    void Post(platform::AppMessage m) override {
        if (m.id == msg::kFoundTreeChanged &&
            (CFoundTree::DecodeChange(m.wparam, m.lparam).codes & msg::kTreeCodeSignatureFileAdded) &&
            ++stored_ >= stopAfter_)
            AnalysisBusy() = 0;
    }
    std::int64_t Send(const platform::AppMessage&) override { return 0; }

private:
    std::size_t stopAfter_;
    std::atomic<std::size_t> stored_{0};
};

class ScanOfOneType : public SectorScan {
protected:
    // A database of one type that every block beginning with "MANY" matches.
    ScanOfOneType() : one(store, "Software\\Tessa-Loft\\Documents\\1.0") { AddType(3000, "0='MANY'"); }
    void AddType(std::uint32_t id, const char* pattern) {
        FileSignature s;
        s.Id = id;
        s.Group = "Same";
        s.AddPatternText(pattern);
        one.AddSignature(std::move(s));
        one.RebuildGroups();
    }
    // Shared, as the volume list holds its volumes: a parser left to finish
    // on its own holds the volume too.
    CVolume& Volume(std::vector<std::uint8_t> bytes, std::function<void(const CFoundObject&)> addFoundVolume = {}) {
        auto v = std::make_shared<CVolume>(VK_IMAGE,
                                           VolumeContext{&settings, &computer.Log(), nullptr, &one, std::move(addFoundVolume)});
        v->DevicePath = "/images/many.img";
        v->SetDevice(std::make_shared<MemorySectorDevice>(std::move(bytes)));
        v->QueryInformation();
        v->FoundTree().BuildOffsetIndex();
        volumes.push_back(std::move(v));
        return *volumes.back();
    }
    platform::SettingsStore store;
    SignatureDatabase one;
    std::vector<std::shared_ptr<CVolume>> volumes;
};

TEST_F(ScanOfOneType, AStopInTheMiddleOfAChunkKeepsWhatWasFound) {
    std::vector<std::uint8_t> bytes(30000 * 512, 0);
    for (std::size_t i = 0; i < 30000; ++i) std::memcpy(bytes.data() + i * 512, "MANY", 4);
    CVolume& v = Volume(std::move(bytes));
    v.FoundTree().SetChangePeriodMs(0);  // every find told at once
    test::SinkGuard guard(std::make_shared<StoppingSink>(10));
    CAnalyser analyser(v);
    analyser.Analyse();
    const std::uint32_t found = v.FoundTree().SignatureFileCount();
    EXPECT_GE(found, 10u);
    EXPECT_LT(found, 20480u) << "the parser stopped inside the first chunk";
    EXPECT_EQ(analyser.ChunksRead.size(), 1u) << "no chunk was handed over after the stop";
    for (std::uint64_t i = 0; i < found; ++i) EXPECT_NE(v.FoundTree().FindByOffset(i * 512), nullptr) << i;
}

TEST_F(ScanOfOneType, AParserThatStallsIsReplacedAndItsChunkScannedAgain) {
    const char* stalled = "CAnalyser.Analyse_Cycle.ParserWaitTimeout. Kill old and start new parser.";
    std::vector<std::uint8_t> bytes(50000 * 512, 0);
    std::memcpy(bytes.data() + 100 * 512, "MANY", 4);
    std::memcpy(bytes.data() + 45000 * 512, "MANY", 4);
    CVolume& v = Volume(std::move(bytes));
    // The tree is held by someone else until the reader gives up on the parser.
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        v.FoundTree().WithLock([&] {
            holding = true;
            for (int i = 0; i < 3000 && !LogHas(stalled); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 0;
        });
    });
    while (!holding) std::this_thread::yield();
    CAnalyser analyser(v);
    analyser.ParserStallMs = 500;
    analyser.Analyse();
    holder.join();
    EXPECT_TRUE(LogHas(stalled));
    EXPECT_TRUE(LogHas("CAnalyser.Analyse_Cycle: sectors 0-20479 are scanned again"));
    EXPECT_EQ(analyser.ChunksRead.size(), 3u);
    EXPECT_NE(v.FoundTree().FindByOffset(100 * 512), nullptr) << "the stalled chunk's find is not lost";
    EXPECT_NE(v.FoundTree().FindByOffset(45000 * 512), nullptr) << "the new parser took the later chunks";
    // The abandoned parser holds the volume; it wakes up, finds itself left
    // and ends on its own after the test has let the volume go.
    volumes.clear();
}

TEST_F(ScanOfOneType, AParserThatMovesSlowlyIsWaitedFor) {
    // Every hand-over takes 20 ms (a busy machine), the whole chunk far more
    // than the reader's patience with a parser that does not move at all.
    AddType(11, "0='SLOW'");  // a boot sector's type: handed over to the found volumes' receiver
    std::vector<std::uint8_t> bytes(2000 * 512, 0);
    for (std::size_t i = 0; i < 40; ++i) std::memcpy(bytes.data() + i * 40 * 512, "SLOW", 4);
    std::atomic<int> handed{0};
    CVolume& v = Volume(std::move(bytes), [&](const CFoundObject&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++handed;
    });
    CAnalyser analyser(v);
    analyser.ParserStallMs = 300;
    analyser.Analyse();
    EXPECT_EQ(handed.load(), 40);
    EXPECT_FALSE(LogHas("CAnalyser.Analyse_Cycle.ParserWaitTimeout. Kill old and start new parser."));
}

TEST_F(ScanOfOneType, VolumesOfOddSizes) {
    for (const std::size_t sectors : {std::size_t{1}, std::size_t{20481}}) {
        std::vector<std::uint8_t> bytes(sectors * 512, 0);
        std::memcpy(bytes.data() + (sectors - 1) * 512, "MANY", 4);
        CVolume& v = Volume(std::move(bytes));
        CAnalyser analyser(v);
        analyser.Analyse();
        EXPECT_EQ(analyser.ChunksRead.back(), 1u) << sectors;
        EXPECT_EQ(analyser.ChunksRead.size(), sectors == 1 ? 1u : 2u) << sectors;
        EXPECT_NE(v.FoundTree().FindByOffset((sectors - 1) * 512), nullptr) << "the last sector is scanned too";
    }
}

}  // namespace
}  // namespace tl
