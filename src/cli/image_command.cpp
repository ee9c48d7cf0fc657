#include "cli/image_command.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/app.h"
#include "app/text_format.h"
#include "cli/cli_sink.h"
#include "cli/exit_codes.h"
#include "cli/progress_line.h"
#include "cli/volume_commands.h"
#include "platform/block_devices.h"
#include "platform/terminal.h"
#include "platform/time.h"
#include "storage/image_creation.h"
#include "storage/local_computer.h"

namespace tl::cli {
namespace {

struct Options {
    std::string source;
    std::string out;
    bool progress = false;
};

// A terminal gets one line redrawn; anything else a line at every tenth.
class ImageProgress {
public:
    ImageProgress(bool wanted, const CImageCreation& job)
        : wanted_(wanted), tty_(platform::IsTerminal(stderr)), job_(job) {}
    void Update(bool closing = false) {
        if (!wanted_) return;
        const int percent = job_.ProgressPercent();
        const double seconds = static_cast<double>(platform::TickCountMs() - job_.StartTick.load()) / 1000.0;
        const std::string position = GroupedDigits(job_.Position.load()), total = GroupedDigits(job_.SectorTotal.load());
        const std::string rate = GroupedDigits(job_.KilobytesPerSecond());
        const std::string unreadable = GroupedDigits(job_.UnreadableSectors.load());
        char text[256];
        if (tty_) {
            std::snprintf(text, sizeof text, "%3d%%  %s of %s sectors  %6.1f s  %s KB/s  %s unreadable", percent,
                          position.c_str(), total.c_str(), seconds, rate.c_str(), unreadable.c_str());
            DrawProgressLine(stderr, true, text, closing);
        } else if (percent / 10 > shown_ / 10) {
            shown_ = percent;
            std::snprintf(text, sizeof text, "image: %d%% (%s of %s sectors, %s KB/s, %s unreadable)", percent,
                          position.c_str(), total.c_str(), rate.c_str(), unreadable.c_str());
            DrawProgressLine(stderr, false, text, closing);
        }
    }
    void End() { Update(true); }

private:
    bool wanted_;
    bool tty_;
    const CImageCreation& job_;
    int shown_ = 0;
};

int Run(CApp& app, CliSink&, const Options& o) {
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
    ImageProgress progress(o.progress, *job);
    while (!job->WaitForEnd(250)) progress.Update();
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
        std::printf("\nImage complete: %s sectors copied to %s\n", GroupedDigits(job->SectorTotal.load()).c_str(), job->FileName.c_str());
        return kExitOk;
    }
    std::printf("\nImage incomplete: %s of %s sectors could not be read and are zeros in %s\n", GroupedDigits(missing).c_str(),
                GroupedDigits(job->SectorTotal.load()).c_str(), job->FileName.c_str());
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
