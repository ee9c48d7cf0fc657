// An analysis kept in a scan file as it runs, and a scan file loaded again:
// the journal of a source's analysis (storage/analysis_journal.h).
//
// Writing: Begin makes the file and hangs the session on the source; each
// stage's finds are then handed to a thread of the session's own, which
// writes them in transactions of at most a second or 10 000 records, so the
// analysis never waits for the disk that holds the file. A write that fails
// (a full disk) ends the writing with a log line; the analysis goes on and
// keeps what it finds in memory.
//
// Loading: Load checks that the file names the source, lists the lost
// volumes it kept, fills the found-object trees of the volumes whose
// file-system stage had ended (their parsers reopened, so their files can be
// read and recovered), and, when the run goes on, tells each volume where
// its sector stage resumes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/scan_file.h"
#include "storage/analysis_journal.h"
#include "storage/analysis_session.h"

namespace tl {
namespace platform {
class SettingsStore;
}

class CLocalComputer;
class CVolume;

class CScanSession : public IAnalysisJournal {
public:
    // Transactions end after this many records or this long, whichever comes first.
    static constexpr std::size_t kRecordsPerCommit = 10000;
    static constexpr std::uint32_t kCommitMs = 1000;

    explicit CScanSession(CLocalComputer& computer);
    // Ends the writing (what waits is written) and lets go of the source.
    ~CScanSession() override;
    CScanSession(const CScanSession&) = delete;
    CScanSession& operator=(const CScanSession&) = delete;

    // The default scan file of a source: a file of the folder "scans" in
    // `settingsFolder`, named after the source's path.
    static std::string DefaultPath(const std::filesystem::path& settingsFolder, const std::string& sourcePath);
    // The same, in the folder of the settings database `store`; empty for
    // a store kept in memory (nothing of this run is kept then).
    static std::string DefaultPath(const platform::SettingsStore& store, const std::string& sourcePath);
    // Whether `file` holds a run that did not reach its end.
    static bool Unfinished(const std::string& file);
    // Copies the scan file `from`, which no run holds, to `to`; false, with
    // the reason, when `to` lies on `source` or cannot be written.
    static bool SaveCopy(const std::string& from, const std::string& to, const CVolume& source, std::string& error);
    // The path of the source a scan file was made of; empty, with the
    // reason, when the file cannot be read.
    static std::string SourcePathOf(const std::string& file, std::string& error);

    // Makes a new scan file for a run of `stages` on `source`. False, with
    // the reason, when the file cannot be made, or would lie on the source.
    bool Begin(const std::string& path, CVolume& source, AnalysisStages stages, std::string& error);
    // Opens the scan file at `path`, made for `source`, and loads what it
    // holds. `goOn`: the run goes on and the file is written again. False,
    // with the reason, when it cannot be opened or names another source;
    // what could not be read of a damaged file is in Problems().
    bool Load(const std::string& path, CVolume& source, bool goOn, std::string& error);
    // Goes on writing the file of this session's last run, of the same
    // source, for a next run of `stages` (the sector stage after the
    // file-system stage): what the file holds stays, and the file records
    // the stages of both runs. False when there is no such file, or a
    // volume of the last run is gone.
    bool Extend(CVolume& source, AnalysisStages stages, std::string& error);
    // The file of the last run begun, loaded or extended; empty when none.
    const std::string& Path() const { return path_; }
    // The stages of the saved run, and whether it had ended.
    AnalysisStages SavedStages() const { return savedStages_; }
    bool SavedRunEnded() const { return savedEnded_; }
    const std::vector<std::string>& Problems() const { return problems_; }
    // The volumes the file holds or the run met, in the order they were met.
    std::vector<CVolume*> Volumes();
    // Records loaded, over every volume.
    std::uint64_t LoadedRecords() const { return loaded_; }
    // Ends the run's writing: what waits is written and the file records
    // whether the run reached its end. Finish only asks for it and returns
    // (a window's thread does not wait for the disk); End waits, and lets
    // go of the file.
    void Finish(bool completed);
    void End(bool completed);
    // True once a write failed and the writing ended.
    bool WritingFailed() const { return failed_.load(); }

    // IAnalysisJournal
    void FileSystemStageEnded(CVolume& volume) override;
    void SectorCheckpoint(CVolume& volume, std::uint64_t sector) override;
    void SectorStageEnded(CVolume& volume, bool completed) override;
    bool FileSystemKept(CVolume& volume) override;
    std::optional<std::uint64_t> SectorResumePoint(CVolume& volume) override;

private:
    // What the session knows of one volume of the run.
    struct VolumeState {
        SavedVolume saved;
        CVolume* volume = nullptr;
        std::uint64_t generation = 0;  // of its tree when its records were taken
        std::size_t cursor = 0;        // slots of its tree written (or handed to the writer)
        std::vector<std::int64_t> loadedRows;  // the row of each slot loaded from the file; -1: none
        bool fileSystemKept = false;
        bool sectorStageKept = false;  // the earlier run's sector stage had ended
        bool resumePending = false;    // loaded: its next sector stage goes on from the saved point
        std::int64_t Row(std::size_t slot) const {
            return slot < loadedRows.size() && loadedRows[slot] >= 0
                       ? loadedRows[slot]
                       : CScanFile::RowOf(saved.number, saved.rowBase + static_cast<std::int64_t>(slot));
        }
    };
    // One piece of work for the writer: slots of a volume's tree to copy
    // and write, then the volume's row.
    struct Job {
        CVolume* volume = nullptr;
        std::uint64_t generation = 0;
        std::size_t from = 0, to = 0;
        std::vector<std::size_t> changed;
        SavedVolume saved;
        bool clearRows = false;       // the volume's rows are dropped first
        std::string fact, factValue;  // a fact to write instead, when set
    };

    VolumeState& StateOf(CVolume& volume);
    SavedVolume Describe(CVolume& volume, const VolumeState& state) const;
    void Enqueue(Job job);
    void Attach(CVolume& source);
    void Detach();
    void WriterLoop();
    bool WriteJob(const Job& job, std::size_t& written);
    void FailWriting(const std::string& why);
    // Fills the tree of `volume` from the file; false when nothing was loaded.
    bool LoadVolume(VolumeState& state);
    CVolume* FindOrAddVolume(CVolume& source, const SavedVolume& saved);

    CLocalComputer& computer_;
    CVolume* source_ = nullptr;
    CScanFile file_;
    std::string path_;
    std::mutex mutex_;  // the states and the queue
    std::condition_variable wake_;
    std::map<CVolume*, VolumeState> states_;
    int nextNumber_ = 1;
    std::deque<Job> queue_;
    bool stopWriter_ = false;
    bool finishing_ = false;  // the end of the run's writing was asked
    bool writing_ = false;  // a job is being written
    std::thread writer_;
    std::atomic<bool> failed_{false};
    AnalysisStages savedStages_ = AnalysisStages::FileSystem;
    bool savedEnded_ = false;
    std::vector<std::string> problems_;
    std::uint64_t loaded_ = 0;
};

}  // namespace tl
