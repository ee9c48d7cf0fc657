// The engines at work together, as the interface lets the user run them: the
// analysis of one volume (file system, then sectors) round after round, the
// recovery of a second, the image of a third, and the interface's walks over
// every volume's tree meanwhile. Built with the tsan preset, any unordered
// access to shared data ends the run; in every build nothing may hang and
// every count must come out as in a quiet run of the same work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "recovery/recovery.h"
#include "signatures/analyser.h"
#include "storage/analysis_busy.h"
#include "storage/image_creation.h"
#include "test_support.h"

namespace tl {
namespace {

using namespace std::chrono_literals;

// A bound on the whole test: a deadlock ends the run with a message instead
// of hanging it.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds bound)
        : thread_([this, bound] {
              std::unique_lock lock(mutex_);
              if (cv_.wait_for(lock, bound, [this] { return done_; })) return;
              std::fprintf(stderr, "concurrency stress: not done after %lld s: a deadlock or a lost wake-up\n",
                           static_cast<long long>(bound.count()));
              std::abort();
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// The interface's end of the notifications: counts what is posted, answers
// the recovery's probable-size question with the answer set last, and every
// message box with No.
class InterfaceSink : public platform::NotificationSink {
public:
    void Post(platform::AppMessage) override { ++posted; }
    std::int64_t Send(const platform::AppMessage& m) override {
        if (m.id != platform::kProbableSizeQuestion || !m.reply) return platform::kIdNo;
        ++questions;
        std::lock_guard lock(mutex_);
        *m.reply = answer_;
        return 1;
    }
    void Answer(std::string reply) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(reply);
    }
    std::atomic<std::uint64_t> posted{0};
    std::atomic<int> questions{0};

private:
    std::mutex mutex_;
    std::string answer_;
};

// What a finished analysis leaves; equal in every run of the same volume.
struct TreeCounts {
    std::size_t records = 0;
    std::uint32_t signatureFiles = 0, fsFolders = 0, fsFiles = 0, scanFiles = 0;
    bool operator==(const TreeCounts&) const = default;
};

TreeCounts CountsOf(CVolume& v) {
    return {v.FoundTree().Count(), v.FoundTree().SignatureFileCount(), v.FsFolders.load(), v.FsFiles.load(),
            v.ScanFiles.load()};
}

std::string Describe(const TreeCounts& c) {
    return std::to_string(c.records) + " records, " + std::to_string(c.signatureFiles) + " signature files, " +
           std::to_string(c.fsFolders) + "+" + std::to_string(c.fsFiles) + " fs folders+files, " +
           std::to_string(c.scanFiles) + " scanned";
}

struct RecoveryCounts {
    std::uint32_t complete = 0, skipped = 0, failed = 0;
    std::uint64_t bytes = 0;
    bool operator==(const RecoveryCounts&) const = default;
};

std::string Describe(const RecoveryCounts& c) {
    return std::to_string(c.complete) + " complete, " + std::to_string(c.skipped) + " skipped, " +
           std::to_string(c.failed) + " failed, " + std::to_string(c.bytes) + " bytes";
}

// One pass of the interface over a tree while the engines fill and use it:
// the status bar's counts, the folder pane expanded in one locked stretch,
// and the file list, whose rows are kept as addresses and read later, each
// in a stretch of its own that first checks that no Clear came between.
std::size_t WalkTree(const CFoundTree& tree) {
    std::size_t seen = tree.Count() + tree.SignatureFileCount() + (tree.OffsetIndexOn() ? 1 : 0);
    tree.WithLock([&] {
        std::vector<std::uint64_t> folders{tree.Root()->Id, ID_LOST_FRAGMENTS, ID_LOST_FILES};
        for (std::size_t i = 0; i < folders.size() && folders.size() < 100000; ++i)
            for (CFoundObject* child : tree.FindChildren(folders[i])) {
                if (child->Id == folders[i] || (child->Flags & FO_VOLUME)) continue;
                seen += child->GetName().size() + (child->Size != CFoundObject::kUnknownSize) + child->HasDeleted();
                if (child->IsFolder()) folders.push_back(child->Id);
            }
    });
    std::vector<CFoundObject*> rows;
    std::uint64_t generation = 0;
    tree.WithLock([&] {
        rows = tree.AllRecords();
        generation = tree.Generation();
    });
    for (CFoundObject* row : rows)
        tree.WithLock([&] {
            if (tree.Generation() != generation) return;
            const CFoundObject r = tree.Snapshot(*row);
            seen += tree.GetFolderNames(*row).size() + tree.GetFullPath(*row).size() + tree.GetTypeName(r).size();
        });
    return seen;
}

// A whole file in one read (images of tens of megabytes).
std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!in || ec) return bytes;
    bytes.resize(size);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Files of make_samples.sh of types the sector scan recognises; no disk
// images among them, which it would list as volumes of their own.
constexpr const char* kSamples[] = {"sample.pdf", "sample.jpg",  "sample_big.jpg", "sample.png",  "sample.gif",
                                    "sample.bmp", "sample.doc",  "sample.xls",     "sample.docx", "sample.zip",
                                    "sample.rtf", "sample.wav",  "sample.tif",     "sample.sqlite", "sample.7z",
                                    "sample.gz",  "sample.html", "sample.ps"};
constexpr std::uint64_t kSampleSpacing = 64 * 1024;

class ConcurrencyStress : public test::ComputerFixture {
protected:
    void SetUp() override {
        AnalysisBusy() = 0;
        ASSERT_GT(computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini"), 0);
        computer.Signatures().Load();
        settings.SetU32(AppSettings::kKeepFolderStructure, 1);
    }
    ~ConcurrencyStress() override { AnalysisBusy() = 0; }

    // Loads `image` and analyses it, file system and (when asked) sectors,
    // with nothing else running.
    CVolume* AnalysedQuietly(const std::filesystem::path& image, bool sectors) {
        CVolume* v = computer.LoadImage(image.string());
        EXPECT_NE(v, nullptr) << image;
        if (!v) return nullptr;
        AnalyseAndWait(*v, sectors);
        return v;
    }
    void AnalyseAndWait(CVolume& v, bool sectors) {
        settings.SetU32(AppSettings::kSectorsAfterFileSystem, sectors ? 1 : 0);
        computer.AnalyseVolume(v);
        EXPECT_TRUE(v.WaitForWorker(120000)) << v.GetName();
        EXPECT_EQ(AnalysisBusy().load(), 0u);
    }

    // A copy of `image` whose largest stretch of sectors its file system
    // leaves free holds the samples, one every 64 KiB: deleted files whose
    // entries are gone, for the sector stage to find.
    std::filesystem::path Planted(const std::filesystem::path& image, const std::string& name) {
        CVolume* probe = AnalysedQuietly(image, false);
        if (!probe) return {};
        std::vector<SECTOR_RUN> used;
        for (const auto& u : probe->FileSystem().UsedSpace) used.push_back({u.start, u.length});
        const auto free = CAnalyser::FreeRanges(std::move(used), probe->Size / 512);
        const auto largest = std::max_element(free.begin(), free.end(), [](const SECTOR_RUN& a, const SECTOR_RUN& b) {
            return a.SectorCount < b.SectorCount;
        });
        EXPECT_NE(largest, free.end()) << image;
        if (largest == free.end()) return {};
        // From the middle of the stretch, on a 64 KiB boundary.
        std::uint64_t at = (largest->FirstSector + largest->SectorCount / 2) * 512;
        at = (at + kSampleSpacing - 1) / kSampleSpacing * kSampleSpacing;
        const std::uint64_t end = (largest->FirstSector + largest->SectorCount) * 512;
        std::string bytes = FileBytes(image);
        // A word-processor file, a kind whose length its content never
        // tells: its size stays an estimate.
        if (at + kSampleSpacing <= end) {
            std::string wordPerfect(512, 'w');
            wordPerfect.replace(0, 10, "\xFFWPC\x10\0\0\0\x01\x0A", 10);
            bytes.replace(at, wordPerfect.size(), wordPerfect);
            at += kSampleSpacing;
        }
        int planted = 0;
        for (const char* sample : kSamples) {
            const std::string content = FileBytes(test::FixturePath("samples") / sample);
            if (content.empty() || content.size() > kSampleSpacing || at + kSampleSpacing > end) continue;
            bytes.replace(at, content.size(), content);
            at += kSampleSpacing;
            ++planted;
        }
        EXPECT_GE(planted, 8) << "too few samples fit into " << image;
        const std::filesystem::path out = dir / name;
        test::WriteFileBytes(out, bytes);
        return out;
    }

    // Every file of the tree smaller than 4 MiB, folders first so that the
    // signature-found files, whose sizes must be settled, come early.
    static std::vector<CFoundObject*> Selection(CVolume& v) {
        std::vector<CFoundObject*> files;
        CFoundTree& tree = v.FoundTree();
        for (CFoundObject* o : tree.AllRecords()) {
            const CFoundObject r = tree.Snapshot(*o);
            if (r.IsFolder() || (r.Flags & FO_VOLUME) || (r.Size != CFoundObject::kUnknownSize && r.Size >= (4u << 20)))
                continue;
            files.push_back(o);
        }
        std::stable_partition(files.begin(), files.end(), [&](CFoundObject* o) {
            return (tree.Snapshot(*o).Flags & FO_BY_SIGNATURE) != 0;
        });
        return files;
    }

    // Builds the list of `v` and counts the items the run will account for:
    // every one but folders (empty files come back too).
    static std::size_t Prepare(CRecovery& recovery, CVolume& v) {
        recovery.BuildRecoveryList(Selection(v), v.FoundTree());
        std::size_t accounted = 0;
        for (CFoundObject* item : recovery.Items) accounted += !v.FoundTree().Snapshot(*item).IsFolder();
        return accounted;
    }
    static RecoveryCounts RecoveryCountsOf(const CRecovery& r) {
        return {r.CompleteCount.load(), r.SkippedCount.load(), r.FailedCount.load(), r.BytesWritten.load()};
    }

    RecoveryContext Context() { return {&settings, &computer.Log(), &texts, &computer.Signatures()}; }

    test::ScratchDir dir;
    std::shared_ptr<InterfaceSink> sink = std::make_shared<InterfaceSink>();
    test::SinkGuard guard{sink};
};

TEST_F(ConcurrencyStress, AnalysisRecoveryImageAndTreeWalksRunTogether) {
    Watchdog watchdog(300s);
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    // NTFS images need a FUSE mount; without one the recovered volume is FAT too.
    const auto ntfs = test::FixturePath("ntfs");
    const test::Fixture ntfsMade = test::MakeFixture("make_ntfs_images.sh", ntfs);
    ASSERT_NE(ntfsMade.state, test::Fixture::State::Failed) << ntfsMade.detail;
    const bool haveNtfs = static_cast<bool>(ntfsMade);
    const std::filesystem::path recoveredImage = haveNtfs ? ntfs / "ntfs4k.img" : fat / "fat32_root5.img";

    // ---- the quiet runs every count is compared with
    const std::filesystem::path analysedImage = Planted(fat / "fat16.img", "analysed.img");
    const std::filesystem::path sourceImage = Planted(recoveredImage, "recovered.img");
    ASSERT_FALSE(analysedImage.empty() || sourceImage.empty());
    CVolume* analysed = AnalysedQuietly(analysedImage, true);
    CVolume* recovered = AnalysedQuietly(sourceImage, true);
    CVolume* imaged = AnalysedQuietly(fat / "fat32.img", false);
    ASSERT_TRUE(analysed && recovered && imaged);
    const TreeCounts analysedCounts = CountsOf(*analysed);
    const TreeCounts imagedCounts = CountsOf(*imaged);
    EXPECT_GE(analysedCounts.signatureFiles, 8u) << "the sector stage finds the samples";
    EXPECT_GE(CountsOf(*recovered).signatureFiles, 8u);

    // Sizes still estimates are settled by the question: 64 KiB, for this
    // file only in the quiet run, for the whole type in the busy one.
    sink->Answer("1 4 0 65536");
    RecoveryCounts quietRecovery;
    std::size_t accounted = 0;
    {
        CRecovery recovery(Context());
        accounted = Prepare(recovery, *recovered);
        ASSERT_GT(accounted, 20u);
        ASSERT_TRUE(recovery.StartRecovery(*recovered, dir / "quiet"));
        ASSERT_TRUE(recovery.Wait(120000));
        quietRecovery = RecoveryCountsOf(recovery);
    }
    EXPECT_GT(sink->questions.load(), 0) << "some sizes were estimates";
    EXPECT_EQ(quietRecovery.complete + quietRecovery.skipped + quietRecovery.failed, accounted)
        << Describe(quietRecovery);
    EXPECT_GT(quietRecovery.complete, 20u) << Describe(quietRecovery);

    // ---- everything at once
    std::atomic<bool> stopReading{false};
    std::atomic<std::uint64_t> passes{0}, seen{0};
    std::thread reader([&] {
        while (!stopReading.load()) {
            for (CVolume* v : computer.Volumes().Snapshot()) {
                seen += WalkTree(v->FoundTree());
                seen += v->State.load() + v->ProgressPos.load() + v->ProgressEnd.load() + v->SectorScanRunning.load() +
                        v->FsFiles.load() + v->ScanFiles.load() + v->IsWorkerRunning();
            }
            seen += computer.AnalysisQueue().size() + (computer.CurrentVolume() != nullptr);
            ++passes;
            std::this_thread::sleep_for(5ms);  // the next repaint
        }
    });

    // The analysis, started again as soon as it ends, until the others are
    // done; the user stops the second round in its sector stage.
    settings.SetU32(AppSettings::kSectorsAfterFileSystem, 1);
    std::atomic<bool> othersDone{false};
    std::mutex mismatchMutex;
    std::vector<std::string> mismatches;
    const auto mismatch = [&](int round, const std::string& what) {
        std::lock_guard lock(mismatchMutex);
        mismatches.push_back("round " + std::to_string(round) + ": " + what);
    };
    std::atomic<int> rounds{0};
    std::thread analysis([&] {
        for (int round = 0; round < 3 || !othersDone.load(); ++round) {
            computer.AnalyseVolume(*analysed);
            const bool stopped = round == 1;
            if (stopped) {
                WaitUntil([&] { return analysed->State.load() == 2 || !analysed->IsWorkerRunning(); }, 60s);
                computer.StopAnalysis(*analysed, true);
            }
            if (!analysed->WaitForWorker(120000) || !WaitUntil([] { return AnalysisBusy().load() == 0; }, 10s))
                return mismatch(round, "did not end");
            if (stopped) {
                if (analysed->State.load() != 1 || !computer.AnalysisQueue().empty())
                    mismatch(round, "stopped, yet state " + std::to_string(analysed->State.load()) + " and " +
                                        std::to_string(computer.AnalysisQueue().size()) + " queued");
            } else if (const TreeCounts counts = CountsOf(*analysed); !(counts == analysedCounts)) {
                mismatch(round, Describe(counts));
            }
            ++rounds;
        }
    });
    // The others begin once the sector stage does, where the most is shared.
    EXPECT_TRUE(WaitUntil([&] { return analysed->State.load() == 2 || rounds.load() > 0; }, 60s));

    sink->Answer("1 4 1 65536");
    auto job = std::make_shared<CImageCreation>();
    job->SourceVolume = imaged;
    job->FileName = (dir / "copy.dsk").string();
    // No ASSERT from here until the threads are joined.
    EXPECT_TRUE(computer.StartImageCreation(job)) << job->Problem;

    std::vector<RecoveryCounts> busyRecovery;
    std::uint64_t shown = 0;
    for (int round = 0; round < 2; ++round) {
        CRecovery recovery(Context());
        EXPECT_EQ(Prepare(recovery, *recovered), accounted);
        EXPECT_TRUE(recovery.StartRecovery(*recovered, dir / ("busy" + std::to_string(round))));
        // The progress dialogs poll both jobs meanwhile.
        while (!recovery.Wait(20)) {
            shown += recovery.Current.load() + recovery.CurrentPercent.load() + recovery.BytesWritten.load() +
                     recovery.CurrentTargetText().size();
            shown += job->ProgressPercent() + job->KilobytesPerSecond() + job->Position.load() + job->Ended();
        }
        busyRecovery.push_back(RecoveryCountsOf(recovery));
    }
    EXPECT_TRUE(job->WaitForEnd(120000));
    othersDone = true;
    analysis.join();

    // The image is loaded and analysed while the interface still reads.
    CVolume* copy = computer.LoadCreatedImage(*job);
    EXPECT_NE(copy, nullptr) << static_cast<int>(job->Outcome.load());
    if (copy) AnalyseAndWait(*copy, false);
    stopReading = true;
    reader.join();

    EXPECT_GE(rounds.load(), 3);
    EXPECT_GT(passes.load(), 2u) << "the interface read while the engines ran";
    EXPECT_GT(seen.load() + shown, 0u);
    EXPECT_TRUE(mismatches.empty()) << "quiet: " << Describe(analysedCounts) << "\n" << testing::PrintToString(mismatches);
    for (const RecoveryCounts& counts : busyRecovery)
        EXPECT_EQ(counts, quietRecovery) << "busy: " << Describe(counts) << "; quiet: " << Describe(quietRecovery);
    EXPECT_EQ(job->Outcome.load(), ImageOutcome::Complete);
    EXPECT_EQ(job->UnreadableSectors.load(), 0u);
    EXPECT_EQ(job->SectorTotal.load() * 512, imaged->Size);
    EXPECT_EQ(std::filesystem::file_size(job->FileName), imaged->Size);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(CountsOf(*copy), imagedCounts) << Describe(CountsOf(*copy)) << " against " << Describe(imagedCounts);
}

}  // namespace
}  // namespace tl
