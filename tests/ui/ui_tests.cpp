// The desktop program's logic under Qt's offscreen platform: the
// notification sink between workers and the GUI thread, and the main
// window's commands, images and exit.
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMessageBox>
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
#include "app/string_ids.h"
#include "storage/analysis_busy.h"
#include "ui/main/main_frame.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

// Closes the next message box that opens, keeping its text.
class MessageBoxCloser {
public:
    MessageBoxCloser() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start();
    }
    QString text;

private:
    QTimer timer_;
};

AppOptions OptionsIn(const QTemporaryDir& dir, bool mayReadDisks) {
    AppOptions o;
    o.settingsFile = dir.filePath(QStringLiteral("settings.sqlite")).toStdString();
    o.languageFolders = {std::filesystem::path(TL_SOURCE_DIR) / "Languages"};
    o.isAdmin = [mayReadDisks] { return mayReadDisks; };
    o.log.debugOutput = CEventLog::DebugOutput();
    return o;
}

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

        // Once the loop has ended, a worker waiting for an answer gets none
        // instead of waiting for good, and so does every later question.
        std::atomic<bool> returned{false};
        std::thread late([&] {
            answer = sink.Send(platform::AppMessage{id, 1, 50, 0, {}, {}});
            returned = true;
        });
        QTest::qSleep(100);  // the GUI thread runs no loop meanwhile
        QVERIFY(!returned);
        sink.Shutdown();
        late.join();
        QCOMPARE(answer, std::int64_t{0});
        std::thread after([&] { answer = sink.Send(platform::AppMessage{id, 1, 50, 0, {}, {}}); });
        after.join();
        QCOMPARE(answer, std::int64_t{0});
    }
};

class StartUpTest : public QObject {
    Q_OBJECT
private slots:
    // A user who may not read disks (not root, not in the disk group, no
    // udisks2) is told so, through the sink's message box, and the program
    // does not start.
    void aUserWhoMayNotReadDisksIsRefused() {
        QTemporaryDir dir;
        auto sink = std::make_shared<CQtNotificationSink>();
        platform::InstallNotificationSink(sink);
        {
            CApp app(OptionsIn(dir, false));
            MessageBoxCloser closer;
            QVERIFY(!app.Start(true));
            QCOMPARE(closer.text, QString::fromStdString(app.GetString(ids::kAdminAccessPleaseRunAsAdmin)));
        }
        platform::InstallNotificationSink(nullptr);
    }
};

class MainFrameTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        AnalysisBusy() = 0;
        sink_ = std::make_shared<CQtNotificationSink>();
        platform::InstallNotificationSink(sink_);
        app_ = std::make_unique<CApp>(OptionsIn(dir_, true));
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

    // A source that cannot be read (missing, a folder) is told in a message
    // box that names it, and the program goes on.
    void unreadableSourcesAreTold() {
        for (const QString& path : {dir_.filePath(QStringLiteral("no-such.dsk")), dir_.path()}) {
            MessageBoxCloser closer;
            QVERIFY(!frame_->OpenSource(path));
            QVERIFY2(closer.text.contains(path), qPrintable(closer.text));
        }
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
        tl::ui::StartUpTest startUp;
        failed += QTest::qExec(&startUp, argc, argv);
    }
    {
        tl::ui::MainFrameTest frame;
        failed += QTest::qExec(&frame, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}

#include "ui_tests.moc"
