// The analyses a window runs, each kept in its source's scan file.
//
// A run starts through Start: a source whose scan file holds a run that did
// not reach its end is offered to go on (the window asks the person); else
// a new scan file is begun. A sector stage started after a file-system
// stage of the same source goes on in the file of that stage, so the two
// read as one run. The window calls Tick while it runs: once the run has
// ended, its end is written on the session's own thread, and the window
// never waits for the disk that holds the file.
#pragma once

#include <functional>
#include <string>

#include "session/scan_session.h"
#include "storage/analysis_session.h"

namespace tl {
namespace platform {
class SettingsStore;
}

class CKeptAnalysis {
public:
    // Whether the unfinished run kept for `source` goes on.
    using GoOnQuestion = std::function<bool(CVolume& source)>;
    // Which stages a run that goes on runs: those of the saved run, or
    // those asked for (a wizard that runs its stages one by one).
    enum class GoOnWith { SavedStages, AskedStages };

    struct Started {
        bool running = false;  // the run started
        bool loaded = false;   // a scan file was read: the drive list may hold more volumes
        std::string refusal;   // why the scan file that was to go on could not
    };

    CKeptAnalysis(CLocalComputer& computer, const platform::SettingsStore& store);
    // A run that goes on is stopped first; then its end is written.
    ~CKeptAnalysis();
    CKeptAnalysis(const CKeptAnalysis&) = delete;
    CKeptAnalysis& operator=(const CKeptAnalysis&) = delete;

    // The session the runs are started in.
    CAnalysisSession& Session() { return session_; }

    Started Start(CVolume& source, AnalysisStages stages, GoOnWith with, const GoOnQuestion& goOn);
    // Writes the end of a run that ended; cheap when nothing ended.
    void Tick();
    // The scan file of the last kept run, its writes done and the file let
    // go; empty when no run was kept.
    std::string LastFile();
    // Whether the last run was kept in a scan file.
    bool Kept() const { return lastSource_ != nullptr; }

private:
    CLocalComputer& computer_;
    const platform::SettingsStore& store_;
    // The scan file outlives the run that writes to it.
    CScanSession scan_;
    CAnalysisSession session_;
    bool keeping_ = false;
    bool partial_ = false;  // the run leaves the sector stage of the file's run to do
    CVolume* lastSource_ = nullptr;
};

}  // namespace tl
