// The stages of a volume's analysis on its worker thread: drive
// initialisation, boot sector, file system (and, when asked, sectors), with
// the volume's state, the counts, the log lines and the notifications the
// interface reacts to.
#include <chrono>

#include "app/app_messages.h"
#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/notify.h"
#include "signatures/analyser.h"
#include "platform/thread_priority.h"
#include "platform/time.h"
#include "storage/analysis_busy.h"
#include "storage/analysis_journal.h"
#include "storage/local_computer.h"
#include "storage/volume.h"

namespace tl {

bool CVolume::StartWorker(std::function<void()> body, const char* failureLine) {
    std::lock_guard lock(workerMutex_);
    if (workerRunning_.load()) return false;
    if (worker_.joinable()) worker_.join();  // the previous worker has ended
    workerRunning_ = true;
    worker_ = std::thread([this, body = std::move(body), failureLine] {
        workerId_ = std::this_thread::get_id();
        platform::SetCurrentThreadLowPriority();
        try {
            body();
        } catch (...) {
            if (context_.log) context_.log->LogError(failureLine);
        }
        {
            std::lock_guard done(workerMutex_);
            workerRunning_ = false;
            workerId_ = std::thread::id();
        }
        workerCv_.notify_all();
    });
    return true;
}

bool CVolume::WaitForWorker(std::uint32_t timeoutMs) {
    std::unique_lock lock(workerMutex_);
    return workerCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !workerRunning_.load(); });
}

void CVolume::ResumeWorker() {
    // Cleared under the worker's lock: a stage between its test of the flag
    // and its wait would otherwise miss the wake-up and wait for good.
    {
        std::lock_guard lock(workerMutex_);
        paused_ = false;
    }
    workerCv_.notify_all();
}

bool CVolume::PausePoint() {
    if (paused_.load()) {
        std::unique_lock lock(workerMutex_);
        workerCv_.wait(lock, [this] { return !paused_.load() || AnalysisBusy().load() == 0; });
    }
    return AnalysisBusy().load() != 0;
}

int CVolume::Stop() {
    // The stages check AnalysisBusy between entries, records and blocks;
    // the caller has cleared it. A paused worker is woken to see it.
    RequestStop();
    ResumeWorker();
    if (workerRunning_.load() && workerId_.load() != std::this_thread::get_id()) {
        if (!WaitForWorker(1000)) {
            State = 1;
            if (context_.log)
                context_.log->LogInfo(FormatMessageText(context_.texts, ids::kAnalysisStopped, GetName()));
        }
    }
    return 1;
}

void CVolume::EndWorker() {
    if (workerId_.load() == std::this_thread::get_id()) State = 1;
    // The thread ends when its body returns; from another thread nothing is
    // ended by force: Stop has asked it to finish.
}

std::int32_t CVolume::Analyse_Do() {
    if (context_.log) context_.log->LogInfo(FormatMessageText(context_.texts, ids::kInitializingDrive, GetName()));
    if (!OpenDrive()) return static_cast<std::int32_t>(0x80004005);
    State = 4;
    Analyse_Boot();
    // A stop while the boot sector was read cleared the busy flag, which the
    // file-system stage would set again: the analysis ends here.
    if (AnalysisBusy().load() == 0 || StopRequested()) return 1;
    // A run that goes on from a scan file has the file system's records
    // loaded already.
    IAnalysisJournal* journal = JournalOf();
    if (!journal || !journal->FileSystemKept(*this)) {
        AnalyseFileSystem();
    } else {
        State = 1;
        platform::PostAppMessage(0, msg::kFileSystemStageEnded);
    }
    // A stop during the file-system stage ends the whole analysis: the stop
    // clears the busy flag, and the stage still ends in state 1.
    const int thisRun = SectorsThisRun.load();
    const bool sectors = thisRun >= 0 ? thisRun != 0 : context_.settings && context_.settings->SectorsAfterFileSystem();
    if (sectors && State.load() == 1 && AnalysisBusy().load() != 0 && !StopRequested())
        AnalyseSectors();
    return 1;
}

void CVolume::StartFileSystemAnalysis() {
    ClearStopRequest();
    CLocalComputer::SetCurrentVolumeOf(*this, true);
    ProgressPos = 0;
    ProgressEnd = 0;  // in sectors, set by the parser (see AnalyseFileSystem)
    StartWorker(
        [this] {
            // The stage is an analysis of its own: when it ends, nothing is
            // busy any more, or every later request would only be queued.
            State = 4;
            try {
                AnalyseFileSystem();
            } catch (...) {
                State = 1;
                AnalysisBusy() = 0;
                throw;
            }
            State = 1;
            AnalysisBusy() = 0;
        },
        "AnalyseFileSystem.FatalError");
}

// Set before the stop request is read, which a stop sets before it clears the
// flag: a stop that comes meanwhile is seen either way.
void CVolume::BecomeBusy() {
    AnalysisBusy() = 1;
    if (StopRequested()) AnalysisBusy() = 0;
}

void CVolume::StartSectorAnalysis(std::uint32_t mode) {
    ClearStopRequest();
    ScanMode = mode;
    ProgressPos = 0;
    ProgressEnd = TotalSectors;
    CLocalComputer::SetCurrentVolumeOf(*this, false);
    SectorScanRunning = 1;
    StartWorker(
        [this] {
            State = 2;
            BecomeBusy();
            try {
                AnalyseSectors();
            } catch (...) {
                // A stage that failed is over: the volume may be analysed again.
                State = 1;
                SectorScanRunning = 0;
                AnalysisBusy() = 0;
                throw;
            }
            AnalysisBusy() = 0;
        },
        "AnalyseSectors.FatalError");
}

void CVolume::AnalyseSectors() {
    // An earlier run whose sector stage ended found all there is: its finds
    // are loaded from its scan file.
    IAnalysisJournal* journal = JournalOf();
    const std::optional<std::uint64_t> resumeFrom = journal ? journal->SectorResumePoint(*this) : std::optional<std::uint64_t>(0);
    if (!resumeFrom) {
        State = 1;
        SectorScanRunning = 0;
        return;
    }
    // A scan that goes on counts what its earlier runs found too.
    if (*resumeFrom == 0) {
        ScanFolders = 0;
        ScanFiles = 0;
    }
    CLocalComputer::SetCurrentVolumeOf(*this, false);
    State = 2;
    platform::SendAppMessage(0, msg::kStatusText, ids::kAnalyzingDriveSectors);
    const std::uint64_t started = platform::TickCountMs();
    CEventLog* log = context_.log;
    if (log) log->LogInfo(FormatMessageText(context_.texts, ids::kStartingSectorAnalysis));
    foundTree_->BuildOffsetIndex();
    BuildUsedIndex();
    platform::PostAppMessage(0, msg::kSectorStageBegan, reinterpret_cast<std::uintptr_t>(this), 0);
    SectorScanRunning = 1;
    // Reset after the stage's status text: until then the counters are the
    // stage before's, which the interface may still show as ended.
    ProgressPos = 0;
    ProgressEnd = Size / 512;
    {
        CAnalyser analyser(*this);
        if (FreeSpaceOnly.load()) {
            analyser.Ranges = FreeRanges();
            // The progress is of the sectors that are read.
            ProgressEnd = SectorsIn(analyser.Ranges);
            if (analyser.Ranges.empty()) analyser.Ranges.push_back({0, 0});  // nothing free: nothing to read
        }
        if (journal) {
            analyser.ResumeFrom = *resumeFrom;
            analyser.Checkpoint = [this, journal](std::uint64_t sector) { journal->SectorCheckpoint(*this, sector); };
        }
        const bool completed = analyser.Analyse() == 0 && AnalysisBusy().load() != 0 && !StopRequested();
        if (journal) journal->SectorStageEnded(*this, completed);
    }
    State = 1;
    foundTree_->PostChanges();  // the stage's last finds are told before its end
    platform::PostAppMessage(0, msg::kSectorStageEnded, reinterpret_cast<std::uintptr_t>(this), 0);
    SectorScanRunning = 0;
    // One summary for the stage: the analyser itself logs none.
    const std::uint64_t t = platform::TickCountMs() - started;
    if (log) {
        log->LogInfo(FormatMessageText(context_.texts, ids::kAnalysisCompletedCounts, static_cast<int>(ScanFolders.load()),
                                       static_cast<int>(ScanFiles.load())));
        log->LogInfo(FormatMessageText(context_.texts, ids::kAnalysisDuration, static_cast<int>(t / 60000),
                                       static_cast<int>((t / 1000) % 60)));
    }
    Close();
}

std::vector<SECTOR_RUN> CVolume::FreeRanges() const {
    std::vector<SECTOR_RUN> used;
    for (const auto& u : fileSystem_->UsedSpace) used.push_back({u.start, u.length});
    return CAnalyser::FreeRanges(std::move(used), Size / 512);
}

std::uint64_t CVolume::SectorsIn(const std::vector<SECTOR_RUN>& ranges) {
    std::uint64_t sectors = 0;
    for (const auto& r : ranges) sectors += r.SectorCount;
    return sectors;
}

std::optional<std::uint64_t> CVolume::FreeSectorCount() const {
    if (FileSystemOutcome.load() != FsOutcome::Read || !fileSystem_) return std::nullopt;
    return SectorsIn(FreeRanges());
}

void CVolume::SayWhatIsNotRead() {
    CEventLog* log = context_.log;
    // A disk whose table lists volumes holds no file system of its own:
    // its volumes are read on their own.
    if (fileSystem_->TypeCode == 0 && PartitionsListed.load() != 0) {
        FileSystemOutcome = FsOutcome::PartitionTable;
        if (log) log->LogInfo(FormatMessageText(context_.texts, ids::kPartitionTableVolumes, static_cast<int>(PartitionsListed.load())));
        return;
    }
    // What the volume holds, when another program's file system: named, so
    // that nobody takes an empty listing for an empty volume.
    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(kProbeBytes, Size ? Size : kProbeBytes)), 0);
    const std::uint32_t got = head.empty() ? 0 : ReadSectors(head.data(), 0, std::uint64_t{head.size() / kSectorBytes});
    head.resize(got);
    std::optional<platform::VolumeProbe> probe;
    if (!head.empty()) probe = platform::ProbeVolumeBytes(head);
    if (probe && !probe->type.empty()) {
        ProbedFileSystem = probe->type;
        FileSystemOutcome = FsOutcome::NotRead;
        if (log) log->LogInfo(FormatMessageText(context_.texts, ids::kFileSystemNotRead, probe->type));
        return;
    }
    FileSystemOutcome = FsOutcome::NoFileSystem;
    if (log) log->LogInfo(FormatMessageText(context_.texts, ids::kNoFileSystemDetected));
}

void CVolume::AnalyseFileSystem() {
    FsFolders = 0;
    FsFiles = 0;
    const std::uint64_t started = platform::TickCountMs();
    // ProgressPos and ProgressEnd count 512-byte sectors in every stage; the
    // parser sets the end (the space in use, or the MFT) once it knows it.
    ProgressPos = 0;
    ProgressEnd = 0;
    BecomeBusy();
    State = 4;
    platform::SendAppMessage(0, msg::kStatusText, ids::kAnalyzingFileSystem);
    CEventLog* log = context_.log;
    if (log) log->LogInfo(FormatMessageText(context_.texts, ids::kBeginningFileSystemAnalysis));

    CFoundTree& tree = *foundTree_;
    tree.Clear();
    tree.AddToIndexes(*this);
    const std::uint32_t code = fileSystem_->TypeCode;
    const auto runParser = [&](std::unique_ptr<CFileSystem> parser, std::uint64_t rootId) {
        CFileSystem& fs = *parser;
        SetFileSystem(std::move(parser));
        // The root is read under the tree's lock by the interface meanwhile.
        tree.WithLock([&] {
            tree.Root()->Id = rootId;
            tree.Root()->ParentId = Id;
            tree.AddToIndexes(*tree.Root());
        });
        fs.Initialize();
    };
    FileSystemOutcome = FsOutcome::Read;
    if (OpenedFileSystem opened = OpenFileSystem(*this, code); opened.parser)
        runParser(std::move(opened.parser), opened.rootId);
    else
        SayWhatIsNotRead();

    // A stage that was not stopped has done all it will do.
    const bool completed = AnalysisBusy().load() != 0;
    if (completed) ProgressPos = ProgressEnd.load();
    BuildUsedIndex();  // what live files hold, for the verdicts on deleted ones
    if (IAnalysisJournal* journal = JournalOf(); journal && completed) journal->FileSystemStageEnded(*this);
    tree.PostChanges();  // the stage's last records are told before its end
    platform::PostAppMessage(0, msg::kFileSystemStageEnded);
    State = 1;
    HasNewObjects = 0;
    const std::uint64_t t = platform::TickCountMs() - started;
    if (log) {
        log->LogInfo(FormatMessageText(context_.texts, ids::kAnalysisDuration, static_cast<int>(t / 60000),
                                       static_cast<int>((t / 1000) % 60)));
        log->LogInfo(FormatMessageText(context_.texts, ids::kAnalysisCompletedCounts, static_cast<int>(FsFolders.load()),
                                       static_cast<int>(FsFiles.load())));
    }
}

}  // namespace tl
