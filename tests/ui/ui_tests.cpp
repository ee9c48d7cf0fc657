// The desktop program's logic under Qt's offscreen platform: the
// notification sink between workers and the GUI thread, and the main
// window's commands, images and exit.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "storage/analysis_busy.h"
#include "storage/image_creation.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "filesystems/found_tree.h"
#include "signatures/signature_database.h"
#include "ui/common/file_type_tree.h"
#include "ui/dialogs/file_format_properties_dlg.h"
#include "ui/dialogs/file_information_dlg.h"
#include "ui/dialogs/filters_view.h"
#include "ui/dialogs/on_recovery_dlg.h"
#include "ui/dialogs/probable_file_size_dlg.h"
#include "ui/dialogs/recovery_progress_dlg.h"
#include "ui/dialogs/try_open_dlg.h"
#include "ui/dialogs/volume_image_create_dlg.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/files_tree_view.h"
#include "ui/explorer/found_rows.h"
#include "ui/explorer/search_bar_view.h"
#include "ui/explorer/volume_explore_view.h"
#include "ui/hexview/hex_editor_ctrl.h"
#include "ui/hexview/hex_editor_pane.h"
#include "ui/hexview/hex_viewer_pane.h"
#include "ui/main/main_frame.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"
#include "ui/settings/settings_dlg.h"
#include "ui/main/window_modes.h"
#include "ui/wizard/wizard_main.h"
#include "ui/wizard/wizard_main2.h"
#include "storage/sector_device.h"
#include "fixture_support.h"

namespace tl::ui {

// Answers every message box that opens with `answer`, keeping the last text.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(QMessageBox::StandardButton answer = QMessageBox::Ok) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                ++count;
                // A click, as the user answers: done() alone gives no button.
                if (QAbstractButton* button = box->button(answer)) {
                    buttonText = button->text();
                    button->click();
                } else {
                    box->done(answer);
                }
            }
        });
        timer_.start();
    }
    QString text;
    QString buttonText;  // of the button clicked
    int count = 0;

private:
    QTimer timer_;
};

// Answers the next file dialog with `file`, as the user who types its name and presses Enter.
class FileDialogCloser {
public:
    explicit FileDialogCloser(QString file) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, file] {
            if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                ++count;
                // The name typed into its field, and Enter.
                if (auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->setText(file);
                else chooser->selectFile(file);
                QMetaObject::invokeMethod(chooser, "accept");
            }
        });
        timer_.start();
    }
    int count = 0;

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

// Runs a fixture tool; the test fails with its output when it does not succeed.
bool Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), env.value(QStringLiteral("PATH")) + QStringLiteral(":/usr/sbin:/sbin"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAll().constData());
        return false;
    }
    return true;
}

// A FAT32 volume at the start of a sparse image of `gib` GiB: its sector
// stage takes seconds, its file-system stage no time.
bool MakeLargeFatImage(const QString& path, int gib) {
    return Run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("%1G").arg(gib), path}) &&
           Run(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), path});
}

CVolume* VolumeOfImage(CApp& app, const QString& path) {
    for (CVolume* volume : app.Computer().Volumes().Snapshot())
        if (volume->Kind == VK_IMAGE && volume->GetDevicePath() == path.toStdString()) return volume;
    return nullptr;
}

bool LogHas(CApp& app, unsigned id) {
    const std::string text = app.GetString(id);
    for (const std::string& line : app.Log().Lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
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
            // The box says how disks can be read, and that images still can be.
            QCOMPARE(closer.text, QString::fromStdString(app.GetString(ids::kAdminAccessPleaseRunAsAdmin) + "\n\n" +
                                                         app.GetString(ids::kDiskAccessAdvice)));
        }
        platform::InstallNotificationSink(nullptr);
    }

    // A settings store that is corrupt, or that cannot be written at all,
    // gives the defaults without a word, and the window opens.
    void badSettingsStoresStartWithTheDefaults() {
        QTemporaryDir dir;
        auto sink = std::make_shared<CQtNotificationSink>();
        platform::InstallNotificationSink(sink);
        const QString file = dir.filePath(QStringLiteral("settings.sqlite"));
        std::ofstream(file.toStdString(), std::ios::binary) << std::string(4096, 'x');
        const QString blocked = dir.filePath(QStringLiteral("folder/settings.sqlite"));
        QVERIFY(QDir().mkpath(blocked));  // a folder where the file should be
        for (const QString& store : {file, blocked}) {
            AppOptions options = OptionsIn(dir, true);
            options.settingsFile = store.toStdString();
            MessageBoxCloser closer;
            CApp app(std::move(options));
            QVERIFY(app.Start(true));
            CMainFrame frame(app, *sink);
            QCOMPARE(app.Settings().GetU32(AppSettings::kShowLog), 1u);
            app.Settings().SetU32(AppSettings::kShowLog, 0);
            app.SaveSettingsIfChanged();
            QTest::qWait(60);
            QCOMPARE(closer.count, 0);
        }
        platform::InstallNotificationSink(nullptr);
    }
};

class MainFrameTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        AnalysisBusy() = 0;
        // Each test starts without the scans the ones before it kept.
        QDir(dir_.filePath(QStringLiteral("scans"))).removeRecursively();
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

    // Sizes by integer division past 1024 bytes; one direction flag for
    // every column, folders first; a letter typed twice finds the second row.
    void foundRowsTextsOrderAndTypeAhead() {
        const auto file = [](const char* name, std::uint64_t size, std::uint64_t created) {
            CFoundObject r;
            r.SetName(name);
            r.Size = size;
            r.CreationTime = created;
            return r;
        };
        CFoundObject small = file("apple.txt", 1024, 3), mid = file("Banana.doc", 1025, 1),
                     big = file("avocado.jpg", 0x100001, 2), folder = file("zeta", 0, 9);
        folder.Flags |= FO_FOLDER;
        QCOMPARE(SizeText(small, *app_), QStringLiteral("1024"));
        QCOMPARE(SizeText(mid, *app_), QStringLiteral("1 KB"));
        QCOMPARE(SizeText(big, *app_), QStringLiteral("1 MB"));
        QCOMPARE(SizeText(folder, *app_), QString());
        CFoundObject unknown = file("x", CFoundObject::kUnknownSize, 0), absurd = file("y", 1ULL << 52, 0);
        QCOMPARE(SizeText(unknown, *app_), QStringLiteral("unknown"));
        QCOMPARE(SizeText(absurd, *app_), QStringLiteral("4194304 GB"));

        CFoundTree tree(nullptr, nullptr, nullptr);
        std::vector<CFoundObject*> rows{&small, &folder, &big, &mid};
        SortRows(rows, tree, RowOrder{kColumnSize, true, true});  // the first click: smallest first
        QVERIFY(rows == (std::vector<CFoundObject*>{&folder, &small, &mid, &big}));
        SortRows(rows, tree, RowOrder{kColumnSize, false, true});
        QVERIFY(rows == (std::vector<CFoundObject*>{&folder, &big, &mid, &small}));
        SortRows(rows, tree, RowOrder{kColumnDate, false, true});  // by creation time, the latest first
        QVERIFY(rows == (std::vector<CFoundObject*>{&folder, &small, &big, &mid}));
        SortRows(rows, tree, RowOrder{kColumnName, false, true});
        QVERIFY(rows == (std::vector<CFoundObject*>{&folder, &small, &big, &mid}));
        QCOMPARE(TypeAheadRow(rows, tree, 0, QLatin1Char('A')), 1);
        QCOMPARE(TypeAheadRow(rows, tree, 1, QLatin1Char('a')), 2);
        QCOMPARE(TypeAheadRow(rows, tree, 2, QLatin1Char('a')), 1);  // round to the first again
        QCOMPARE(TypeAheadRow(rows, tree, 1, QLatin1Char('q')), -1);
    }

    // After an analysis the explorer shows the volume's folders, the deleted
    // ones muted; Enter opens a folder row and Backspace goes back up.
    // A small FAT image analysed in the window: Docs holds kept.txt, the
    // deleted gone.txt and the folders A and B.
    CVolumeExploreView* AnalyseSmallImage() {
        const QString image = dir_.filePath(QStringLiteral("small.img"));
        const QString text = dir_.filePath(QStringLiteral("note.txt"));
        std::ofstream(text.toStdString()) << "a note\n";
        const QString picture = dir_.filePath(QStringLiteral("photo.jpg"));
        const QString broken = dir_.filePath(QStringLiteral("broken.jpg"));
        std::ofstream(broken.toStdString(), std::ios::binary) << std::string("\xFF\xD8\xFF\xE0", 4) << std::string(3000, 'x');
        const QString in = QStringLiteral("-i");
        const bool made = Run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("8M"), image}) &&
                          Run(QStringLiteral("mkfs.fat"), {image}) &&
                          Run(QStringLiteral("mmd"), {in, image, QStringLiteral("::/Docs"), QStringLiteral("::/Docs/A"),
                                                      QStringLiteral("::/Docs/B")}) &&
                          Run(QStringLiteral("mcopy"), {in, image, text, QStringLiteral("::/Docs/kept.txt")}) &&
                          Run(QStringLiteral("mcopy"), {in, image, text, QStringLiteral("::/Docs/gone.txt")}) &&
                          Run(QStringLiteral("convert"), {QStringLiteral("-size"), QStringLiteral("640x480"),
                                                          QStringLiteral("gradient:red-blue"), picture}) &&
                          Run(QStringLiteral("mcopy"), {in, image, picture, QStringLiteral("::/Docs/photo.jpg")}) &&
                          Run(QStringLiteral("mcopy"), {in, image, broken, QStringLiteral("::/Docs/broken.jpg")}) &&
                          Run(QStringLiteral("mdel"), {in, image, QStringLiteral("::/Docs/gone.txt")});
        if (!made || !frame_->OpenSource(image) || !frame_->StartAnalysis(AnalysisStages::FileSystem)) return nullptr;
        for (int i = 0; i < 400 && frame_->Analysing(); ++i) QTest::qWait(50);
        QTest::qWait(100);  // the tree's last notifications
        auto* explore = frame_->findChild<CVolumeExploreView*>();
        return explore && explore->Volume() ? explore : nullptr;
    }

    // Checking a folder checks its folders and makes the ones above partly
    // checked, even when all its siblings are checked; unchecking the last
    // checked child returns every folder above to unchecked.
    void treeCheckMarksFollowTheCounters() {
        CVolumeExploreView* explore = AnalyseSmallImage();
        QVERIFY(explore);
        CFilesTreeModel* tree = explore->TreeView()->Model();
        const auto child = [tree](const QModelIndex& parent, const QString& name) {
            for (int row = 0; row < tree->rowCount(parent); ++row)
                if (tree->index(row, 0, parent).data().toString() == name) return tree->index(row, 0, parent);
            return QModelIndex();
        };
        const QModelIndex root = child(tree->index(0, 0), QStringLiteral("Filesystem"));
        const QModelIndex docs = child(root, QStringLiteral("Docs"));
        const QModelIndex a = child(docs, QStringLiteral("A")), b = child(docs, QStringLiteral("B"));
        QVERIFY(a.isValid() && b.isValid());
        const auto state = [](const QModelIndex& i) { return i.data(Qt::CheckStateRole).toInt(); };
        tree->ToggleCheck(a);
        tree->ToggleCheck(b);
        QCOMPARE(state(docs), int(Qt::PartiallyChecked));
        QCOMPARE(state(root), int(Qt::PartiallyChecked));
        QCOMPARE(tree->CheckedFolders().size(), std::size_t{2});
        tree->ToggleCheck(a);
        QCOMPARE(state(docs), int(Qt::PartiallyChecked));
        tree->ToggleCheck(b);
        QCOMPARE(state(docs), int(Qt::Unchecked));
        QCOMPARE(state(root), int(Qt::Unchecked));
        tree->ToggleCheck(docs);
        QCOMPARE(state(a), int(Qt::Checked));
        QCOMPARE(state(b), int(Qt::Checked));
        QCOMPARE(state(root), int(Qt::PartiallyChecked));
        QVERIFY(tree->CheckedFolders() == std::vector<CFoundObject*>{tree->RecordOf(docs)});
        tree->ToggleCheck(a);  // Docs checked no more; B stays
        QCOMPARE(state(docs), int(Qt::PartiallyChecked));
        QVERIFY(tree->CheckedFolders() == std::vector<CFoundObject*>{tree->RecordOf(b)});
        tree->SetAllChecked(false);
        QVERIFY(tree->CheckedFolders().empty());
        QCOMPARE(state(docs), int(Qt::Unchecked));
        tree->SetAllChecked(true);  // every fixed node: all that was found
        QCOMPARE(state(root), int(Qt::Checked));
        QVERIFY(std::find(tree->CheckedFolders().begin(), tree->CheckedFolders().end(), tree->RecordOf(root)) !=
                tree->CheckedFolders().end());
        tree->SetAllChecked(false);

        // "Show deleted files only" on the filter sheet: the views fill again
        // with the deleted file and the folder that holds it, not the live file.
        QTimer answer;
        answer.setInterval(30);
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* sheet = qobject_cast<CFiltersView*>(QApplication::activeModalWidget())) {
                for (QCheckBox* box : sheet->findChildren<QCheckBox*>())
                    if (box->text() == QStringLiteral("Show deleted files only")) box->setChecked(true);
                sheet->accept();
            }
        });
        answer.start();
        frame_->Command(cmd::kFilters)->trigger();
        answer.stop();
        QVERIFY(app_->Computer().Filter().DeletedOnly());
        const QModelIndex docsAgain = child(child(tree->index(0, 0), QStringLiteral("Filesystem")), QStringLiteral("Docs"));
        QVERIFY(docsAgain.isValid());
        explore->TreeView()->setCurrentIndex(docsAgain);
        CFilesListModel* list = explore->ListView()->Model();
        QStringList names;
        for (int row = 0; row < list->rowCount(); ++row) names << list->index(row, kColumnName).data().toString();
        QVERIFY2(!names.contains(QStringLiteral("kept.txt")) && names.size() == 1, qPrintable(names.join(QLatin1Char(','))));
        app_->Computer().Filter().SetDeletedOnly(false);

        // The search by name, over the whole volume, lists the match with its folder.
        frame_->Command(cmd::kFind)->trigger();
        auto* bar = frame_->findChild<CSearchBarView*>();
        QVERIFY(bar && !bar->isHidden());
        bar->findChild<QLineEdit*>()->setText(QStringLiteral("kept*"));
        for (QCheckBox* box : bar->findChildren<QCheckBox*>())
            if (box->text().contains(QStringLiteral("deleted"))) box->setChecked(false);
        for (QPushButton* b : bar->findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("Search")) b->click();
        QTRY_VERIFY(list->ShowsResults() && list->rowCount() == 1);
        QCOMPARE(list->index(0, kColumnName).data().toString(), QStringLiteral("kept.txt"));
        QCOMPARE(list->index(0, kColumnFolder).data().toString(), QStringLiteral("/Docs/"));
    }

    void explorerShowsWhatTheAnalysisFound() {
        CVolumeExploreView* explore = AnalyseSmallImage();
        QVERIFY(explore);
        CFilesListModel* list = explore->ListView()->Model();
        const auto rowNamed = [list](const QString& name) {
            for (int row = 0; row < list->rowCount(); ++row)
                if (list->data(list->index(row, kColumnName), Qt::DisplayRole).toString() == name) return row;
            return -1;
        };
        QTRY_VERIFY(rowNamed(QStringLiteral("Docs")) >= 0);
        explore->ListView()->setCurrentIndex(list->index(rowNamed(QStringLiteral("Docs")), 0));
        QTest::keyClick(explore->ListView(), Qt::Key_Return);
        QCOMPARE(explore->TreeView()->currentIndex().data().toString(), QStringLiteral("Docs"));
        const int kept = rowNamed(QStringLiteral("kept.txt"));
        QVERIFY(kept >= 0);
        QCOMPARE(list->data(list->index(kept, kColumnSize), Qt::DisplayRole).toString(), QStringLiteral("7"));
        // "Reset Size" makes the size unknown; "Set New Size..." gives every
        // selected file the answer's size (3 KB typed in).
        explore->ListView()->selectRow(kept);
        frame_->UpdateCommands();
        QVERIFY(frame_->Command(cmd::kResetSize)->isEnabled());
        frame_->Command(cmd::kResetSize)->trigger();
        QCOMPARE(list->data(list->index(kept, kColumnSize), Qt::DisplayRole).toString(), QStringLiteral("unknown"));
        QTimer sizeAnswer;
        sizeAnswer.setInterval(30);
        QObject::connect(&sizeAnswer, &QTimer::timeout, [] {
            auto* question = qobject_cast<CProbableFileSizeDlg*>(QApplication::activeModalWidget());
            if (!question) return;
            for (QRadioButton* r : question->findChildren<QRadioButton*>())
                if (r->text() == QStringLiteral("Custom size:")) r->click();
            question->findChild<QLineEdit*>()->setText(QStringLiteral("3"));
            question->findChild<QComboBox*>()->setCurrentIndex(1);
            for (QPushButton* b : question->findChildren<QPushButton*>())
                if (b->text() == QStringLiteral("OK")) b->click();
        });
        sizeAnswer.start();
        frame_->Command(cmd::kSetNewSize)->trigger();
        sizeAnswer.stop();
        CFoundObject resized;
        QVERIFY(list->Copy(kept, resized));
        QCOMPARE(resized.Size, std::uint64_t{3072});
        explore->TreeView()->Model()->Tree()->SetSize(*list->RecordAt(kept), 7);
        explore->ListView()->clearSelection();
        QVERIFY(!list->data(list->index(kept, kColumnName), Qt::ForegroundRole).isValid());
        int deleted = -1;
        for (int row = 0; row < list->rowCount(); ++row) {
            CFoundObject r;
            if (list->Copy(row, r) && r.IsDeleted()) deleted = row;
        }
        QVERIFY2(deleted >= 0, "the deleted file is listed");
        QVERIFY(list->data(list->index(deleted, kColumnName), Qt::ForegroundRole).isValid());  // muted

        // Its information: the place, the size in bytes, the sectors it is read from.
        explore->ListView()->setCurrentIndex(list->index(kept, 0));
        frame_->UpdateCommands();
        QVERIFY(frame_->Command(cmd::kFileInformation)->isEnabled());
        CFoundObject keptRecord;
        QVERIFY(list->Copy(kept, keptRecord));
        CFileInformationDlg information(*app_, *explore->Volume(), keptRecord, *list->RecordAt(kept));
        const auto shown = [&information](const QString& name) {
            for (QLabel* label : information.findChildren<QLabel*>())
                if (label->accessibleName() == name) return label->text();
            return QStringLiteral("(none)");
        };
        QCOMPARE(shown(QStringLiteral("Location")), QStringLiteral("/Docs/kept.txt"));
        QCOMPARE(shown(QStringLiteral("Size")), QStringLiteral("7 bytes"));
        QVERIFY(shown(QStringLiteral("Size on disk")).endsWith(QStringLiteral(" bytes")));
        bool sectorsListed = false;
        for (QPushButton* b : information.findChildren<QPushButton*>())
            sectorsListed |= b->text() == QStringLiteral("Sectors List") && b->isEnabled();
        QVERIFY(sectorsListed);
        QVERIFY(frame_->Command(cmd::kTryToOpen)->isEnabled());
        // The data viewer shows its bytes, read off the window's thread.
        auto* viewer = frame_->findChild<CHexViewer_Pane*>();
        QVERIFY(viewer);
        QTRY_COMPARE(viewer->Viewer()->Data(), QByteArray("a note\n"));
        QVERIFY(viewer->Preview()->isHidden());  // not a picture
        // A photo shows its preview, scaled; a damaged one says so, without an error.
        explore->ListView()->setCurrentIndex(list->index(rowNamed(QStringLiteral("photo.jpg")), 0));
        QTRY_VERIFY(!viewer->Preview()->isHidden());
        QCOMPARE(viewer->Preview()->pixmap().width(), CHexViewer_Pane::kPreviewSide);
        explore->ListView()->setCurrentIndex(list->index(rowNamed(QStringLiteral("broken.jpg")), 0));
        QTRY_COMPARE(viewer->Preview()->text(), QStringLiteral("No preview"));
        explore->ListView()->setCurrentIndex(list->index(kept, 0));

        // The opening warning keeps its "don't show" choice only on OK.
        for (const bool ok : {false, true}) {
            CDlgTryOpen warning(*app_);
            warning.findChild<QCheckBox*>()->setChecked(true);
            ok ? warning.accept() : warning.reject();
            QCOMPARE(app_->Settings().GetU32(AppSettings::kNoTryOpenWarning), ok ? 1u : 0u);
        }
        QTest::keyClick(explore->ListView(), Qt::Key_Backspace);
        QCOMPARE(explore->TreeView()->currentIndex().data().toString(), QStringLiteral("Filesystem"));

        // The checked file comes back whole through the two dialogs, and
        // only it: the selected rows are not taken while something is checked.
        explore->ListView()->setCurrentIndex(list->index(rowNamed(QStringLiteral("Docs")), 0));
        QTest::keyClick(explore->ListView(), Qt::Key_Return);
        QVERIFY(list->setData(list->index(rowNamed(QStringLiteral("kept.txt")), kColumnName), Qt::Checked, Qt::CheckStateRole));
        frame_->UpdateCommands();
        QVERIFY(frame_->Command(cmd::kRecover)->isEnabled());
        const QString destination = dir_.filePath(QStringLiteral("recovered"));
        bool sawProgress = false;
        RecoverInto(destination, [&](CRecoveryProgressDlg& progress) {
            sawProgress = true;
            ClickVisible(progress, QStringLiteral("OK"));
        });
        QVERIFY(sawProgress);
        QStringList found;
        for (QDirIterator it(destination, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) found << it.next();
        QCOMPARE(found.size(), 1);
        QVERIFY(found.front().endsWith(QStringLiteral("/kept.txt")));
        QFile copy(found.front());
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), QByteArray("a note\n"));

        // A destination that cannot be made (below a file) is no success:
        // the progress dialog's account names the file that failed.
        const QString blocker = dir_.filePath(QStringLiteral("a-file"));
        std::ofstream(blocker.toStdString()) << "x";
        const QString impossible = blocker + QStringLiteral("/out");
        QString account;
        RecoverInto(impossible, [&](CRecoveryProgressDlg& progress) {
            for (QLabel* label : progress.findChildren<QLabel*>())
                if (label->isVisible() && label->text().contains(QStringLiteral("failed"))) account = label->text();
            ClickVisible(progress, QStringLiteral("OK"));
        });
        QVERIFY2(account.startsWith(QStringLiteral("0 recovered, 0 skipped, 1 failed.")), qPrintable(account));
        QVERIFY2(account.contains(QStringLiteral("kept.txt")), qPrintable(account));
    }

    // Abort while the last (and only) file is copied: after the question the
    // run ends at once as aborted, the dialog closes, and the file is left
    // short of what it would have been, never reported as recovered. Closing
    // the window while the progress dialog is open is refused.
    void abortDuringTheLastFileEndsTheRun() {
        // A lost picture in a sparse image, given a size of 3 GiB: copying it takes a while.
        const QString image = dir_.filePath(QStringLiteral("sparse.dsk"));
        {
            std::ofstream out(image.toStdString(), std::ios::binary);
            out << std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
        }
        std::filesystem::resize_file(image.toStdString(), 4ULL << 30);
        QVERIFY(frame_->OpenSource(image));
        auto* explore = frame_->findChild<CVolumeExploreView*>();
        QVERIFY(explore && explore->Volume());
        CFoundTree& tree = explore->Volume()->FoundTree();
        CFoundObject lost;
        lost.Id = 100;
        lost.ParentId = tree.Root()->Id;
        lost.SetName("big.jpg");
        lost.Flags = FO_BY_SIGNATURE | FO_DELETED | FO_CONTENT_SIZE;
        lost.Size = 3ULL << 30;
        CFoundObject* stored = tree.AddObject(lost);
        QVERIFY(stored);
        stored->Volume = explore->Volume();
        CFilesListModel* list = explore->ListView()->Model();
        list->ShowFolder(explore->SharedVolume(), tree.Root());
        QCOMPARE(list->rowCount(), 1);
        explore->ListView()->selectRow(0);
        frame_->UpdateCommands();
        const QString destination = dir_.filePath(QStringLiteral("aborted"));
        bool aborted = false;
        bool closedDuring = true;
        frame_->show();
        QElapsedTimer took;
        took.start();
        RecoverInto(
            destination,
            [&](CRecoveryProgressDlg& progress) {
                if (aborted) return;
                for (QPushButton* b : progress.findChildren<QPushButton*>())
                    if (b->isVisible() && b->text() == QStringLiteral("Abort")) {
                        aborted = true;
                        QTimer::singleShot(0, frame_.get(), [&] { closedDuring = frame_->close(); });
                        // Clicked from the event loop: the question it asks needs this timer again.
                        QTimer::singleShot(0, b, &QPushButton::click);
                    }
            },
            [](QWidget* modal) {
                if (auto* question = qobject_cast<QMessageBox*>(modal))
                    question->button(QMessageBox::Yes)->click();  // "stop the recovery?"
            });
        QVERIFY(aborted);
        QVERIFY(!closedDuring);
        QVERIFY(frame_->isVisible());
        QVERIFY2(took.elapsed() < 30000, "the run ends at the abort, not at the file's end");
        QVERIFY(LogHas(*app_, ids::kRecoveryAborted));
        QVERIFY(!LogHas(*app_, ids::kRecoveryCompleted));
        const QFileInfo copy(destination + QStringLiteral("/big.jpg"));
        QVERIFY(!copy.exists() || copy.size() < static_cast<qint64>(3ULL << 30));
    }

    // The probable-size question: a custom size is digits only, in 64 bits
    // after its unit, and OK waits for one; the reply is what the engine reads.
    void probableSizeAnswersInSixtyFourBits() {
        CFoundObject lost;
        lost.SetName("jpg_4096.jpg");
        lost.DataOffset = 4096;
        lost.Flags = FO_DELETED | FO_BY_SIGNATURE;
        CProbableFileSizeDlg question(*app_, lost, QStringLiteral("JPG File"));
        QCOMPARE(question.Reply(), std::string("2 3 1 0"));  // closed unanswered: Cancel
        QRadioButton* custom = nullptr;
        for (QRadioButton* r : question.findChildren<QRadioButton*>())
            if (r->text() == QStringLiteral("Custom size:")) custom = r;
        QVERIFY(custom);
        custom->click();
        auto* size = question.findChild<QLineEdit*>();
        auto* unit = question.findChild<QComboBox*>();
        QPushButton* ok = nullptr;
        for (QPushButton* b : question.findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("OK")) ok = b;
        QVERIFY(size && unit && ok);
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(size, QStringLiteral("16x GB"));  // only the digits are taken
        QCOMPARE(size->text(), QStringLiteral("16"));
        unit->setCurrentIndex(3);
        QVERIFY(ok->isEnabled());
        QCOMPARE(question.CustomSize(), std::optional<std::uint64_t>(17179869184ULL));
        size->setText(QStringLiteral("17179869184"));  // GB: past 64 bits
        QVERIFY(!question.CustomSize());
        QVERIFY(!ok->isEnabled());
        unit->setCurrentIndex(0);
        ok->click();
        QCOMPARE(question.Reply(), std::string("1 4 1 17179869184"));
    }

    // Names from a hostile disk stay on one row of every view: control
    // characters and bidirectional overrides are shown as U+FFFD, 255 CJK
    // characters come whole; an unknown and an absurd (2^52) size read
    // plainly in the list and in the information dialog; a folder of 200 000
    // files is listed whole and sorted; a failed read is told.
    void hostileNamesAndSizesStayOnOneRow() {
        const QString image = dir_.filePath(QStringLiteral("blank.dsk"));
        std::ofstream(image.toStdString(), std::ios::binary) << std::string(64 * 512, '\0');
        QVERIFY(frame_->OpenSource(image));
        auto* explore = frame_->findChild<CVolumeExploreView*>();
        QVERIFY(explore && explore->Volume());
        CFoundTree& tree = explore->Volume()->FoundTree();
        std::string cjk;
        for (int i = 0; i < 255; ++i) cjk += "\xE6\x96\x87";  // U+6587
        const struct {
            std::string name;
            std::uint64_t size;
        } files[] = {{"two\nlines\tand\x1b[31mred.txt", CFoundObject::kUnknownSize},
                     {"\xE2\x80\xAEgpj.exe", 1ULL << 52},
                     {cjk, 1},
                     {"\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\xE2\x80\x8F.txt", 2}};  // Hebrew with a right-to-left mark
        std::uint64_t id = 100;
        for (const auto& f : files) {
            CFoundObject r;
            r.Id = id++;
            r.ParentId = tree.Root()->Id;
            r.SetName(f.name);
            r.Size = f.size;
            QVERIFY(tree.AddObject(r));
        }
        CFilesListModel* list = explore->ListView()->Model();
        list->ShowFolder(explore->SharedVolume(), tree.Root());
        QCOMPARE(list->rowCount(), 4);
        QMap<QString, int> rowOf;
        for (int row = 0; row < list->rowCount(); ++row) {
            const QString name = list->index(row, kColumnName).data().toString();
            for (const QChar c : name) {
                QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x202E && c.category() != QChar::Other_Control,
                         qPrintable(QString::number(c.unicode(), 16)));
            }
            rowOf[name] = row;
        }
        QVERIFY(rowOf.contains(QStringLiteral("two\uFFFDlines\uFFFDand\uFFFD[31mred.txt")));
        QVERIFY(rowOf.contains(QStringLiteral("\uFFFDgpj.exe")));
        QVERIFY(rowOf.contains(QString(255, QChar(0x6587))));
        QVERIFY(rowOf.contains(QString::fromUtf8("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\xE2\x80\x8F.txt")));
        const int unknown = rowOf[QStringLiteral("two\uFFFDlines\uFFFDand\uFFFD[31mred.txt")];
        const int absurd = rowOf[QStringLiteral("\uFFFDgpj.exe")];
        QCOMPARE(list->index(unknown, kColumnSize).data().toString(), QStringLiteral("unknown"));
        QCOMPARE(list->index(absurd, kColumnSize).data().toString(), QStringLiteral("4194304 GB"));
        for (int column = 0; column < list->columnCount(); ++column)
            QVERIFY(!list->index(absurd, column).data().toString().contains(QLatin1Char('\n')));
        for (const int row : {unknown, absurd}) {
            CFoundObject copy;
            QVERIFY(list->Copy(row, copy));
            CFileInformationDlg information(*app_, *explore->Volume(), copy, *list->RecordAt(row));
            QString size, location;
            for (QLabel* label : information.findChildren<QLabel*>()) {
                if (label->accessibleName() == QStringLiteral("Size")) size = label->text();
                if (label->accessibleName() == QStringLiteral("Location")) location = label->text();
            }
            QVERIFY2(!location.contains(QLatin1Char('\n')) && !location.contains(QChar(0x202E)), qPrintable(location));
            QCOMPARE(size, row == unknown ? QStringLiteral("unknown")
                                          : QStringLiteral("4 503 599 627 370 496 bytes (4194304 GB)"));
        }

        // A folder of 200 000 files (and two folders) expanded and sorted by
        // each column: every row there, folders first, in order.
        CFoundObject big;
        big.Id = 50;
        big.ParentId = tree.Root()->Id;
        big.Flags = FO_FOLDER;
        big.SetName("DCIM");
        QVERIFY(tree.AddObject(big));
        for (std::uint64_t i = 0; i < 200002; ++i) {
            CFoundObject r;
            r.Id = 1000 + i;
            r.ParentId = big.Id;
            r.Flags = i < 2 ? FO_FOLDER : 0;
            r.SetName("IMG_" + std::to_string((i * 7919) % 200002));
            r.Size = (i * 104729) % 5000000;
            r.CreationTime = 116444736000000000ULL + (i * 15485863) % 100000000000ULL;
            QVERIFY(tree.AddObject(r));
        }
        CFilesTreeModel* folders = explore->TreeView()->Model();
        const QModelIndex fsRoot = folders->index(0, 0, folders->index(0, 0));
        QModelIndex dcim;
        for (int row = 0; row < folders->rowCount(fsRoot); ++row)
            if (folders->index(row, 0, fsRoot).data().toString() == QStringLiteral("DCIM")) dcim = folders->index(row, 0, fsRoot);
        QVERIFY(dcim.isValid());
        explore->TreeView()->expand(dcim);
        QCOMPARE(folders->rowCount(dcim), 2);
        explore->TreeView()->setCurrentIndex(dcim);
        QCOMPARE(list->rowCount(), 200002);
        for (const int column : {kColumnName, kColumnSize, kColumnType, kColumnDate}) {
            list->SortBy(column);
            const auto& rows = list->Rows();
            QVERIFY(rows[0]->IsFolder() && rows[1]->IsFolder() && !rows[2]->IsFolder());
            const bool descending = list->Order().descending;
            for (std::size_t i = 3; i < rows.size(); ++i) {
                const CFoundObject& a = *rows[i - 1];
                const CFoundObject& b = *rows[i];
                if (column == kColumnSize)
                    QVERIFY(descending ? a.Size <= b.Size : a.Size >= b.Size);
                else if (column == kColumnDate)
                    QVERIFY(descending ? a.CreationTime <= b.CreationTime : a.CreationTime >= b.CreationTime);
                else if (column == kColumnName)
                    QVERIFY(descending ? a.Name >= b.Name : a.Name <= b.Name);
            }
        }

        // The data viewer on a read that fails (past the image's end) or is
        // cut short says so and shows what it has, with no preview.
        CHexViewer_Pane pane(*app_);
        const auto lost = [&](std::uint64_t id, std::uint64_t offset) {
            CFoundObject r;
            r.Id = id;
            r.ParentId = tree.Root()->Id;
            r.SetName("lost.bin");
            r.Flags = FO_BY_SIGNATURE | FO_DELETED;
            r.DataOffset = offset;
            r.Size = 4096;
            return tree.AddObject(r);
        };
        const QLabel* note = nullptr;
        for (QLabel* label : pane.findChildren<QLabel*>())
            if (label->accessibleName() == QStringLiteral("Data viewer note")) note = label;
        QVERIFY(note);
        pane.Show(explore->SharedVolume(), lost(200, 1ULL << 40));
        QTRY_VERIFY(!note->text().isEmpty());
        QCOMPARE(pane.Viewer()->Data().size(), 0);
        pane.Show(explore->SharedVolume(), lost(201, 64 * 512 - 512));
        QTRY_COMPARE(note->text(), QStringLiteral("Only 512 of the first 4096 bytes could be read."));
        QCOMPARE(pane.Viewer()->Data().size(), 512);
        QVERIFY(pane.Preview()->isHidden());
    }

    // The file-format sheet: the program's own identifiers stay; a bad
    // value keeps the sheet open with the focus on it; the pattern steps
    // stop at the ends and keep what each pattern was given; OK writes the
    // record so that the store gives it back, under its new identifier only.
    void fileFormatSheetEditsATypeThroughTheStore() {
        SignatureDatabase& db = app_->Signatures();
        const auto field = [](QWidget& sheet, const QString& name) {
            for (auto* edit : sheet.findChildren<QLineEdit*>())
                if (edit->accessibleName() == name) return edit;
            return static_cast<QLineEdit*>(nullptr);
        };
        FileSignature* own = nullptr;
        for (const auto& type : db.Signatures())
            if (!type->IsGroup && type->Id < 1000 && !own) own = type.get();
        QVERIFY(own);
        {
            CFileFormatPropertiesSheet sheet(*app_, *own);
            QVERIFY(!field(sheet, QStringLiteral("Internal Format ID"))->isEnabled());
        }
        FileSignature made;
        made.Id = 64000;
        made.Title = "Field notes";
        made.Group = own->Group;
        FileSignature& type = db.AddSignature(made);
        type.Patterns.push_back(SignaturePattern{});
        type.Patterns.back().Elements.push_back(PatternElement::Make(kPatternByte, std::vector<std::uint8_t>{0x4E}, 0, 1, 0));
        {
            CFileFormatPropertiesSheet sheet(*app_, type);
            sheet.show();
            QLineEdit* id = field(sheet, QStringLiteral("Internal Format ID"));
            QLineEdit* coincidence = field(sheet, QStringLiteral("Coincidence (%)"));
            QVERIFY(id && id->isEnabled() && coincidence);
            coincidence->setText(QStringLiteral("101"));
            QVERIFY(!sheet.StorePages());
            QCOMPARE(sheet.focusWidget(), coincidence);
            coincidence->setText(QStringLiteral("90"));
            QVERIFY(sheet.StorePages());

            // A byte pattern is shown, not edited as masked bytes.
            auto* length = sheet.findChild<QSpinBox*>();
            QCOMPARE(sheet.ShownPattern(), 0);
            QVERIFY(!length->isEnabled());
            sheet.DeletePattern();  // the first one stays
            sheet.PreviousPattern();
            sheet.NextPattern();
            QCOMPARE(sheet.ShownPattern(), 0);
            QCOMPARE(sheet.Edited().Patterns.size(), std::size_t{1});
            sheet.AddPattern();
            sheet.AddPattern();
            QCOMPARE(sheet.ShownPattern(), 2);
            QCOMPARE(length->value(), 0);
            length->setValue(3);
            sheet.findChild<QCheckBox*>()->setChecked(true);
            auto* data = sheet.findChildren<CHexEditor_Pane*>().front()->Editor();
            QTest::keyClicks(data, QStringLiteral("504B03"));
            sheet.PreviousPattern();
            QCOMPARE(length->value(), 0);
            sheet.NextPattern();
            QCOMPARE(length->value(), 3);
            QVERIFY(sheet.findChild<QCheckBox*>()->isChecked());
            sheet.DeletePattern();  // the third goes, the second is shown
            QCOMPARE(sheet.ShownPattern(), 1);
            QCOMPARE(sheet.Edited().Patterns.size(), std::size_t{2});
            sheet.NextPattern();
            QCOMPARE(sheet.ShownPattern(), 1);
            length->setValue(2);
            QTest::keyClicks(data, QStringLiteral("4e46"));

            id->setText(QString::number(own->Id));  // taken: refused
            {
                MessageBoxCloser closer;
                sheet.accept();
                QCOMPARE(closer.count, 1);
            }
            QCOMPARE(sheet.result(), 0);
            QCOMPARE(type.Id, 64000u);
            QVERIFY(!db.FindById(64001));
            id->setText(QStringLiteral("64001"));
            sheet.accept();
            QCOMPARE(sheet.result(), int(QDialog::Accepted));
        }
        QCOMPARE(type.Id, 64001u);
        QCOMPARE(type.Coincidence, 90u);
        const std::string key = db.SignaturesKey();
        SignatureDatabase reread(app_->Store(), key.substr(0, key.size() - std::string("\\Signatures").size()));
        reread.Load();
        QVERIFY(!reread.FindById(64000));
        const FileSignature* back = reread.FindById(64001);
        QVERIFY(back);
        QCOMPARE(back->Patterns.size(), std::size_t{2});
        const PatternElement& e = back->Patterns[1].Elements.front();
        QCOMPARE(e.Kind, std::uint32_t(kPatternMasked));
        QCOMPARE(e.Length, std::uint16_t(2));
        QCOMPARE(e.Data[0], std::uint8_t(0x4E));
        QCOMPARE(e.Data[1], std::uint8_t(0x46));
        QCOMPARE(e.Data[512], std::uint8_t(0xFF));
        std::uint8_t block[512] = {0x4E, 0x46};
        QVERIFY(back->Patterns[1].Matches(block, sizeof block));

        // While an analysis runs the sheet only shows.
        AnalysisBusy() = 1;
        CFileFormatPropertiesSheet shown(*app_, type);
        QVERIFY(shown.ShowOnly());
        shown.AddPattern();
        QCOMPARE(shown.Edited().Patterns.size(), std::size_t{2});
        AnalysisBusy() = 0;

        // The file-type tree's context commands and its narrowing by extension.
        CFileTypeTree tree(*app_, QStringLiteral("Types"));
        tree.Load(db, &FileSignature::SearchEnable);
        tree.SetAllChecked(false);
        QTreeWidgetItemIterator it(tree.Tree());
        for (; *it; ++it) QCOMPARE((*it)->checkState(0), Qt::Unchecked);
        tree.findChild<QLineEdit*>()->setText(QStringLiteral("jpg"));
        int shownTypes = 0;
        for (QTreeWidgetItemIterator t(tree.Tree(), QTreeWidgetItemIterator::NotHidden | QTreeWidgetItemIterator::NoChildren); *t; ++t) ++shownTypes;
        QVERIFY(shownTypes >= 1);
    }

    // The hex viewer: 17 bytes make two rows, copied as hex with a line end
    // after the sixteenth or as characters after F6; 0 bytes draw nothing;
    // 65536 bytes copy without a question, 65537 only after one; typed
    // digits set a byte's two nibbles.
    void hexViewerRowsCopyAndEdits() {
        CHexEditorCtrl hex;
        hex.resize(640, 200);
        hex.SetData(QByteArray("0123456789ABCDEFG"));
        hex.Select(0, 17);
        QCOMPARE(hex.SelectionText(),
                 QStringLiteral("30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 \r\n47 "));
        QTest::keyClick(&hex, Qt::Key_F6);
        QCOMPARE(hex.SelectionText(), QStringLiteral("0123456789ABCDEFG"));
        hex.SetData({});
        const QImage empty = hex.viewport()->grab().toImage();
        QCOMPARE(empty.pixel(5, 5), empty.pixel(empty.width() / 2, empty.height() / 2));
        bool blank = true;
        for (int y = 0; y < empty.height() && blank; ++y)
            for (int x = 0; x < empty.width() && blank; ++x) blank = empty.pixel(x, y) == empty.pixel(0, 0);
        QVERIFY2(blank, "no header and no lines for no data");

        hex.SetData(QByteArray(65537, '\0'));
        hex.Select(0, 65536);
        {
            MessageBoxCloser closer(QMessageBox::No);
            QVERIFY(hex.Copy());
            QCOMPARE(closer.count, 0);
        }
        hex.Select(0, 65537);
        {
            MessageBoxCloser closer(QMessageBox::No);
            QVERIFY(!hex.Copy());
            QCOMPARE(closer.count, 1);
        }

        hex.SetData(QByteArray(4, '\0'));
        QTest::keyClicks(&hex, QStringLiteral("41"));  // read-only: nothing changes
        QCOMPARE(hex.Data(), QByteArray(4, '\0'));
        hex.SetReadOnly(false);
        QTest::keyClick(&hex, Qt::Key_F6);  // back to the hex column
        QTest::keyClicks(&hex, QStringLiteral("4a"));
        QCOMPARE(hex.Data().at(0), char(0x4A));
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

    // Every window follows a language chosen while it is open, and a
    // language without a key brings the English text back.
    void windowsFollowTheLanguage() {
        CSettingsDlg sheet(*app_, frame_.get());
        const auto splashBox = [&sheet] {
            for (QCheckBox* box : sheet.findChildren<QCheckBox*>())
                if (box->text().contains(QStringLiteral("Splash")) || box->text().contains(QStringLiteral("Startbildschirm")))
                    return box;
            return static_cast<QCheckBox*>(nullptr);
        };
        QVERIFY(splashBox());
        const int german = app_->Languages().IndexOf("Deutsch");
        QVERIFY(german >= 0);
        QVERIFY(app_->Languages().Apply(german));
        QCOMPARE(frame_->menuBar()->actions().front()->text(), QStringLiteral("&Datei"));
        QCOMPARE(frame_->Command(cmd::kStartAnalyzing)->text(), QStringLiteral("Analyse starten"));
        QCOMPARE(frame_->Command(cmd::kStartAnalyzing)->statusTip(), QStringLiteral("Laufwerksanalyse starten"));
        QCOMPARE(sheet.windowTitle(), QStringLiteral("Programmeinstellungen"));
        QCOMPARE(splashBox()->text(), QStringLiteral("Startbildschirm beim Programmstart zeigen"));
        QVERIFY(frame_->findChild<QLabel*>(QString(), Qt::FindChildrenRecursively) != nullptr);
        bool legend = false;
        for (const QLabel* label : frame_->findChildren<QLabel*>()) legend |= label->text() == QStringLiteral("Legende");
        QVERIFY(legend);

        QVERIFY(app_->Languages().Apply(app_->Languages().IndexOf("English")));
        QCOMPARE(frame_->menuBar()->actions().front()->text(), QStringLiteral("&File"));
        QCOMPARE(sheet.windowTitle(), QStringLiteral("Program Settings"));
        QCOMPARE(splashBox()->text(), QStringLiteral("Show Splash screen at startup"));
    }

    // Stop ends the run in each of its stages, after the confirmation; a
    // declined confirmation lets it go on. What was found stays.
    void stopEndsEveryStage() {
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 16));
        QVERIFY(frame_->OpenSource(image));
        auto* bar = frame_->findChild<QProgressBar*>();
        QVERIFY(bar);
        const auto stop = [&](QMessageBox::StandardButton answer) {
            MessageBoxCloser closer(answer);
            frame_->Command(cmd::kStopAnalyzing)->trigger();
            QCOMPARE(closer.count, 1);
        };
        const auto ended = [&] {
            QTRY_VERIFY_WITH_TIMEOUT(!frame_->Analysing(), 20000);
            QTRY_VERIFY(frame_->Command(cmd::kStartAnalyzing)->isEnabled());
            QVERIFY(!frame_->Command(cmd::kStopAnalyzing)->isEnabled());
            QTRY_VERIFY(bar->isHidden());
        };
        // The file-system stage: stopped as it begins.
        QVERIFY(frame_->StartAnalysis(AnalysisStages::FileSystemAndSectors));
        QVERIFY(frame_->Command(cmd::kStopAnalyzing)->isEnabled());
        stop(QMessageBox::Yes);
        ended();
        // The sector stage, once its bar moves; declined once first.
        for (AnalysisStages stages : {AnalysisStages::FileSystemAndSectors, AnalysisStages::LostVolumes}) {
            {
                // The stopped run was kept: going on with it is offered, and
                // No starts anew. A search for lost volumes is not kept.
                MessageBoxCloser anew(QMessageBox::No);
                QVERIFY(frame_->StartAnalysis(stages));
                QCOMPARE(anew.count, stages == AnalysisStages::LostVolumes ? 0 : 1);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden() && bar->value() > 0, 20000);
            stop(QMessageBox::No);
            QTest::qWait(300);
            QVERIFY(frame_->Analysing());
            stop(QMessageBox::Yes);
            ended();
            QVERIFY(bar->value() < 100);
        }
    }

    // The toolkit's own texts follow the interface language: a question's
    // buttons read "Ja" and "Nein" in German, and "Yes" again in English.
    void theToolkitsOwnButtonsFollowTheLanguage() {
        CQtOwnTexts::Follow(app_->Languages());
        const auto yes = [] {
            MessageBoxCloser closer(QMessageBox::Yes);
            const int answer = platform::ShowMessageBox(0, "Go on?", "Question", platform::kMbYesNo | platform::kMbIconQuestion);
            return std::pair{answer == platform::kIdYes && closer.count == 1, closer.buttonText};
        };
        QVERIFY(app_->Languages().Apply(app_->Languages().IndexOf("Deutsch")));
        QCOMPARE(yes(), std::pair(true, QStringLiteral("&Ja")));
        QVERIFY(app_->Languages().Apply(app_->Languages().IndexOf("English")));
        QCOMPARE(yes(), std::pair(true, QStringLiteral("&Yes")));
    }

    // File > Save Scan copies the last analysis where the user chooses; File
    // > Open Scan in a later run of the program lists what it found again,
    // the drive opened for it, without analysing anything.
    void aSavedScanOpensAgainWithoutAnalysing() {
        const std::filesystem::path documents = test::FixturePath("deleted_documents");
        const test::Fixture made = test::MakeFixture("make_deleted_documents.sh", documents);
        QVERIFY2(made, made.detail.c_str());
        const QString card = QString::fromStdString((documents / "card.img").string());
        QVERIFY(frame_->OpenSource(card));
        frame_->UpdateCommands();
        QVERIFY(!frame_->Command(cmd::kSaveScan)->isEnabled());
        QVERIFY(frame_->StartAnalysis(AnalysisStages::FileSystemAndSectors));
        QTRY_VERIFY_WITH_TIMEOUT(!frame_->Analysing(), 60000);
        QTRY_VERIFY(frame_->Command(cmd::kSaveScan)->isEnabled());
        const auto names = [this, &card] {
            std::vector<std::string> list;
            CVolume* volume = VolumeOfImage(*app_, card);
            if (!volume) return list;
            for (CFoundObject* o : volume->FoundTree().AllRecords()) list.push_back(volume->FoundTree().Snapshot(*o).GetName());
            std::sort(list.begin(), list.end());
            return list;
        };
        const std::vector<std::string> found = names();
        QVERIFY(std::find(found.begin(), found.end(), "letter.docx") != found.end());
        const QString saved = dir_.filePath(QStringLiteral("card scan.tlscan"));
        {
            FileDialogCloser chooser(saved);
            frame_->Command(cmd::kSaveScan)->trigger();
            QCOMPARE(chooser.count, 1);
        }
        QVERIFY(QFileInfo::exists(saved));

        cleanup();
        QDir(dir_.filePath(QStringLiteral("scans"))).removeRecursively();
        init();
        {
            FileDialogCloser chooser(saved);
            frame_->Command(cmd::kOpenScan)->trigger();
            QCOMPARE(chooser.count, 1);
        }
        QCOMPARE(names(), found);
        const std::vector<std::string> lines = app_->Log().Lines();
        QVERIFY(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("were loaded from the scan file") != std::string::npos; }));
        QVERIFY(!LogHas(*app_, ids::kBeginningFileSystemAnalysis));
        QVERIFY(!LogHas(*app_, ids::kStartingSectorAnalysis));
    }

    // Closing the window while a run goes on asks to stop it first: No keeps
    // the window and the run; Yes stops it and says so in the log.
    void closingDuringAnAnalysisStopsIt() {
        app_->Settings().SetU32(AppSettings::kConfirmExit, 0);
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 16));
        QVERIFY(frame_->OpenSource(image));
        frame_->show();
        QVERIFY(frame_->StartAnalysis(AnalysisStages::SectorsOnly));
        QTest::qWait(200);
        QVERIFY(frame_->Analysing());
        {
            MessageBoxCloser no(QMessageBox::No);
            QVERIFY(!frame_->close());
            QCOMPARE(no.count, 1);
        }
        QVERIFY(frame_->Analysing());
        QVERIFY(!LogHas(*app_, ids::kAborting));
        MessageBoxCloser yes(QMessageBox::Yes);
        QVERIFY(frame_->close());
        QVERIFY(!frame_->Analysing());
        QVERIFY(LogHas(*app_, ids::kAborting));
        QVERIFY(LogHas(*app_, ids::kOperationAborted));
    }

    // A medium that leaves (the list tells the window, as it does when a
    // disk is unplugged) leaves the tree; when it was being analysed, the run
    // stops and the log says why.
    void removedMediaLeaveTheTreeAndStopTheirRun() {
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 16));
        QVERIFY(frame_->OpenSource(image));
        CVolume* volume = VolumeOfImage(*app_, image);
        QVERIFY(volume);
        QVERIFY(frame_->StartAnalysis(AnalysisStages::SectorsOnly));
        QTest::qWait(200);
        platform::SendAppMessage(0, msg::kVolumeRemoved, reinterpret_cast<std::uintptr_t>(volume));
        QTRY_VERIFY_WITH_TIMEOUT(!frame_->Analysing(), 20000);
        const std::string told = app_->Format(ids::kAnalysedVolumeRemoved, volume->GetName());
        const std::vector<std::string> lines = app_->Log().Lines();
        QVERIFY(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.find(told) != std::string::npos; }));
        // Nothing is selected now: nothing can be started.
        QTRY_VERIFY(!frame_->Command(cmd::kStartAnalyzing)->isEnabled());
    }

    // Closing the image dialog while it copies stops the copy: its worker
    // has ended when the dialog is gone, and the image is called incomplete.
    void closingTheImageDialogStopsTheCopy() {
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 4));
        QVERIFY(frame_->OpenSource(image));
        auto job = std::make_shared<CImageCreation>();
        job->SourceVolume = VolumeOfImage(*app_, image);
        QVERIFY(job->SourceVolume);
        job->FileName = dir_.filePath(QStringLiteral("copy.dsk")).toStdString();
        {
            CVolumeImage_CreateDlg dialog(*app_, *sink_, job, frame_.get());
            QVERIFY(app_->Computer().StartImageCreation(job));
            dialog.show();
            QTRY_VERIFY_WITH_TIMEOUT(job->ProgressPercent() > 0 || job->Ended(), 20000);
            dialog.close();
            QVERIFY(job->Ended());
        }
        QCOMPARE(job->Outcome.load(), ImageOutcome::Stopped);
    }

private:
    // Triggers "Recover..." and answers its dialogs as a person does: the
    // destination typed into the Recover dialog, then `onProgress` at every
    // tick of the progress dialog and `onOther` for any other dialog.
    void RecoverInto(const QString& destination, const std::function<void(CRecoveryProgressDlg&)>& onProgress,
                     const std::function<void(QWidget*)>& onOther = {}) {
        QTimer answer;
        answer.setInterval(30);
        QObject::connect(&answer, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* where = qobject_cast<COnRecoveryDlg*>(modal)) {
                where->findChild<QLineEdit*>()->setText(destination);
                where->accept();
            } else if (auto* progress = qobject_cast<CRecoveryProgressDlg*>(modal)) {
                onProgress(*progress);
            } else if (modal && onOther) {
                onOther(modal);
            }
        });
        answer.start();
        frame_->Command(cmd::kRecover)->trigger();
    }
    static void ClickVisible(QWidget& dialog, const QString& text) {
        for (QPushButton* b : dialog.findChildren<QPushButton*>())
            if (b->isVisible() && b->text() == text) b->click();
    }

    QTemporaryDir dir_;
    std::shared_ptr<CQtNotificationSink> sink_;
    std::unique_ptr<CApp> app_;
    std::unique_ptr<CMainFrame> frame_;
};


// The bytes of an image file; the analysis worker's reads wait until the
// test opens the gate (reads of the GUI thread never do).
class GatedImage : public ISectorDevice {
public:
    explicit GatedImage(const QString& path) : file_(path.toStdString(), std::ios::binary) {
        file_.seekg(0, std::ios::end);
        size_ = static_cast<std::uint64_t>(file_.tellg());
    }
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>&) override {
        if (QThread::currentThread() != qApp->thread()) {
            std::unique_lock lock(mutex_);
            ++waiting_;
            cv_.wait(lock, [this] { return open_; });
            --waiting_;
        }
        std::lock_guard lock(fileMutex_);
        std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
        const std::uint64_t n = offset < size_ ? std::min<std::uint64_t>(buffer.size(), size_ - offset) : 0;
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(n));
        return {DeviceReadResult::State::Done, n, 0};
    }
    std::optional<std::uint64_t> Size() const override { return size_; }
    void SetOpen(bool open) {
        {
            std::lock_guard lock(mutex_);
            open_ = open;
        }
        cv_.notify_all();
    }
    bool Waiting() {
        std::lock_guard lock(mutex_);
        return waiting_ > 0;
    }

private:
    std::ifstream file_;
    std::uint64_t size_ = 0;
    std::mutex fileMutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
    int waiting_ = 0;
};

class WizardTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        AnalysisBusy() = 0;
        // Each test starts without the scans the ones before it kept.
        QDir(dir_.filePath(QStringLiteral("scans"))).removeRecursively();
        sink_ = std::make_shared<CQtNotificationSink>();
        platform::InstallNotificationSink(sink_);
        app_ = std::make_unique<CApp>(OptionsIn(dir_, true));
        QVERIFY(app_->Start(true));
        app_->Settings().SetU32(AppSettings::kConfirmExit, 0);
    }
    void cleanup() {
        modes_.reset();
        app_.reset();
        platform::InstallNotificationSink(nullptr);
        sink_.reset();
        AnalysisBusy() = 0;
    }

    // The nine-step wizard: Next needs a drive; a scanning page's run keeps
    // Back and Next disabled, a FAT volume's file-system bar moves instead of
    // counting, and the page moves on when its stage ends by itself; Stop,
    // or the medium leaving, ends the sector stage on its page and gives
    // Back and Next back; closing the sheet meanwhile asks first.
    void nineStepScanPagesFollowTheirRun() {
        app_->Settings().SetU32(AppSettings::kSectorsAfterFileSystem, 1);
        app_->Settings().SetLogTimestamps(true);
        CWizardSheet* sheet = Show(cmd::kModeNineStepWizard);
        QVERIFY(sheet);
        QCOMPARE(app_->Settings().GetU32(AppSettings::kSectorsAfterFileSystem), 0u);
        QVERIFY(!app_->Settings().LogTimestamps());
        sheet->next();
        QCOMPARE(sheet->currentId(), 1);
        QVERIFY(!sheet->button(QWizard::NextButton)->isEnabled());
        sheet->next();
        QCOMPARE(sheet->currentId(), 1);
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 16));
        QVERIFY(sheet->OpenSource(image));
        QVERIFY(sheet->button(QWizard::NextButton)->isEnabled());
        for (int id = 2; id <= 5; ++id) sheet->next();
        QCOMPARE(sheet->currentId(), 5);
        auto* fileSystem = qobject_cast<CWizardScanPage*>(sheet->currentPage());
        QVERIFY(fileSystem);
        QCOMPARE(fileSystem->StatusText()->text(), Text(*app_, ids::kIdle));
        fileSystem->StartButton()->click();
        // At once, before the worker says anything.
        QVERIFY(!sheet->button(QWizard::BackButton)->isEnabled());
        QVERIFY(!sheet->button(QWizard::NextButton)->isEnabled());
        QVERIFY(!fileSystem->StartButton()->isEnabled());
        QVERIFY(fileSystem->StopButton()->isEnabled());
        QCOMPARE(fileSystem->StatusText()->text(), Text(*app_, ids::kBusy));
        QCOMPARE(fileSystem->Bar()->maximum(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(sheet->currentId(), 6, 30000);
        QCOMPARE(fileSystem->Bar()->maximum(), 100);
        QCOMPARE(fileSystem->Bar()->value(), 100);
        sheet->next();  // an empty volume: nothing found, nothing asked
        QCOMPARE(sheet->currentId(), 7);
        auto* sectors = qobject_cast<CWizardScanPage*>(sheet->currentPage());
        QVERIFY(sectors);
        sectors->StartButton()->click();
        QVERIFY(sheet->Analysing());
        QCOMPARE(sectors->Bar()->maximum(), 100);
        // The page's own look at its states, every 2 s, keeps them too.
        QTest::qWait(2200);
        QVERIFY(sheet->Analysing());
        QVERIFY(!sheet->button(QWizard::BackButton)->isEnabled());
        QVERIFY(!sheet->button(QWizard::NextButton)->isEnabled());
        {
            MessageBoxCloser yes(QMessageBox::Yes);
            sectors->StopButton()->click();
            QCOMPARE(yes.count, 1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(sheet->button(QWizard::BackButton)->isEnabled(), 20000);
        QVERIFY(sheet->button(QWizard::NextButton)->isEnabled());
        QCOMPARE(sheet->currentId(), 7);
        QCOMPARE(sectors->StatusText()->text(), Text(*app_, ids::kIdle));
        QVERIFY(sectors->Bar()->value() < 100);
        QVERIFY(LogHas(*app_, ids::kOperationAborted));

        // Started again: closing the sheet asks first, and No keeps both;
        // then the medium leaves: the run stops and says why.
        sectors->StartButton()->click();
        QVERIFY(sheet->Analysing());
        {
            MessageBoxCloser no(QMessageBox::No);
            QVERIFY(!sheet->close());
            QCOMPARE(no.count, 1);
        }
        QVERIFY(sheet->Analysing());
        QVERIFY(sheet->isVisible());
        CVolume* volume = VolumeOfImage(*app_, image);
        platform::SendAppMessage(0, msg::kVolumeRemoved, reinterpret_cast<std::uintptr_t>(volume));
        QTRY_VERIFY_WITH_TIMEOUT(!sheet->Analysing(), 20000);
        QTRY_VERIFY(sheet->button(QWizard::BackButton)->isEnabled());
        QCOMPARE(sheet->currentId(), 7);
        const std::string told = app_->Format(ids::kAnalysedVolumeRemoved, volume->GetName());
        const std::vector<std::string> lines = app_->Log().Lines();
        QVERIFY(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(told) != std::string::npos; }));
        sheet->back();
        QCOMPARE(sheet->currentId(), 6);
    }

    // The four-step wizard runs the whole analysis by itself; Next without
    // a recovery asks first (No keeps the page); "Skip" ends the file-system
    // stage and the sector stage follows; "Stop" ends the analysis on its
    // page, and Back and Next come back.
    void fourStepWizardSkipsStopsAndAsksBeforeMovingOn() {
        const std::filesystem::path documents = test::FixturePath("deleted_documents");
        const test::Fixture made = test::MakeFixture("make_deleted_documents.sh", documents);
        QVERIFY2(made, made.detail.c_str());
        const QString card = QString::fromStdString((documents / "card.img").string());
        CWizardSheet* sheet = Show(cmd::kModeFourStepWizard);
        QVERIFY(sheet->OpenSource(card));
        CVolume* volume = VolumeOfImage(*app_, card);
        QVERIFY(volume);
        auto gate = std::make_shared<GatedImage>(card);
        volume->SetDevice(gate);
        gate->SetOpen(true);
        sheet->next();
        sheet->next();
        QCOMPARE(sheet->currentId(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(sheet->currentId(), 3, 60000);
        {
            MessageBoxCloser no(QMessageBox::No);
            sheet->next();
            QCOMPARE(no.count, 1);
            QCOMPARE(no.text, Text(*app_, ids::kConfirmNextWithoutRecovery));
        }
        QCOMPARE(sheet->currentId(), 3);
        {
            MessageBoxCloser yes(QMessageBox::Yes);
            sheet->next();
        }
        QCOMPARE(sheet->currentId(), 4);

        // Another drive, from the start: the first stage is skipped while it reads.
        ClickVisible(*sheet, QStringLiteral("Process Another Drive"));
        QCOMPARE(sheet->currentId(), 0);
        gate->SetOpen(false);
        sheet->next();
        sheet->next();
        auto* analysing = qobject_cast<CWizardMode_Analysing*>(sheet->currentPage());
        QVERIFY(analysing);
        QTRY_VERIFY(gate->Waiting());
        QVERIFY(!sheet->button(QWizard::BackButton)->isEnabled());
        QVERIFY(!sheet->button(QWizard::NextButton)->isEnabled());
        QVERIFY(analysing->SkipButton()->isEnabled());
        const int sectorStagesBefore = CountLines(Text(*app_, ids::kStartingSectorAnalysis));
        analysing->SkipButton()->click();
        gate->SetOpen(true);
        QTRY_COMPARE_WITH_TIMEOUT(sheet->currentId(), 3, 60000);
        QVERIFY(LogHas(*app_, ids::kOperationAborted));
        QCOMPARE(CountLines(Text(*app_, ids::kStartingSectorAnalysis)), sectorStagesBefore + 1);

        // Back to the parameters and on again: a new analysis, stopped in
        // its first stage, stays on its page with no sector stage after it.
        sheet->back();
        sheet->back();
        QCOMPARE(sheet->currentId(), 1);
        gate->SetOpen(false);
        sheet->next();
        QTRY_VERIFY(gate->Waiting());
        {
            MessageBoxCloser yes(QMessageBox::Yes);
            analysing->StopButton()->click();
            QCOMPARE(yes.count, 1);
        }
        gate->SetOpen(true);
        QTRY_VERIFY_WITH_TIMEOUT(sheet->button(QWizard::BackButton)->isEnabled(), 20000);
        QVERIFY(sheet->button(QWizard::NextButton)->isEnabled());
        QCOMPARE(sheet->currentId(), 2);
        QVERIFY(!sheet->Analysing());
        QVERIFY(!analysing->StopButton()->isEnabled());
        QCOMPARE(CountLines(Text(*app_, ids::kStartingSectorAnalysis)), sectorStagesBefore + 1);

        // The stopped analysis was kept: on again, going on with it is
        // offered, and No starts anew.
        sheet->back();
        QCOMPARE(sheet->currentId(), 1);
        {
            MessageBoxCloser anew(QMessageBox::No);
            sheet->next();
            QCOMPARE(anew.count, 1);
            QCOMPARE(anew.text, QString::fromStdString(app_->Format(ids::kScanResumeQuestion, volume->GetName())));
        }
        QTRY_COMPARE_WITH_TIMEOUT(sheet->currentId(), 3, 60000);
    }

    // With auto pilot on, the destination is settled when page 4 is left:
    // none, or one that cannot be made, keeps the page with the reason; one
    // it can use is made then; one on the drive analysed is warned about.
    void autoPilotNeedsADestinationItCanUse() {
        const QString image = dir_.filePath(QStringLiteral("blank.dsk"));
        std::ofstream(image.toStdString(), std::ios::binary) << std::string(64 * 512, '\0');
        CWizardSheet* sheet = Show(cmd::kModeNineStepWizard);
        QVERIFY(sheet->OpenSource(image));
        for (int id = 1; id <= 4; ++id) sheet->next();
        QCOMPARE(sheet->currentId(), 4);
        for (QCheckBox* box : sheet->currentPage()->findChildren<QCheckBox*>())
            if (box->text().startsWith(QStringLiteral("Recover every file"))) box->setChecked(true);
        auto* folder = sheet->currentPage()->findChild<QLineEdit*>();
        QVERIFY(folder);
        folder->clear();
        {
            MessageBoxCloser ok;
            sheet->next();
            QCOMPARE(ok.text, Text(*app_, ids::kChooseDestinationFolder));
        }
        QCOMPARE(sheet->currentId(), 4);
        std::ofstream(dir_.filePath(QStringLiteral("taken")).toStdString()) << "a file";
        const QString blocked = dir_.filePath(QStringLiteral("taken/Recovered"));
        folder->setText(blocked);
        {
            MessageBoxCloser ok;
            sheet->next();
            QVERIFY2(ok.text.contains(blocked), qPrintable(ok.text));
        }
        QCOMPARE(sheet->currentId(), 4);
        const QString beside = dir_.filePath(QStringLiteral("Recovered"));
        folder->setText(beside);
        sheet->next();
        QCOMPARE(sheet->currentId(), 5);
        QVERIFY(QFileInfo(beside).isDir());
        QVERIFY(app_->Settings().AutoPilot());
        QCOMPARE(QString::fromStdString(app_->Settings().DestinationFolder()), beside);

        // Analysing the partition that holds that folder: warned about, and
        // No goes on there.
        const QString device = BlockDeviceHolding(dir_.path());
        QVERIFY2(!device.isEmpty(), "no block device node in /dev holds the test's folder");
        auto listed = app_->Computer().MakeVolume(VK_LOGICAL);
        listed->DevicePath = device.toStdString();
        listed->State = 1;
        CVolume& partition = app_->Computer().Volumes().Append(std::move(listed));
        sheet->SelectVolume(&partition);
        sheet->back();
        {
            MessageBoxCloser no(QMessageBox::No);
            sheet->next();
            QCOMPARE(no.count, 1);
            QCOMPARE(no.text, Text(*app_, ids::kDestinationOnSourceDrive));
        }
        QCOMPARE(sheet->currentId(), 5);
    }

    // Modes switch keeping the window's place and its volume; -1 and 32875
    // change nothing, 0 makes the window again. During an analysis a switch
    // asks to stop it (No keeps both); closing a wizard asks the exit question.
    void modesSwitchKeepingPlaceAndVolume() {
        const QString image = dir_.filePath(QStringLiteral("large.dsk"));
        QVERIFY(MakeLargeFatImage(image, 16));
        CWizardSheet* four = Show(cmd::kModeFourStepWizard);
        QCOMPARE(app_->WindowMode(), static_cast<int>(cmd::kModeFourStepWizard));
        QVERIFY(four->OpenSource(image));
        CVolume* volume = VolumeOfImage(*app_, image);
        four->setGeometry(30, 20, 640, 500);
        QCOMPARE(modes_->SwitchMode(cmd::kModeNone), static_cast<int>(cmd::kModeFourStepWizard));
        QCOMPARE(modes_->SwitchMode(static_cast<int>(cmd::kModeKeepCurrent)), static_cast<int>(cmd::kModeFourStepWizard));
        QCOMPARE(modes_->Top()->Widget(), static_cast<QWidget*>(four));

        QCOMPARE(modes_->SwitchMode(static_cast<int>(cmd::kModeExplorer)), static_cast<int>(cmd::kModeExplorer));
        auto* frame = dynamic_cast<CMainFrame*>(modes_->Top());
        QVERIFY(frame);
        QCOMPARE(frame->geometry(), QRect(30, 20, 640, 500));
        QCOMPARE(frame->SelectedVolume(), volume);
        QCOMPARE(modes_->SwitchMode(cmd::kModeRecreate), static_cast<int>(cmd::kModeExplorer));
        frame = dynamic_cast<CMainFrame*>(modes_->Top());
        QVERIFY(frame);
        QCOMPARE(frame->SelectedVolume(), volume);

        QVERIFY(frame->StartAnalysis(AnalysisStages::SectorsOnly));
        {
            MessageBoxCloser no(QMessageBox::No);
            modes_->RequestMode(static_cast<int>(cmd::kModeNineStepWizard));
            QTRY_COMPARE(no.count, 1);
        }
        QCOMPARE(modes_->Top()->Widget(), static_cast<QWidget*>(frame));
        QVERIFY(frame->Analysing());
        {
            MessageBoxCloser yes(QMessageBox::Yes);
            modes_->RequestMode(static_cast<int>(cmd::kModeNineStepWizard));
            QTRY_COMPARE(app_->WindowMode(), static_cast<int>(cmd::kModeNineStepWizard));
        }
        QVERIFY(!modes_->Top()->Analysing());
        QCOMPARE(modes_->Top()->SelectedVolume(), volume);
        QCOMPARE(modes_->Top()->Widget()->geometry(), QRect(30, 20, 640, 500));

        app_->Settings().SetU32(AppSettings::kConfirmExit, 1);
        {
            MessageBoxCloser no(QMessageBox::No);
            QVERIFY(!modes_->Top()->Widget()->close());
            QCOMPARE(no.count, 1);
        }
        QVERIFY(modes_->Top()->Widget()->isVisible());
    }

private:
    // The window of `mode`, shown, as the program opens it.
    CWizardSheet* Show(unsigned mode) {
        modes_ = std::make_unique<CWindowModes>(*app_, *sink_);
        modes_->SwitchMode(static_cast<int>(mode));
        return dynamic_cast<CWizardSheet*>(modes_->Top());
    }
    // The node in /dev of the block device that holds `path`, or empty.
    static QString BlockDeviceHolding(const QString& path) {
        struct stat held {};
        if (::stat(path.toLocal8Bit().constData(), &held) != 0) return {};
        for (const QFileInfo& entry : QDir(QStringLiteral("/dev")).entryInfoList(QDir::System | QDir::Files)) {
            struct stat node {};
            if (::stat(entry.filePath().toLocal8Bit().constData(), &node) == 0 && S_ISBLK(node.st_mode) &&
                node.st_rdev == held.st_dev)
                return entry.filePath();
        }
        return {};
    }
    int CountLines(const QString& text) {
        const std::vector<std::string> lines = app_->Log().Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text.toStdString()) != std::string::npos;
        }));
    }
    static void ClickVisible(QWidget& window, const QString& text) {
        for (QPushButton* b : window.findChildren<QPushButton*>())
            if (b->isVisible() && b->text() == text) b->click();
    }

    QTemporaryDir dir_;
    std::shared_ptr<CQtNotificationSink> sink_;
    std::unique_ptr<CApp> app_;
    std::unique_ptr<CWindowModes> modes_;
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
    {
        tl::ui::WizardTest wizard;
        failed += QTest::qExec(&wizard, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}

#include "ui_tests.moc"
