// The progress of an analysis on standard error: for the running stage its
// percentage, the bytes it covers per second and the time it has left,
// redrawn in place a few times a second on a terminal (a line a second
// otherwise), and a closing line when the stage ends.
//
// Stages are followed by the notifications the engine gives on the
// analysing thread: the status text sent when a stage begins, and the
// stage's end, posted once its counters hold their last figures. So every
// stage is closed with its own figures and duration, however short it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tl {
class CVolume;
}

namespace tl::cli {

// Writes one line of progress to `out`: on a terminal it replaces the line
// drawn before, and `closing` ends it so that the next one stands below;
// elsewhere every line stands on its own.
void DrawProgressLine(std::FILE* out, bool terminal, const std::string& line, bool closing);

class ProgressLine {
public:
    // `currentVolume` tells the volume whose stage begins (the computer's
    // current volume).
    ProgressLine(std::FILE* out, bool terminal, std::function<CVolume*()> currentVolume);

    // A stage begins: `stringId` is the status text the engine sent (the
    // file-system or the sector stage). Called on the analysing thread.
    void StageBegins(std::uint64_t stringId);
    // The running stage has ended. Called on the analysing thread.
    void StageEnds();
    // Draws when it is time; called by the waiting loop.
    void Tick();
    // The analysis is over: closes the last stage's line.
    void Finish();

    // One line: `pos` and `end` in 512-byte sectors, `seconds` since the
    // stage began; `closing` gives the stage's duration instead of the time left.
    static std::string Format(const std::string& volume, const char* stage, std::uint64_t pos, std::uint64_t end,
                              double seconds, bool closing);

private:
    using Clock = std::chrono::steady_clock;
    struct Stage {
        CVolume* volume = nullptr;
        std::string name;
        const char* label = "";
        Clock::time_point started;
    };
    std::string Line(const Stage& stage, Clock::time_point now, bool closing) const;
    void Write(const std::string& line, bool closing);

    std::FILE* out_;
    bool terminal_;
    std::function<CVolume*()> currentVolume_;
    std::mutex mutex_;
    std::optional<Stage> active_;
    std::vector<std::string> closed_;  // closing lines not yet written
    std::optional<Clock::time_point> lastDraw_;
};

}  // namespace tl::cli
