#include "cli/progress_line.h"

#include <algorithm>

#include "app/string_ids.h"
#include "app/text_format.h"
#include "storage/volume.h"

namespace tl::cli {
namespace {

std::string Duration(double seconds) {
    const auto s = static_cast<std::uint64_t>(std::max(0.0, seconds) + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                      static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                      static_cast<unsigned long long>(s % 60));
    return text;
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, bool terminal, std::function<CVolume*()> currentVolume)
    : out_(out), terminal_(terminal), currentVolume_(std::move(currentVolume)) {}

std::string ProgressLine::Format(const std::string& volume, const char* stage, std::uint64_t pos, std::uint64_t end,
                                 double seconds, bool closing) {
    // A stage with nothing to cover (no file system, no free space) is done
    // when it closes.
    double done = end ? std::min(1.0, static_cast<double>(pos) / static_cast<double>(end)) : closing ? 1.0 : 0.0;
    if (!closing) done = std::min(done, 0.999);  // 100 % is said once, when the stage has ended
    const double bytes = static_cast<double>(std::min(pos, end ? end : pos)) * 512.0;
    const double rate = seconds > 0 ? bytes / seconds : 0.0;
    std::string tail;
    if (closing) tail = "done in " + Duration(seconds);
    else if (rate > 0 && end > pos) tail = Duration(static_cast<double>(end - pos) * 512.0 / rate) + " left";
    else tail = "-:-- left";
    char text[512];
    std::snprintf(text, sizeof text, "%s  %-11s %5.1f%%  %9.1f MB/s  %s", volume.c_str(), stage, 100.0 * done,
                  rate / 1e6, tail.c_str());
    return text;
}

std::string ProgressLine::Line(const Stage& stage, Clock::time_point now, bool closing) const {
    const double seconds = std::chrono::duration<double>(now - stage.started).count();
    return Format(stage.name, stage.label, stage.volume->ProgressPos.load(), stage.volume->ProgressEnd.load(), seconds,
                  closing);
}

void ProgressLine::StageBegins(std::uint64_t stringId) {
    const char* label = stringId == ids::kAnalyzingFileSystem ? "file system"
                        : stringId == ids::kAnalyzingDriveSectors ? "sectors"
                                                                  : nullptr;
    if (!label) return;
    CVolume* volume = currentVolume_();
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    // A stage whose end was not told: its counters are still its own, the
    // next stage resets them only after this notification.
    if (active_) closed_.push_back(Line(*active_, now, true));
    active_.reset();
    if (!volume) return;
    active_ = Stage{volume, EscapeControls(volume->GetName()), label, now};
    lastDraw_.reset();  // its first line at once
}

void ProgressLine::StageEnds() {
    std::lock_guard lock(mutex_);
    if (active_) closed_.push_back(Line(*active_, Clock::now(), true));
    active_.reset();
}

void DrawProgressLine(std::FILE* out, bool terminal, const std::string& line, bool closing) {
    if (terminal) std::fprintf(out, "\r%s\033[K%s", line.c_str(), closing ? "\n" : "");
    else std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

void ProgressLine::Write(const std::string& line, bool closing) { DrawProgressLine(out_, terminal_, line, closing); }

void ProgressLine::Tick() {
    std::lock_guard lock(mutex_);
    for (const auto& line : closed_) Write(line, true);
    closed_.clear();
    if (!active_) return;
    const auto now = Clock::now();
    const auto every = terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
    if (lastDraw_ && now - *lastDraw_ < every) return;
    lastDraw_ = now;
    Write(Line(*active_, now, false), false);
}

void ProgressLine::Finish() {
    std::lock_guard lock(mutex_);
    for (const auto& line : closed_) Write(line, true);
    closed_.clear();
    if (active_) Write(Line(*active_, Clock::now(), true), true);
    active_.reset();
}

}  // namespace tl::cli
