// The desktop program's logic under Qt's offscreen platform: the
// notification sink between workers and the GUI thread, and the main
// window's commands, images and exit.
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <QtTest>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/app_messages.h"
#include "storage/analysis_busy.h"
#include "ui/main/main_frame.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

class QtSinkTest : public QObject {
    Q_OBJECT
private slots:
    // What workers post reaches the window's handler on the GUI thread, in
    // the order posted; nothing reaches a window that is gone.
    void postsArriveInOrderOnTheGuiThread() {
        CQtNotificationSink sink;
        QWidget window;
        std::vector<std::uint64_t> seen;
        bool offThread = false;
        const platform::WindowId id = sink.RegisterWindow(&window, [&](const platform::AppMessage& m) {
            offThread |= QThread::currentThread() != qApp->thread();
            seen.push_back(m.wparam);
            return 0;
        });
        std::thread worker([&] {
            for (std::uint64_t i = 0; i < 1000; ++i) sink.Post(platform::AppMessage{id, 1, i, 0, {}, {}});
        });
        worker.join();
        QTRY_COMPARE(seen.size(), std::size_t{1000});
        QVERIFY(!offThread);
        for (std::uint64_t i = 0; i < 1000; ++i) QCOMPARE(seen[i], i);

        sink.UnregisterWindow(id);
        sink.Post(platform::AppMessage{id, 1, 5000, 0, {}, {}});
        QTest::qWait(50);
        QCOMPARE(seen.size(), std::size_t{1000});
    }

    // A worker's question waits for the GUI thread's answer; a question of
    // the GUI thread is answered at once. Id 0 names the top-level window.
    void sentQuestionsGetTheirAnswers() {
        CQtNotificationSink sink;
        QWidget window;
        std::atomic<bool> onGui{false};
        const platform::WindowId id = sink.RegisterWindow(&window, [&](const platform::AppMessage& m) {
            onGui = QThread::currentThread() == qApp->thread();
            return static_cast<std::int64_t>(m.wparam * 2);
        });
        sink.SetTopWindow(id);
        std::int64_t answer = 0;
        std::thread worker([&] { answer = sink.Send(platform::AppMessage{0, 1, 21, 0, {}, {}}); });
        QTRY_VERIFY(answer == 42);
        worker.join();
        QVERIFY(onGui);
        QCOMPARE(sink.Send(platform::AppMessage{id, 1, 4, 0, {}, {}}), std::int64_t{8});
    }
};

class MainFrameTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        AnalysisBusy() = 0;
        sink_ = std::make_shared<CQtNotificationSink>();
        platform::InstallNotificationSink(sink_);
        AppOptions o;
        o.settingsFile = dir_.filePath(QStringLiteral("settings.sqlite")).toStdString();
        o.languageFolders = {std::filesystem::path(TL_SOURCE_DIR) / "Languages"};
        o.isAdmin = [] { return true; };
        o.log.debugOutput = CEventLog::DebugOutput();
        app_ = std::make_unique<CApp>(std::move(o));
        QVERIFY(app_->Start(true));
        frame_ = std::make_unique<CMainFrame>(*app_, *sink_);
    }
    void cleanup() {
        frame_.reset();
        app_.reset();
        platform::InstallNotificationSink(nullptr);
        sink_.reset();
        AnalysisBusy() = 0;
    }

    // While an analysis runs, only "Stop Analyzing" of the drive commands is
    // enabled; without a selected volume nothing can be analysed.
    void commandsFollowTheAnalysisAndTheSelection() {
        const QString image = dir_.filePath(QStringLiteral("blank.dsk"));
        std::ofstream(image.toStdString(), std::ios::binary) << std::string(64 * 512, '\0');
        QVERIFY(frame_->OpenSource(image));
        frame_->UpdateCommands();
        QVERIFY(frame_->Command(cmd::kStartAnalyzing)->isEnabled());
        QVERIFY(frame_->Command(cmd::kLoadDriveImage)->isEnabled());
        QVERIFY(!frame_->Command(cmd::kStopAnalyzing)->isEnabled());

        AnalysisBusy() = 1;
        frame_->UpdateCommands();
        for (unsigned id : {cmd::kStartAnalyzing, cmd::kLoadDriveImage, cmd::kRescanDrives, cmd::kSearchLostDrives})
            QVERIFY2(!frame_->Command(id)->isEnabled(), qPrintable(QString::number(id)));
        QVERIFY(frame_->Command(cmd::kStopAnalyzing)->isEnabled());
    }

    // Closing without the confirmation stores the window's place and saves.
    void closingStoresTheWindowRectangle() {
        app_->Settings().SetU32(AppSettings::kConfirmExit, 0);
        frame_->setGeometry(120, 80, 900, 640);
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
        QVERIFY(frame_->close());
        const WindowRect r = app_->Settings().GetWindowRect();
        QCOMPARE(r.width, 900);
        QCOMPARE(r.height, 640);
    }

    // Disabled images are grey copies: 0.299 R + 0.587 G + 0.114 B, alpha kept.
    void disabledImagesAreGreyByTheFormula() {
        QImage image(1, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(200, 100, 50, 128));
        const QRgb grey = GreyCopy(image).pixel(0, 0);
        QCOMPARE(qRed(grey), 124);
        QCOMPARE(qGreen(grey), 124);
        QCOMPARE(qBlue(grey), 124);
        QCOMPARE(qAlpha(grey), 128);
    }

private:
    QTemporaryDir dir_;
    std::shared_ptr<CQtNotificationSink> sink_;
    std::unique_ptr<CApp> app_;
    std::unique_ptr<CMainFrame> frame_;
};

}  // namespace tl::ui

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int failed = 0;
    {
        tl::ui::QtSinkTest sink;
        failed += QTest::qExec(&sink, argc, argv);
    }
    {
        tl::ui::MainFrameTest frame;
        failed += QTest::qExec(&frame, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}

#include "ui_tests.moc"
