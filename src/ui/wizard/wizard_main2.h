// The four-step wizard, the window the program opens on: the drive, the
// destination and the file types, the whole analysis run by itself (the
// file system, then every sector), and the found files to recover.
#pragma once

#include <set>

#include "ui/wizard/wizard_pages.h"

namespace tl::ui {

class CFileTypeTree;

class CWizardMode_SelectDisk : public CWizardDrivePage {
    Q_OBJECT
public:
    explicit CWizardMode_SelectDisk(CWizardSheet& sheet);
};

class CWizardMode_ScanParam : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_ScanParam(CWizardSheet& sheet);
    void initializePage() override;
    // A destination typed must be one the files can go to; none is asked for later.
    bool validatePage() override;
    void cleanupPage() override;

private:
    void Store();
    CFileTypeTree* types_;
    QCheckBox* keepStructure_;
    CDestinationField* destination_;
};

// Starts the analysis when it is entered: the file-system stage, then the
// sector stage, then the results page by itself. "Skip" ends the first
// stage early and goes on with the second; "Stop" ends the analysis.
class CWizardMode_Analysing : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_Analysing(CWizardSheet& sheet);
    void initializePage() override;
    void cleanupPage() override;
    bool Working() const override { return phase_ == Phase::FileSystem || phase_ == Phase::Sectors; }
    void OnAppMessage(const platform::AppMessage& message) override;
    void OnLogLine(const QString& line) override;

    QPushButton* SkipButton() const { return skip_; }
    QPushButton* StopButton() const { return stop_; }

private:
    enum class Phase { Idle, FileSystem, Sectors, Done, Stopped };
    void Refresh();
    void UpdateStates();
    void Skip();
    void Stop();

    QLabel* volumeName_;
    QLabel* filesFound_;
    QProgressBar* fileSystemBar_;
    QPushButton* skip_;
    QProgressBar* sectorsBar_;
    QPushButton* stop_;
    QLabel* sector_;
    QLabel* sectors_;
    QLabel* readErrors_;
    CLogPane* log_;
    QLabel* status_;
    QTimer refreshTimer_;
    QTimer statesTimer_;
    Phase phase_ = Phase::Idle;
    bool skipping_ = false;
    std::set<CVolume*> analysed_;  // every volume the runs of this page analysed
    std::uint64_t readErrorsBefore_ = 0;
};

class CWizardMode_ExploreFoundFiles : public CWizardResultsPage {
    Q_OBJECT
public:
    explicit CWizardMode_ExploreFoundFiles(CWizardSheet& sheet);
};

class CWizardMode_Main2 : public CWizardSheet {
    Q_OBJECT
public:
    CWizardMode_Main2(CApp& app, CQtNotificationSink& sink, QWidget* parent = nullptr);
};

}  // namespace tl::ui
