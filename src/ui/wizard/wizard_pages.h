// The kinds of page both wizards are made of: the drive page, a scanning
// page (the file-system stage or the sector stage, with its counters, bar,
// Start, Stop and progress log), a results page (the found-files view with
// the found-file commands) and the Finish page.
#pragma once

#include <QTimer>

#include <cstdint>

#include "ui/wizard/wizard_sheet.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tl::ui {

class CDrivePane;
class CFoundFilesCommands;
class CLogPane;
class CVolumeExploreView;

// A volume's name as a page shows it (names come from disks).
QString VolumeText(const CVolume* volume);
// The value label a row of AddValueRow shows beside `caption`.
QLabel* ValueOf(QLabel* caption);
// The reads that failed for good on every listed volume: a page shows those
// of its run as the difference from the count at its start.
std::uint64_t ReadErrorsOfAll(CApp& app);

// The folder the recovered files go to, typed or chosen with Browse.
class CDestinationField : public QWidget {
    Q_OBJECT
public:
    CDestinationField(CApp& app, const QString& name, QWidget* parent = nullptr);
    QString Folder() const;
    void SetFolder(const QString& folder);
    QPushButton* Browse() const { return browse_; }
    QLineEdit* Edit() const { return folder_; }

private:
    CApp& app_;
    QLineEdit* folder_;
    QPushButton* browse_;
};

// Takes `folder` as the destination of the sheet's recoveries: it is made
// when missing (the user is told when it cannot be), and lies on another
// drive than the chosen volume unless the user goes on there (the folder
// may change then). False, after telling why, when the page is to stay.
bool AcceptDestination(CWizardSheet& sheet, QWidget* parent, const QString& folder);

// The drive list: Next needs a volume, which the sheet takes when the page is left.
class CWizardDrivePage : public CWizardPageBase {
    Q_OBJECT
public:
    CWizardDrivePage(CWizardSheet& sheet, unsigned titleId, const char* section);
    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;
    void OnAppMessage(const platform::AppMessage& message) override;

private:
    void Rescan();

    CDrivePane* drives_;
    QLabel* hint_;
    QPushButton* rescan_;
    QTimer refreshTimer_;
};

// A stage of the nine-step wizard: Start runs it on the chosen volume, Stop
// ends it, and when it ends by itself the sheet moves on to the next page.
class CWizardScanPage : public CWizardPageBase {
    Q_OBJECT
public:
    enum class Stage { FileSystem, Sectors };
    CWizardScanPage(CWizardSheet& sheet, unsigned titleId, const char* section, Stage stage);
    void initializePage() override;
    bool validatePage() override;
    void cleanupPage() override;
    bool Working() const override { return running_; }
    void OnAppMessage(const platform::AppMessage& message) override;
    void OnLogLine(const QString& line) override;

    QProgressBar* Bar() const { return bar_; }
    QPushButton* StartButton() const { return start_; }
    QPushButton* StopButton() const { return stop_; }
    QLabel* StatusText() const { return status_; }

signals:
    // The run this page started ended; `stopped` when it was stopped.
    void StageEnded(bool stopped);

private:
    void Start();
    void Stop();
    // The counters, the bar and the end of the run.
    void Refresh();
    // Start, Stop, the status and the sheet's Back and Next.
    void UpdateStates();
    void StoreShowFileNames();

    Stage stage_;
    QLabel* volumeName_;
    QProgressBar* bar_;
    QPushButton* start_;
    QPushButton* stop_;
    CLogPane* log_;
    QLabel* filesFound_;
    QLabel* readErrors_;
    QLabel* status_;
    QLabel* position_;
    QLabel* total_;
    QLabel* free_ = nullptr;
    QCheckBox* showNames_;
    QTimer refreshTimer_;
    QTimer statesTimer_;
    bool running_ = false;    // a run this page started has not been seen ending
    bool barDone_ = false;    // the bar was set to 100 once
    bool moving_ = false;     // the bar moves instead of counting (a FAT volume's file system)
    std::uint64_t readErrorsBefore_ = 0;
};

// The found files of the chosen volume with the commands that act on them.
class CWizardResultsPage : public CWizardPageBase {
    Q_OBJECT
public:
    // `allCommands`: Try to Open and Information beside Recover and Filters;
    // `note`, when given, is shown below them. `sideBySide`: the folders
    // beside the files, else above them (a sheet with a side bar of its own).
    CWizardResultsPage(CWizardSheet& sheet, unsigned titleId, const char* section, bool allCommands, bool sideBySide,
                       const QString& note = {});
    void initializePage() override;
    // Files found and none recovered: asks whether to go on anyway.
    bool validatePage() override;
    void OnAppMessage(const platform::AppMessage& message) override;
    // Auto pilot: every deleted and lost file recovered without a question.
    void RecoverEverythingLost();

protected:
    void Retranslate() override;

private:
    void UpdateButtons();

    CVolumeExploreView* explore_;
    QAction* checkAll_;
    QAction* uncheckAll_;
    CFoundFilesCommands* commands_;
    QPushButton* recover_;
    QPushButton* open_ = nullptr;
    QPushButton* information_ = nullptr;
    QPushButton* filters_;
};

// The end: what was found and recovered, the folder in the file manager,
// or another drive from the start.
class CWizardMode_Finish : public CWizardPageBase {
    Q_OBJECT
public:
    CWizardMode_Finish(CWizardSheet& sheet, unsigned titleId);
    void initializePage() override;

private:
    QLabel* found_;
    QLabel* recovered_;
    QPushButton* explore_;
};

}  // namespace tl::ui
