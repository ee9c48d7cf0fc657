#include "filesystems/volume_parser.h"

#include "app/event_log.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"

namespace tl {

CVolumeParser::CVolumeParser(CVolume& volume) : volume_(volume), busy_(&AnalysisBusy()) {
    TypeCode = volume.FileSystem().TypeCode;
    TypeName = volume.FileSystem().TypeName;
    FsFlags = volume.FileSystem().FsFlags;
}

CVolumeParser::~CVolumeParser() { volume_.Close(); }

bool CVolumeParser::Busy() const {
    if (busy_ == nullptr) return true;
    if (busy_ == &AnalysisBusy()) return volume_.PausePoint();  // waits while the worker is paused
    return busy_->load(std::memory_order_relaxed) != 0;
}

void CVolumeParser::Log(int level, const std::string& text) const {
    if (CEventLog* log = volume_.Context().log) log->Write(level, text);
}

}  // namespace tl
