#include "cli/image_command.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/app.h"
#include "cli/cli_sink.h"
#include "cli/volume_commands.h"
#include "platform/block_devices.h"
#include "platform/time.h"
#include "storage/image_creation.h"
#include "storage/local_computer.h"

namespace tl::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

struct Options {
    std::string source;
    std::string out;
    bool progress = false;
};

// "12 345": digits grouped in threes.
std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return out;
}

// A terminal gets one line redrawn; anything else a line at every tenth.
class ProgressLine {
public:
    ProgressLine(bool wanted, const CImageCreation& job) : wanted_(wanted), tty_(::isatty(STDERR_FILENO) != 0), job_(job) {}
    void Update() {
        if (!wanted_) return;
        const int percent = job_.ProgressPercent();
        const double seconds = static_cast<double>(platform::TickCountMs() - job_.StartTick.load()) / 1000.0;
        if (tty_) {
            std::fprintf(stderr, "\r%3d%%  %s of %s sectors  %6.1f s  %s KB/s  %s unreadable", percent,
                         Grouped(job_.Position.load()).c_str(), Grouped(job_.SectorTotal.load()).c_str(), seconds,
                         Grouped(job_.KilobytesPerSecond()).c_str(), Grouped(job_.UnreadableSectors.load()).c_str());
            drawn_ = true;
        } else if (percent / 10 > shown_ / 10) {
            shown_ = percent;
            std::fprintf(stderr, "image: %d%% (%s of %s sectors, %s KB/s, %s unreadable)\n", percent,
                         Grouped(job_.Position.load()).c_str(), Grouped(job_.SectorTotal.load()).c_str(),
                         Grouped(job_.KilobytesPerSecond()).c_str(), Grouped(job_.UnreadableSectors.load()).c_str());
        }
        std::fflush(stderr);
    }
    void End() {
        Update();
        if (drawn_) std::fprintf(stderr, "\n");
    }

private:
    bool wanted_;
    bool tty_;
    const CImageCreation& job_;
    int shown_ = 0;
    bool drawn_ = false;
};

int Run(CApp& app, CliSink& sink, const Options& o) {
    CVolume* source = OpenSourceVolume(app, o.source);
    if (!source) return kExitFailure;
    auto job = std::make_shared<CImageCreation>();
    job->SourceVolume = source;
    std::error_code ec;
    job->FileName = std::filesystem::absolute(o.out, ec).lexically_normal().string();
    CLocalComputer& computer = app.Computer();
    if (!computer.StartImageCreation(job)) {
        std::fprintf(stderr, "tessa-loft-cli: %s\n", job->Problem.empty() ? "the copy could not be started" : job->Problem.c_str());
        return kExitFailure;
    }
    ProgressLine progress(o.progress, *job);
    while (!job->WaitForEnd(250)) {
        sink.Drain();
        progress.Update();
    }
    sink.Drain();
    progress.End();

    CVolume* image = computer.LoadCreatedImage(*job);
    if (!image) {
        std::fprintf(stderr, "tessa-loft-cli: %s\n",
                     job->Problem.empty() ? ("the image " + job->FileName + " was not completed").c_str() : job->Problem.c_str());
        return kExitFailure;
    }
    PrintVolumeInformation(app, *image);
    const std::uint64_t missing = job->UnreadableSectors.load();
    if (missing == 0) {
        std::printf("\nImage complete: %s sectors copied to %s\n", Grouped(job->SectorTotal.load()).c_str(), job->FileName.c_str());
        return kExitOk;
    }
    std::printf("\nImage incomplete: %s of %s sectors could not be read and are zeros in %s\n", Grouped(missing).c_str(),
                Grouped(job->SectorTotal.load()).c_str(), job->FileName.c_str());
    return kExitFailure;
}

}  // namespace

ImageCommand AddImageCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* image = cli.add_subcommand("image", "Copy a volume sector by sector into a drive image file, then describe the image");
    image->add_option("SOURCE", o->source, "An image file or a block device (/dev/sdb)")->required();
    image->add_option("--out", o->out, "The image file to write (FILE.dsk); an existing file is replaced")->required();
    image->add_flag("--progress", o->progress, "Progress on standard error (a line at every tenth when it is no terminal)");
    ImageCommand command;
    command.opensDevice = [=] { return image->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app, CliSink& sink) -> int { return image->parsed() ? Run(app, sink, *o) : -1; };
    return command;
}

}  // namespace tl::cli
