// The nine-step wizard: welcome, drive, file types, scanning mode, auto
// pilot and destination, the file-system stage, its results, the sector
// stage, its results and the summary, with the steps listed beside the
// pages and the current one marked.
#pragma once

#include <QFrame>

#include <vector>

#include "ui/wizard/wizard_pages.h"

class QRadioButton;

namespace tl::ui {

class CFileTypeTree;

// The side bar: the nine steps, the current one marked.
class CWizardMode_LeftBar : public QFrame {
    Q_OBJECT
public:
    explicit CWizardMode_LeftBar(QWidget* parent = nullptr);
    // Names the steps (the titles' texts after "Step n of 9:") and marks `current`.
    void Show(const std::vector<QString>& steps, int current);

private:
    std::vector<QLabel*> steps_;
};

class CWizardMode_Step0 : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_Step0(CWizardSheet& sheet);
};

class CWizardMode_Step1 : public CWizardDrivePage {
    Q_OBJECT
public:
    explicit CWizardMode_Step1(CWizardSheet& sheet);
};

class CWizardMode_Step2 : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_Step2(CWizardSheet& sheet);
    void initializePage() override;
    bool validatePage() override;
    void cleanupPage() override;

private:
    void Store();
    CFileTypeTree* types_;
};

class CWizardMode_Step3 : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_Step3(CWizardSheet& sheet);
    void initializePage() override;
    bool validatePage() override;
    void cleanupPage() override;

private:
    void Store();
    QRadioButton* entire_;
    QRadioButton* freeOnly_;
};

class CWizardMode_Step4 : public CWizardPageBase {
    Q_OBJECT
public:
    explicit CWizardMode_Step4(CWizardSheet& sheet);
    void initializePage() override;
    // With auto pilot on, the destination must be one the files can go to.
    bool validatePage() override;
    void cleanupPage() override;

private:
    void Store();
    QCheckBox* autoPilot_;
    CDestinationField* destination_;
    QCheckBox* keepStructure_;
};

class CWizardMode_Step5 : public CWizardScanPage {
    Q_OBJECT
public:
    explicit CWizardMode_Step5(CWizardSheet& sheet);
};

class CWizardMode_Step6 : public CWizardResultsPage {
    Q_OBJECT
public:
    explicit CWizardMode_Step6(CWizardSheet& sheet);
};

class CWizardMode_Step7 : public CWizardScanPage {
    Q_OBJECT
public:
    explicit CWizardMode_Step7(CWizardSheet& sheet);
};

class CWizardMode_Step8 : public CWizardResultsPage {
    Q_OBJECT
public:
    explicit CWizardMode_Step8(CWizardSheet& sheet);
    void initializePage() override;
    // The sector stage ended by itself: with auto pilot on, everything lost
    // is recovered when the page shows.
    void SetAutoPilotDue(bool due) { autoPilotDue_ = due; }

private:
    bool autoPilotDue_ = false;
};

class CWizardMode_Main : public CWizardSheet {
    Q_OBJECT
public:
    CWizardMode_Main(CApp& app, CQtNotificationSink& sink, QWidget* parent = nullptr);
    void ProcessAnotherDrive() override;

private:
    void ShowSteps();

    CWizardMode_LeftBar* leftBar_;
};

}  // namespace tl::ui
