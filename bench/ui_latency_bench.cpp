// How the desktop program's GUI thread keeps up while an analysis runs at
// full speed: the real main window (Qt's offscreen platform), its
// notification sink and the core's session, with a 10 ms timer on the GUI
// thread whose lateness is recorded. Three stretches, in one run:
//   - quiet: the window idle, as the baseline;
//   - the file-system stage of a FAT32 image of 100 000 files
//     (tests/fixtures/make_fat32_big.sh);
//   - the sector stage of a 2 GiB image holding a small picture every
//     4 KiB, so that the scan finds half a million files.
// For each: the worst and the 99th percentile lateness. Targets while the
// analyses run: worst under 100 ms, 99th percentile under 30 ms.
//
//   build/release/bin/tl_ui_latency_bench [WORKDIR]
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/app_messages.h"
#include "ui/main/main_frame.h"
#include "ui/main/qt_notification_sink.h"
#include "ui_bench_support.h"

namespace {

bool MakeSectorImage(const std::filesystem::path& path) {
    // A 1x1 GIF every 4 KiB of 2 GiB.
    static const unsigned char kGif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00,
                                         0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00,
                                         0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
                                         0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20, 0);
    for (std::size_t at = 0; at < block.size(); at += 4096) std::copy(std::begin(kGif), std::end(kGif), block.begin() + at);
    for (int i = 0; i < 2048 && out; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    return static_cast<bool>(out);
}

void Report(const char* what, const Lateness& l) {
    std::printf("  %-44s %8zu %10.1f %10.1f\n", what, l.ticks, l.p99, l.worst);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    const std::filesystem::path work =
        argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path() / "tessa-loft-ui-bench";
    std::filesystem::create_directories(work);
    const std::filesystem::path fat = work / "fat32-big.img";
    const std::filesystem::path sectors = work / "pictures-2g.img";
    if (!std::filesystem::exists(fat)) {
        const std::string make = "bash " TL_SOURCE_DIR "/tests/fixtures/make_fat32_big.sh '" + fat.string() + "' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "the FAT32 image could not be made (dosfstools, mtools, python3)\n");
            return 1;
        }
    }
    if (!std::filesystem::exists(sectors) && !MakeSectorImage(sectors)) {
        std::fprintf(stderr, "the 2 GiB image could not be written in %s\n", work.c_str());
        return 1;
    }

    auto sink = std::make_shared<tl::ui::CQtNotificationSink>();
    tl::platform::InstallNotificationSink(sink);
    int status = 0;
    {
        tl::AppOptions options;
        options.settingsFile = work / "settings.sqlite";
        options.isAdmin = [] { return true; };
        options.log.debugOutput = tl::CEventLog::DebugOutput();
        tl::CApp app(std::move(options));
        app.Start(true);
        app.Settings().SetU32(tl::AppSettings::kShowSplash, 0);
        tl::ui::CMainFrame frame(app, *sink);
        frame.show();

        std::printf("GUI thread: lateness of a 10 ms timer, in ms\n");
        std::printf("  %-44s %8s %10s %10s\n", "stretch", "ticks", "p99", "worst");
        Report("quiet (baseline), 5 s", Measure([] { return false; }, 5000));

        const auto analyse = [&](const std::filesystem::path& image, tl::AnalysisStages stages, const char* what) {
            if (!frame.OpenSource(QString::fromStdString(image.string()))) return false;
            // The run starts from the GUI thread, as the Analyze drop-down starts it.
            bool started = false;
            QTimer::singleShot(0, [&] { started = frame.StartAnalysis(stages); });
            const Lateness l = Measure(
                [&] { return started && !frame.Analysing(); }, 600000);
            Report(what, l);
            return started;
        };
        if (!analyse(fat, tl::AnalysisStages::FileSystem, "file system of 100 000 files (FAT32)") ||
            !analyse(sectors, tl::AnalysisStages::SectorsOnly, "sectors of 2 GiB, a picture every 4 KiB"))
            status = 1;
    }
    tl::platform::InstallNotificationSink(nullptr);
    return status;
}
