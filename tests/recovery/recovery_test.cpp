#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <chrono>
#include <random>
#include <thread>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "computer_fixture.h"
#include "fat_oracle.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "platform/time.h"
#include "recovery/recovery.h"
#include "recovery/target_path.h"
#include "storage/analysis_busy.h"
#include "test_support.h"

namespace tl {
namespace {

TEST(TargetPath, NamesFromTheDiskBecomeOneSafeSegment) {
    EXPECT_EQ(SafeSegment("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(SafeSegment("a/b"), "a_b");
    EXPECT_EQ(SafeSegment(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(SafeSegment("tab\there\x7F"), "tab_here_");
    EXPECT_EQ(SafeSegment(".."), "_..");
    EXPECT_EQ(SafeSegment("."), "_.");
    EXPECT_EQ(SafeSegment(""), "_");
    EXPECT_EQ(SafeSegment("Café Ünïcode.doc"), "Café Ünïcode.doc");
    // Longer than a name may be: cut at a character boundary, the extension kept.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "é";
    const std::string cut = SafeSegment(longName + ".pdf");
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".pdf");
    EXPECT_EQ(cut.size() % 2, 0u) << "no half character before the extension";

    const std::filesystem::path dest = "/out/dir";
    EXPECT_EQ(TargetInside(dest, {"Docs", "a.txt"}), std::filesystem::path("/out/dir/Docs/a.txt"));
    EXPECT_FALSE(TargetInside(dest, {"..", "x"}));
    EXPECT_FALSE(TargetInside(dest, {"a/../../x"}));
    EXPECT_FALSE(TargetInside(dest, {}));
}

TEST(TargetPath, ATakenNameGetsTheNextFreeNumber) {
    test::ScratchDir dir;
    test::WriteFileBytes(dir / "a.txt", "1");
    test::WriteFileBytes(dir / "a (2).txt", "2");
    EXPECT_EQ(UniqueTarget(dir / "a.txt"), dir / "a (3).txt");
    EXPECT_EQ(UniqueTarget(dir / "b.txt"), dir / "b.txt");
}

class RecoveryTest : public test::ComputerFixture {
protected:
    ~RecoveryTest() override { AnalysisBusy() = 0; }
    RecoveryContext Context() { return {&settings, &computer.Log(), nullptr, &computer.Signatures()}; }
    // Every file and folder of the volume's tree, as a selection.
    std::vector<CFoundObject*> Everything(CVolume& v) {
        std::vector<CFoundObject*> all;
        for (CFoundObject* o : v.FoundTree().AllRecords())
            if (o != &v && !(o->Flags & FO_VOLUME)) all.push_back(o);
        return all;
    }
    // Analyses `image` and recovers everything it lists into `out`, keeping
    // the folders; the analysed volume.
    CVolume* RecoverAll(const std::filesystem::path& image, const std::filesystem::path& out) {
        CVolume* v = computer.LoadImage(image.string());
        EXPECT_NE(v, nullptr);
        if (!v) return nullptr;
        computer.AnalyseVolume(*v);
        EXPECT_TRUE(v->WaitForWorker(60000));
        settings.SetU32(AppSettings::kKeepFolderStructure, 1);
        CRecovery recovery(Context());
        EXPECT_GT(recovery.BuildRecoveryList(Everything(*v), v->FoundTree()), 3u) << image;
        EXPECT_TRUE(recovery.StartRecovery(*v, out));
        EXPECT_TRUE(recovery.Wait(60000));
        return v;
    }
    // A volume over `bytes` in memory.
    CVolume& MemoryVolume(std::vector<std::uint8_t> bytes) {
        auto v = std::make_unique<CVolume>(VK_IMAGE, VolumeContext{&settings, &computer.Log(), nullptr, &computer.Signatures(), {}});
        v->DevicePath = "/images/memory.img";
        v->SetDevice(std::make_shared<MemorySectorDevice>(std::move(bytes)));
        v->QueryInformation();
        v->FoundTree().BuildOffsetIndex();
        volumes.push_back(std::move(v));
        return *volumes.back();
    }
    // A signature-found file of `size` bytes at `offset` of `v`.
    CFoundObject* Carved(CVolume& v, std::uint64_t offset, std::uint64_t size, const char* name) {
        CFoundObject r;
        r.Init();
        r.DataOffset = offset;
        r.Size = size;
        r.TypeId = 1001;
        r.Flags = FO_BY_SIGNATURE | FO_DELETED | FO_CONTENT_SIZE;
        r.Volume = &v;
        r.SetName(name);
        CFoundObject* stored = v.FoundTree().AddSignatureFile(r);
        EXPECT_NE(stored, nullptr);
        return stored;
    }
    std::size_t LogCount(const std::string& line) {
        std::size_t n = 0;
        for (const auto& l : computer.Log().Lines()) n += l == line;
        return n;
    }
    test::ScratchDir dir;
    std::vector<std::unique_ptr<CVolume>> volumes;
};

TEST_F(RecoveryTest, TheReaderFollowsItsRunsAndNeverReadsPastTheVolume) {
    std::vector<std::uint8_t> bytes(64 * 512);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i / 512);
    CVolume& v = MemoryVolume(bytes);
    CFoundObject r;
    r.Init();
    r.Flags = FO_BY_SIGNATURE;
    r.DataOffset = 10 * 512;
    r.Size = 10 * 512;
    r.Volume = &v;
    CFoundFileReader reader;
    ASSERT_TRUE(reader.Open(r));
    std::vector<std::uint8_t> buffer(16 * 512);
    EXPECT_EQ(reader.ReadNext(buffer.data(), 1000), 1000u);
    EXPECT_EQ(reader.RunDone, 2u);
    EXPECT_EQ(buffer[0], 10);
    EXPECT_EQ(reader.ReadNext(buffer.data(), 16 * 512), 8u * 512) << "the rest of the run";
    EXPECT_EQ(buffer[0], 12);
    EXPECT_EQ(reader.ReadNext(buffer.data(), 512), 0u) << "the end";

    // A size of 2^63 is cut at the volume's end; a start beyond it reads nothing.
    r.Size = std::uint64_t{1} << 63;
    ASSERT_TRUE(reader.Open(r));
    ASSERT_EQ(reader.Runs.size(), 1u);
    EXPECT_EQ(reader.Runs[0].SectorCount, 54u);
    r.DataOffset = 1000 * 512;
    reader.Open(r);
    EXPECT_EQ(reader.ReadNext(buffer.data(), 512), 0u);

    // A sparse run reads as zeros, without touching the disk.
    reader.Runs = {{kSparseRunStart, 2}};
    reader.RunIndex = 0;
    reader.RunDone = 0;
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(reader.ReadNext(buffer.data(), 1024), 1024u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1023], 0);
}

// A lost file whose size is an estimate comes back with at most its type's
// default size whatever the distance to the next file of its type, never
// past the end of a file whose structure holds it, nor past the volume's
// end; a size the user typed is taken as it is.
TEST_F(RecoveryTest, EstimatedSizesStopAtTheTypesDefaultSizeAndTheVolumesEnd) {
    computer.Signatures().InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini");
    computer.Signatures().Load();
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(8 << 20, 'x'));
    const auto estimated = [&](std::uint64_t offset, const char* name) {
        CFoundObject r;
        r.Init();
        r.DataOffset = offset;
        r.TypeId = 1007;  // a web page: 256 KB by default
        r.Flags = FO_BY_SIGNATURE | FO_DELETED;
        r.Volume = &v;
        r.SetName(name);
        return v.FoundTree().AddSignatureFile(r);
    };
    CFoundObject* far = estimated(0, "far.html");                       // the next page lies 7 MiB on
    CFoundObject* last = estimated(7 << 20, "last.html");               // 1 MiB from the end
    CFoundObject* cut = estimated((8 << 20) - 100 * 1024, "cut.html");  // 100 KiB from the end
    // An archive of 600 KiB whose directory was read, and a page found in it.
    CFoundObject archive;
    archive.Init();
    archive.DataOffset = 5 << 19;
    archive.Size = 600 * 1024;
    archive.TypeId = 1112;
    archive.Flags = FO_BY_SIGNATURE | FO_DELETED | FO_CONTENT_SIZE | FO_ENCLOSING;
    archive.Volume = &v;
    archive.SetName("archive.zip");
    ASSERT_TRUE(v.FoundTree().AddSignatureFile(archive));
    CFoundObject* inside = estimated((5 << 19) + 500 * 1024, "inside.html");  // 100 KiB before the archive's end
    const auto sizeOf = [](const std::filesystem::path& folder, const std::string& name) -> std::uintmax_t {
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
            if (e.path().filename() == name) return e.file_size();
        return 0;
    };
    ASSERT_TRUE(far && last && cut && inside);
    for (const int choice : {3, 2, 1}) {
        CRecovery recovery(Context());
        recovery.SizeChoiceForAll = choice;
        recovery.BuildRecoveryList({far, last, cut, inside}, v.FoundTree());
        const auto out = dir / ("choice" + std::to_string(choice));
        ASSERT_TRUE(recovery.StartRecovery(v, out));
        ASSERT_TRUE(recovery.Wait(60000));
        EXPECT_EQ(recovery.CompleteCount.load(), 4u);
        for (const auto& [name, size] : {std::pair{"far.html", 256 * 1024}, {"last.html", 256 * 1024}, {"cut.html", 100 * 1024},
                                         {"inside.html", 100 * 1024}})
            EXPECT_EQ(sizeOf(out, name), static_cast<std::uintmax_t>(size))
                << name << ", choice " << choice;
    }
    CRecovery custom(Context());
    custom.SizeChoiceForAll = 4;
    custom.SizeForAllKB = 1024;
    custom.BuildRecoveryList({far}, v.FoundTree());
    ASSERT_TRUE(custom.StartRecovery(v, dir / "custom"));
    ASSERT_TRUE(custom.Wait(60000));
    EXPECT_EQ(sizeOf(dir / "custom", "far.html"), 1u << 20);
}

// Everything of a real FAT image comes back: every live file byte for byte
// with its time, deleted ones as the oracle reads them.
TEST_F(RecoveryTest, AFatVolumeComesBackAtItsPathsByteForByte) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const auto image = fat / "fat16.img";
    CVolume* v = RecoverAll(image, dir.path() / "out");
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(LogHas("Recovery completed."));

    std::string why;
    const auto oracle = test::FlsListing(image, &why);
    ASSERT_FALSE(oracle.empty()) << why;
    int live = 0, deleted = 0, empty = 0;
    for (const auto& e : oracle) {
        const auto target = dir.path() / "out" / e.path;
        // Folders and empty files come back too: the tree is the disk's.
        if (e.folder || e.size == 0) {
            if (e.deleted) continue;
            EXPECT_EQ(std::filesystem::is_directory(target), e.folder) << e.path;
            if (!e.folder) {
                EXPECT_TRUE(std::filesystem::exists(target) && std::filesystem::file_size(target) == 0) << e.path;
                ++empty;
            }
            continue;
        }
        const std::string icat = test::CommandOutput("icat -f fat " + test::ShellQuote(image.string()) + " " + std::to_string(e.address));
        if (!e.deleted) {
            ASSERT_TRUE(std::filesystem::exists(target)) << e.path;
            EXPECT_EQ(test::ReadFileBytes(target), icat) << e.path;
            ++live;
        } else if (std::filesystem::exists(target) && icat.size() == e.size) {
            deleted += test::ReadFileBytes(target) == icat;
        }
    }
    EXPECT_GE(live, 5);
    EXPECT_GE(empty, 1);
    EXPECT_GE(deleted, 1) << "deleted contiguous files come back as the oracle reads them";
    // Times: the modification time of each live file, empty or not, is the record's.
    for (CFoundObject* o : v->FoundTree().AllRecords()) {
        if (o->IsFolder() || o->IsDeleted() || (o->Flags & FO_VOLUME) || !o->ModificationTime) continue;
        struct stat st{};
        const auto target = dir.path() / "out" / RecoveryPath(v->FoundTree(), *o);
        ASSERT_EQ(::stat(target.c_str(), &st), 0) << target;
        EXPECT_EQ(st.st_mtim.tv_sec, platform::ToUnix(o->ModificationTime).seconds) << target;
    }
}

// The live files of the NTFS images, resident ones included, come back as
// the oracle reads them, at the paths analyze prints.
TEST_F(RecoveryTest, NtfsVolumesComeBackAsTheOracleReadsThem) {
    const auto ntfs = test::FixturePath("ntfs");
    TL_REQUIRE_FIXTURE("make_ntfs_images.sh", ntfs);
    for (const char* name : {"ntfs4k.img", "ntfs512.img"}) {
        const auto image = ntfs / name;
        const auto out = dir.path() / name;
        ASSERT_NE(RecoverAll(image, out), nullptr);
        std::string why;
        const auto oracle = test::FlsListing(image, &why, "ntfs");
        ASSERT_FALSE(oracle.empty()) << why;
        int live = 0;
        for (const auto& e : oracle) {
            if (e.folder || e.deleted || e.size == 0) continue;
            const auto target = out / e.path;
            ASSERT_TRUE(std::filesystem::exists(target)) << name << ": " << e.path;
            const std::string icat =
                test::CommandOutput("icat -f ntfs " + test::ShellQuote(image.string()) + " " + std::to_string(e.address));
            EXPECT_EQ(test::ReadFileBytes(target), icat) << name << ": " << e.path;
            ++live;
        }
        EXPECT_GE(live, 3) << name;
    }
}

TEST_F(RecoveryTest, HostileNamesStayInsideTheDestination) {
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(64 * 512, 'x'));
    const std::vector<CFoundObject*> files = {Carved(v, 512, 100, "../../etc/passwd"), Carved(v, 1024, 100, "a/b"),
                                              Carved(v, 2048, 100, std::string("nul\0name", 8).c_str()),
                                              Carved(v, 4096, 100, "..")};
    CRecovery recovery(Context());
    recovery.BuildRecoveryList(files, v.FoundTree());
    const auto out = dir.path() / "deep" / "out";
    ASSERT_TRUE(recovery.StartRecovery(v, out));
    ASSERT_TRUE(recovery.Wait(60000));
    EXPECT_EQ(recovery.CompleteCount.load(), 4u);
    std::size_t inside = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        if (e.is_regular_file()) {
            EXPECT_EQ(e.path().string().rfind(out.string() + "/", 0), 0u) << e.path();
            ++inside;
        }
    EXPECT_EQ(inside, 4u);
}

TEST_F(RecoveryTest, StopDuringALargeFileEndsTheRunAsAborted) {
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(48u << 20, 'z'));
    CFoundObject* big = Carved(v, 512, 40u << 20, "big.bin");
    // The interface's Abort arrives with the first progress message.
    class AbortingSink : public platform::NotificationSink {
    public:
        explicit AbortingSink(CRecovery& r) : r_(r) {}
        void Post(platform::AppMessage m) override {
            if (m.id == msg::kRecoveryProgress) r_.Stop();
        }
        std::int64_t Send(const platform::AppMessage&) override { return 0; }
        CRecovery& r_;
    };
    CRecovery recovery(Context());
    test::SinkGuard guard(std::make_shared<AbortingSink>(recovery));
    recovery.BuildRecoveryList({big}, v.FoundTree());
    ASSERT_TRUE(recovery.StartRecovery(v, dir.path() / "out"));
    ASSERT_TRUE(recovery.Wait(60000));
    EXPECT_TRUE(LogHas("Recovery aborted."));
    EXPECT_FALSE(LogHas("Recovery completed."));
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "out" / "big.bin"), CRecovery::kChunkBytes) << "one chunk, then the stop";
}

// A file and a folder whose names are made safe into one name ("_..") both
// come back whole: the second takes a numbered name, its files stay in it.
TEST_F(RecoveryTest, NamesThatMeetAfterBeingMadeSafeKeepBothObjects) {
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(64 * 512, 'q'));
    CFoundTree& tree = v.FoundTree();
    // Records as a parser hands them over; the files read one run each.
    const auto add = [&](std::uint64_t id, std::uint64_t parent, const char* name, bool folder, std::uint64_t offset,
                         std::uint64_t size) {
        CFoundObject r;
        r.Init();
        r.Id = id;
        r.ParentId = parent;
        r.Flags = folder ? FO_FOLDER : FO_BY_SIGNATURE | FO_CONTENT_SIZE;
        r.DataOffset = offset;
        r.Size = size;
        r.SetName(name);
        CFoundObject* stored = tree.AddObject(r);
        EXPECT_NE(stored, nullptr) << name;
        if (stored) stored->Volume = &v;
        return stored;
    };
    const std::uint64_t root = tree.Root()->Id;
    CFoundObject* folder = add(100, root, "..", true, 0, 0);
    add(101, 100, "inner.txt", false, 512, 10);
    CFoundObject* file = add(102, root, "_..", false, 2048, 20);
    ASSERT_TRUE(folder && file);
    settings.SetU32(AppSettings::kKeepFolderStructure, 1);
    CRecovery recovery(Context());
    for (const bool folderFirst : {true, false}) {
        const auto out = dir.path() / (folderFirst ? "a" : "b");
        recovery.BuildRecoveryList(folderFirst ? std::vector<CFoundObject*>{folder, file} : std::vector<CFoundObject*>{file, folder}, tree);
        ASSERT_TRUE(recovery.StartRecovery(v, out));
        ASSERT_TRUE(recovery.Wait(60000));
        EXPECT_EQ(recovery.CompleteCount.load(), 2u) << folderFirst;
        EXPECT_EQ(recovery.FailedCount.load(), 0u) << folderFirst;
        // Whichever comes first keeps the name; the other is numbered.
        const auto folderPath = out / (folderFirst ? "_.." : "_.. (2)");
        const auto filePath = out / (folderFirst ? "_.. (2)" : "_..");
        EXPECT_EQ(test::ReadFileBytes(filePath), std::string(20, 'q')) << folderFirst;
        EXPECT_EQ(test::ReadFileBytes(folderPath / "inner.txt"), std::string(10, 'q')) << folderFirst;
    }
}

TEST_F(RecoveryTest, TakenNamesFlatFoldersAndDestinationsThatAreFiles) {
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(64 * 512, 'y'));
    CFoundObject* a = Carved(v, 512, 10, "same.txt");
    CFoundObject* b = Carved(v, 1024, 10, "same.txt");
    // Two files of one run that meet at one name both come back, whatever
    // ConfirmOverwrite says: the second takes a free name.
    settings.SetU32(AppSettings::kKeepFolderStructure, 1);
    CRecovery recovery(Context());
    recovery.BuildRecoveryList({a, b}, v.FoundTree());
    for (const std::uint32_t confirm : {0u, 1u}) {
        settings.SetU32(AppSettings::kConfirmOverwrite, confirm);
        const auto out = dir.path() / ("out" + std::to_string(confirm));
        ASSERT_TRUE(recovery.StartRecovery(v, out));
        ASSERT_TRUE(recovery.Wait(60000));
        const auto group = out / RecoveryPath(v.FoundTree(), *a);
        EXPECT_TRUE(std::filesystem::exists(group)) << group;
        EXPECT_TRUE(std::filesystem::exists(group.parent_path() / "same (2).txt")) << confirm;
        EXPECT_EQ(recovery.CompleteCount.load(), 2u);
    }
    // A file an earlier run left there is reported, and with ConfirmOverwrite kept.
    ASSERT_TRUE(recovery.StartRecovery(v, dir.path() / "out1"));
    ASSERT_TRUE(recovery.Wait(60000));
    const auto group = dir.path() / "out1" / RecoveryPath(v.FoundTree(), *a);
    EXPECT_EQ(LogCount("ERR: File: " + group.string() + " exists"), 1u);
    EXPECT_TRUE(std::filesystem::exists(group.parent_path() / "same (3).txt"));

    // Flat: every file straight into the destination.
    settings.SetU32(AppSettings::kKeepFolderStructure, 0);
    ASSERT_TRUE(recovery.StartRecovery(v, dir.path() / "flat"));
    ASSERT_TRUE(recovery.Wait(60000));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "flat" / "same.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "flat" / "same (2).txt"));

    // A destination that is a file: nothing can be made below it, each file fails.
    test::WriteFileBytes(dir.path() / "plain", "x");
    ASSERT_TRUE(recovery.StartRecovery(v, dir.path() / "plain"));
    ASSERT_TRUE(recovery.Wait(60000));
    EXPECT_EQ(recovery.FailedCount.load(), 2u);
    EXPECT_EQ(recovery.CompleteCount.load(), 0u);
}

TEST_F(RecoveryTest, AFullDiskFailsTheFileAndTheRunGoesOn) {
    const auto small = dir.path() / "small";
    std::filesystem::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount {
        std::filesystem::path p;
        ~Unmount() { ::umount(p.c_str()); }
    } unmount{small};
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(1u << 20, 'w'));
    CFoundObject* big = Carved(v, 512, 512u << 10, "big.bin");
    CFoundObject* next = Carved(v, 700u << 10, 1000, "next.bin");
    CRecovery recovery(Context());
    recovery.BuildRecoveryList({big, next}, v.FoundTree());
    ASSERT_TRUE(recovery.StartRecovery(v, small));
    ASSERT_TRUE(recovery.Wait(60000));
    bool writeError = false;
    for (const auto& l : computer.Log().Lines()) writeError |= l.rfind("ERR: FileRecovery: Write system error", 0) == 0;
    EXPECT_TRUE(writeError);
    EXPECT_TRUE(LogHas("Recovery completed.")) << "the run went on to its end";
    EXPECT_EQ(recovery.FailedCount.load() + recovery.CompleteCount.load(), 2u);
    EXPECT_GE(recovery.FailedCount.load(), 1u);
}

TEST_F(RecoveryTest, OpeningCopiesEveryItemOpensTheLastAndOffersToDeleteTheCopies) {
    CVolume& v = MemoryVolume(std::vector<std::uint8_t>(64 * 512, 'o'));
    const std::vector<CFoundObject*> three = {Carved(v, 512, 10, "one.txt"), Carved(v, 1024, 10, "two.txt"),
                                              Carved(v, 2048, 10, "three.txt")};
    // An opener that only notes what it was asked to open.
    const auto bin = dir.path() / "bin";
    std::filesystem::create_directories(bin);
    test::WriteFileBytes(bin / "xdg-open", "#!/bin/sh\necho \"$1\" >> '" + (dir.path() / "opened").string() + "'\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    CRecovery opening(Context());
    opening.BuildRecoveryList(three, v.FoundTree());
    ASSERT_TRUE(opening.StartOpening(v, dir.path() / "tmp"));
    ASSERT_TRUE(opening.Wait(60000));
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(opening.TempFiles.size(), 3u) << "every copy is listed for deletion";
    for (const auto& f : opening.TempFiles) EXPECT_TRUE(std::filesystem::exists(f)) << f;
    const auto last = opening.TempFiles.back();
    EXPECT_TRUE(LogHas("File '" + last.string() + "'  opened successfully"));
    // The opener runs detached: on a loaded machine it may take seconds to write.
    for (int i = 0; i < 1000 && test::ReadFileBytes(dir.path() / "opened") != last.string() + "\n"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "opened"), last.string() + "\n") << "only the last copy is opened";

    // At exit: No keeps the copies, Yes deletes them.
    auto no = std::make_shared<test::RecordingSink>(platform::kIdNo);
    {
        test::SinkGuard guard(no);
        EXPECT_EQ(opening.DeleteTempFiles(), 1);
    }
    EXPECT_EQ(no->sent.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(last));
    {
        test::SinkGuard guard(std::make_shared<test::RecordingSink>(platform::kIdYes));
        opening.DeleteTempFiles();
    }
    for (const auto& f : opening.TempFiles) EXPECT_FALSE(std::filesystem::exists(f)) << f;

    // Without an opener the failure is "no application", not a system error.
    // A PATH with a shell and nothing else.
    const auto shellOnly = dir.path() / "shell-only";
    std::filesystem::create_directories(shellOnly);
    std::filesystem::create_symlink("/bin/sh", shellOnly / "sh");
    ::setenv("PATH", shellOnly.c_str(), 1);
    CRecovery bare(Context());
    bare.BuildRecoveryList({three[0]}, v.FoundTree());
    ASSERT_TRUE(bare.StartOpening(v, dir.path() / "tmp2"));
    ASSERT_TRUE(bare.Wait(60000));
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(bare.OpenResult.load(), 31);
    bool noApplication = false;
    for (const auto& l : computer.Log().Lines()) noApplication |= l.find("No application associated with this file") != std::string::npos;
    EXPECT_TRUE(noApplication);
}

}  // namespace
}  // namespace tl
