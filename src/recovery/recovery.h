// The recovery engine: copies found files of one volume out into a
// destination folder on another drive, each at its folder chain below the
// destination (or flat), on a worker thread at the lowest priority, with
// progress the interface polls and a cooperative stop. Files found by the
// sector scan whose size is still an estimate are sized first: by the choice
// made for the whole run, a choice remembered for their type, or the
// probable-size question asked through the notification sink.
//
// The source is only ever read (through the found-file reader); targets are
// created below the destination only, from names made safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {

class AppSettings;
class CEventLog;
class CFoundTree;
class CLanguages;
class SignatureDatabase;

struct RecoveryContext {
    AppSettings* settings = nullptr;
    CEventLog* log = nullptr;
    const CLanguages* texts = nullptr;
    SignatureDatabase* signatures = nullptr;
};

// The answer to the probable-size question for one file.
struct ProbableSizeAnswer {
    enum Button { kNone = 0, kOk = 1, kCancel = 2, kSkipFile = 5 };
    int button = kNone;
    int choice = 3;  // 1 default size, 2 next file of any type, 3 of the same type, 4 custom
    int scope = 1;   // 0 this file, 1 all files of this type, 2 all files of any type
    std::uint64_t customSize = 0;  // bytes, for choice 4
};
// Asks the front end (notification kProbableSizeQuestion); no answer is kNone.
ProbableSizeAnswer AskProbableSize(const CFoundObject& record, const std::string& typeName);

class CRecovery {
public:
    static constexpr std::uint64_t kChunkBytes = 16u << 20;

    explicit CRecovery(RecoveryContext context);
    ~CRecovery();
    CRecovery(const CRecovery&) = delete;
    CRecovery& operator=(const CRecovery&) = delete;

    // Fills Items from a selection: a folder brings every file below it,
    // depth first, and then itself; a file itself. Returns the item count.
    std::size_t BuildRecoveryList(const std::vector<CFoundObject*>& selection, CFoundTree& tree);
    // Starts the worker over Items of `volume` into `folder` (the settings'
    // destination folder when empty). False when a run is still going.
    bool StartRecovery(CVolume& volume, const std::filesystem::path& folder = {});
    // The opening engine's run: the items are copied into the temporary
    // folder (`folder`, else the settings' one), every copy made is listed
    // in TempFiles, and the last item's copy is opened with the application
    // the desktop associates with it. A stopped run opens nothing.
    bool StartOpening(CVolume& volume, const std::filesystem::path& folder = {});
    // The folder the opening engine copies into: the settings' temporary
    // folder when a custom one is set, else the system's.
    std::filesystem::path TemporaryFolder() const;
    // At exit: when copies were opened, asks whether to delete them and
    // does on Yes (failures are ignored). Returns 1 in every case.
    int DeleteTempFiles();
    void Stop() { Running = 0; }
    // Waits for the worker to end, up to `timeoutMs`; true when it ended.
    bool Wait(std::uint32_t timeoutMs);
    bool IsRunning() const { return workerRunning_.load(); }

    // Settles the item's size, makes its folders and copies it: the bytes
    // copied, 0 when the file was skipped or failed.
    std::uint64_t FileRecovery(CFoundObject& item, const std::filesystem::path& folder);
    // The copy loop into CurrentTarget.
    // A reason the content could not be read as stored (encrypted,
    // undecodable) goes to `problem`.
    std::uint64_t CopyFoundFile(CFoundObject& item, std::string* problem = nullptr);
    // Makes every missing folder of `path` (logging the one that cannot be made).
    bool CreateFolderChain(const std::filesystem::path& path);

    std::string CurrentTargetText() const;

    std::atomic<std::int32_t> SizeChoiceForAll{0};  // 0 ask, else the choice for every file of the run
    std::atomic<std::int32_t> SizeForAllKB{0};
    std::atomic<std::int32_t> Running{0};
    std::vector<CFoundObject*> Items;
    std::uint64_t TotalSize = 0;
    std::atomic<std::int32_t> Current{0};
    std::atomic<std::int32_t> RecoveredCount{0};  // files that received at least one byte
    std::atomic<std::int32_t> CurrentPercent{0};
    CVolume* Volume = nullptr;

    // The run's account, for a summary: whole copies, files skipped (size
    // unknown, skipped or cancelled in the question), files that failed or
    // came out short, and the bytes written.
    std::atomic<std::uint32_t> CompleteCount{0}, SkippedCount{0}, FailedCount{0};
    std::atomic<std::uint64_t> BytesWritten{0};
    // Of the whole copies, the empty files made (they count as complete).
    std::atomic<std::uint32_t> EmptyCount{0};
    // Each file that was skipped or failed, with the reason, in order.
    struct Failure {
        std::string name;    // the file's name on the source
        std::string reason;  // a short English reason ("the file is encrypted")
        bool skipped = false;
    };
    std::vector<Failure> Failures() const;

    // The copies the opening engine made in this run (only ever growing).
    std::vector<std::filesystem::path> TempFiles;
    // The result of the last opening (the shell's manner: 32 or more is success).
    std::atomic<int> OpenResult{0};

private:
    bool Start(CVolume& volume, const std::filesystem::path& folder, bool opening);
    void Run(std::filesystem::path folder, bool opening);
    void OpenLast();
    // Sizes a signature-found file whose size is an estimate; false when
    // the file is to be passed over.
    bool SettleSize(CFoundObject& item, const CFoundObject& copy);
    std::filesystem::path TargetFor(CFoundObject& item, const std::filesystem::path& folder, bool& refused);
    // `parent`/`segment`, or a numbered variant of it when that place is
    // taken in this run by another record, or is a file where a folder is
    // needed (and the reverse): names that only collide after they were made
    // safe keep both objects.
    std::filesystem::path ClaimPath(const std::filesystem::path& parent, const std::string& segment,
                                    const CFoundObject* owner, bool asFolder);
    // Makes an empty file's target with its times; false when it cannot be made.
    bool CreateEmptyFile(const CFoundObject& copy, const std::filesystem::path& target);
    void Fail(const CFoundObject& copy, std::string reason, bool skipped = false);
    std::string Text(unsigned id) const;
    void LogInfo(const std::string& line) const;
    void LogError(const std::string& line) const;

    RecoveryContext context_;
    std::vector<std::uint8_t> buffer_;
    CFoundTree* tree_ = nullptr;
    std::filesystem::path currentTarget_;
    mutable std::mutex targetMutex_;
    std::thread thread_;
    std::atomic<bool> workerRunning_{false};
    std::mutex waitMutex_;
    std::condition_variable doneCv_;
    mutable std::mutex tempMutex_;
    bool opening_ = false;  // the opening engine's run: a copy replaces a file of its path
    // Every place below the destination this run made, with the record it
    // holds: the worker's alone.
    std::map<std::filesystem::path, const CFoundObject*> owners_;
    mutable std::mutex failuresMutex_;
    std::vector<Failure> failures_;
};

}  // namespace tl
