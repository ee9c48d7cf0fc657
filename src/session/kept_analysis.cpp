#include "session/kept_analysis.h"

#include "app/event_log.h"
#include "storage/local_computer.h"
#include "storage/volume.h"

namespace tl {
namespace {

bool SectorStageAlone(AnalysisStages stages) {
    return stages == AnalysisStages::SectorStage || stages == AnalysisStages::FreeSpaceSectorStage;
}

bool ReadsSectors(AnalysisStages stages) {
    return stages != AnalysisStages::FileSystem && stages != AnalysisStages::LostVolumes;
}

}  // namespace

CKeptAnalysis::CKeptAnalysis(CLocalComputer& computer, const platform::SettingsStore& store)
    : computer_(computer), store_(store), scan_(computer), session_(computer) {}

CKeptAnalysis::~CKeptAnalysis() {
    if (session_.Running()) {
        session_.Stop();
        while (!session_.Wait(1000)) {
        }
    }
    Tick();
}

CKeptAnalysis::Started CKeptAnalysis::Start(CVolume& source, AnalysisStages stages, GoOnWith with,
                                             const GoOnQuestion& goOn) {
    Started started;
    if (session_.Running()) return started;
    Tick();
    // A search for lost volumes is not kept; with the settings in memory,
    // nothing of the run is.
    const std::string file = CScanSession::DefaultPath(store_, source.DevicePath);
    const bool keep = stages != AnalysisStages::LostVolumes && !file.empty();
    AnalysisStages run = stages;
    bool kept = false;
    std::string error;
    // The sector stage after the file-system stage: one run, one file.
    if (keep && SectorStageAlone(stages) && lastSource_ == &source && scan_.Path() == file)
        kept = scan_.Extend(source, stages, error);
    if (!kept) scan_.End(false);  // the earlier run's writes are done and its file let go
    if (!kept && keep && CScanSession::Unfinished(file) && goOn && goOn(source)) {
        kept = scan_.Load(file, source, true, error);
        started.loaded = true;
        if (!kept) started.refusal = error;
        else if (with == GoOnWith::SavedStages) run = scan_.SavedStages();
    }
    if (!kept && keep) {
        kept = scan_.Begin(file, source, stages, error);
        if (!kept) computer_.Log().LogWarning(error);
    }
    if (!session_.Start(source, run)) {
        if (kept) scan_.End(false);
        return started;
    }
    started.running = true;
    keeping_ = kept;
    partial_ = kept && ReadsSectors(scan_.SavedStages()) && !ReadsSectors(run);
    lastSource_ = kept ? &source : nullptr;
    return started;
}

void CKeptAnalysis::Tick() {
    if (!keeping_ || session_.Running()) return;
    keeping_ = false;
    // A run that leaves stages of the file's run undone, or was stopped,
    // stays unfinished: it may go on later.
    scan_.Finish(!session_.Stopped() && !partial_);
}

std::string CKeptAnalysis::LastFile() {
    if (session_.Running()) return {};
    Tick();
    scan_.End(false);
    return lastSource_ ? scan_.Path() : std::string();
}

}  // namespace tl
