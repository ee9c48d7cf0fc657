#include "ui/wizard/wizard_main.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "signatures/signature_database.h"
#include "ui/common/file_type_tree.h"
#include "ui/dialogs/help_dlg.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr unsigned kStepTitles[] = {ids::kWizardWelcome, ids::kWizardStep1, ids::kWizardStep2,
                                    ids::kWizardStep3,   ids::kWizardStep4, ids::kWizardStep5,
                                    ids::kWizardStep6,   ids::kWizardStep7, ids::kWizardStep8,
                                    ids::kWizardStep9};

// "Step 5 of 9: Scanning the file system..." names its step by what follows the colon.
QString StepName(const QString& title) {
    const int colon = title.indexOf(QLatin1Char(':'));
    return colon < 0 ? title : title.mid(colon + 1).trimmed();
}

QLabel* Paragraph(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CWizardMode_LeftBar::CWizardMode_LeftBar(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setAccessibleName(tr("Steps"));
    setMinimumWidth(190);
    auto* layout = new QVBoxLayout(this);
    for (std::size_t i = 0; i < std::size(kStepTitles); ++i) {
        auto* step = new QLabel;
        step->setWordWrap(true);
        step->setTextFormat(Qt::PlainText);
        layout->addWidget(step);
        steps_.push_back(step);
    }
    layout->addStretch(1);
}

void CWizardMode_LeftBar::Show(const std::vector<QString>& steps, int current) {
    for (std::size_t i = 0; i < steps_.size() && i < steps.size(); ++i) {
        QLabel* step = steps_[i];
        const bool now = static_cast<int>(i) == current;
        // The mark is seen (an arrow, bold) and heard (the description).
        step->setText((now ? QStringLiteral("\u25B6 ") : QStringLiteral("    ")) + steps[i]);
        step->setAccessibleName(steps[i]);
        step->setAccessibleDescription(now ? tr("current step") : QString());
        QFont font = step->font();
        font.setBold(now);
        step->setFont(font);
        step->setEnabled(now || static_cast<int>(i) < current);
    }
}

CWizardMode_Step0::CWizardMode_Step0(CWizardSheet& sheet) : CWizardPageBase(sheet, ids::kWizardWelcome, "Wizard.Step0") {
    auto* intro = Paragraph(tr("This wizard takes you from the drive where your documents were lost to copies of them "
                               "in a folder on another drive. It only reads the drive it analyses; it never writes to it."));
    auto* version = Paragraph(QStringLiteral("Documents Tessa-Loft %1").arg(QString::fromLatin1(TL_VERSION)));
    auto* help = new QPushButton(tr("Help Topics"));
    auto* next = Paragraph(tr("Click Next to continue..."));
    auto* row = new QHBoxLayout;
    row->addWidget(help);
    row->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(version);
    layout->addLayout(row);
    layout->addStretch(1);
    layout->addWidget(next);
    connect(help, &QPushButton::clicked, this, [this, help] {
        CHelpDlg dialog(help->text(), this);
        dialog.exec();
    });
    AddControl(1001, intro);
    AddControl(1002, help);
    AddControl(1003, next);
    Translate();
}

CWizardMode_Step1::CWizardMode_Step1(CWizardSheet& sheet) : CWizardDrivePage(sheet, ids::kWizardStep1, "Wizard.Step1") {}

CWizardMode_Step2::CWizardMode_Step2(CWizardSheet& sheet) : CWizardPageBase(sheet, ids::kWizardStep2, "Wizard.Step2") {
    auto* prompt = Paragraph(tr("File types that should be searched for and recovered:"));
    types_ = new CFileTypeTree(App(), tr("File types"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(types_, 1);
    AddControl(1001, prompt);
    Translate();
}

void CWizardMode_Step2::initializePage() { types_->Load(App().Signatures(), &FileSignature::SearchEnable); }

void CWizardMode_Step2::Store() {
    if (types_->Store(App().Signatures(), &FileSignature::SearchEnable)) App().Signatures().SaveAll();
}

bool CWizardMode_Step2::validatePage() {
    Store();
    return true;
}

void CWizardMode_Step2::cleanupPage() { Store(); }

CWizardMode_Step3::CWizardMode_Step3(CWizardSheet& sheet) : CWizardPageBase(sheet, ids::kWizardStep3, "Wizard.Step3") {
    entire_ = new QRadioButton(tr("Scan entire drive"));
    freeOnly_ = new QRadioButton(tr("Scan free drive space only"));
    auto* explain = Paragraph(tr("The free space is where deleted files lie; scanning only it is quicker, and "
                                 "leaves out the space the live files take."));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(entire_);
    layout->addWidget(freeOnly_);
    layout->addSpacing(12);
    layout->addWidget(explain);
    layout->addStretch(1);
    AddControl(1001, entire_);
    AddControl(1002, freeOnly_);
    AddControl(1003, explain);
    Translate();
}

void CWizardMode_Step3::initializePage() {
    const bool entire = App().Settings().ScanEntireDrive();
    entire_->setChecked(entire);
    freeOnly_->setChecked(!entire);
}

void CWizardMode_Step3::Store() { App().Settings().SetU32(AppSettings::kScanEntireDrive, entire_->isChecked() ? 1 : 0); }

bool CWizardMode_Step3::validatePage() {
    Store();
    return true;
}

void CWizardMode_Step3::cleanupPage() { Store(); }

CWizardMode_Step4::CWizardMode_Step4(CWizardSheet& sheet) : CWizardPageBase(sheet, ids::kWizardStep4, "Wizard.Step4") {
    auto* pilotCaption = new QLabel(tr("Auto pilot:"));
    autoPilot_ = new QCheckBox(tr("Recover every file found, without asking"));
    auto* folderCaption = Paragraph(tr("The target folder where the recovered files will be saved:"));
    destination_ = new CDestinationField(App(), tr("Target folder"));
    folderCaption->setBuddy(destination_->Edit());
    keepStructure_ = new QCheckBox(tr("Keep the folder structure"));
    auto* warning = Paragraph(tr("Never save recovered files to the same logical disk where they are recovered from "
                                 "as this may cause unpredictable results and loss of data!"));
    QFont bold = warning->font();
    bold.setBold(true);
    warning->setFont(bold);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pilotCaption);
    layout->addWidget(autoPilot_);
    layout->addSpacing(12);
    layout->addWidget(folderCaption);
    layout->addWidget(destination_);
    layout->addWidget(keepStructure_);
    layout->addSpacing(12);
    layout->addWidget(warning);
    layout->addStretch(1);
    AddControl(1001, pilotCaption);
    AddControl(1002, autoPilot_);
    AddControl(1003, folderCaption);
    AddControl(1004, destination_->Browse());
    AddControl(1005, keepStructure_);
    AddControl(1006, warning);
    Translate();
}

void CWizardMode_Step4::initializePage() {
    const AppSettings& s = App().Settings();
    autoPilot_->setChecked(s.AutoPilot());
    destination_->SetFolder(QString::fromStdString(s.DestinationFolder()));
    keepStructure_->setChecked(s.KeepFolderStructure());
}

void CWizardMode_Step4::Store() {
    AppSettings& s = App().Settings();
    s.SetU32(AppSettings::kAutoPilot, autoPilot_->isChecked() ? 1 : 0);
    s.SetU32(AppSettings::kKeepFolderStructure, keepStructure_->isChecked() ? 1 : 0);
    s.SetDestinationFolder(destination_->Folder().toStdString());
}

bool CWizardMode_Step4::validatePage() {
    Store();
    // The files go there later without a question: the folder is settled now.
    if (!autoPilot_->isChecked()) return true;
    if (!AcceptDestination(Sheet(), this, destination_->Folder())) return false;
    destination_->SetFolder(QString::fromStdString(App().Settings().DestinationFolder()));
    return true;
}

void CWizardMode_Step4::cleanupPage() { Store(); }

CWizardMode_Step5::CWizardMode_Step5(CWizardSheet& sheet)
    : CWizardScanPage(sheet, ids::kWizardStep5, "Wizard.Step5", Stage::FileSystem) {}

CWizardMode_Step6::CWizardMode_Step6(CWizardSheet& sheet)
    : CWizardResultsPage(sheet, ids::kWizardStep6, "Wizard.Step6", true, false) {}

CWizardMode_Step7::CWizardMode_Step7(CWizardSheet& sheet)
    : CWizardScanPage(sheet, ids::kWizardStep7, "Wizard.Step7", Stage::Sectors) {}

CWizardMode_Step8::CWizardMode_Step8(CWizardSheet& sheet)
    : CWizardResultsPage(sheet, ids::kWizardStep8, "Wizard.Step8", true, false, tr("Click Next to view recovery summary...")) {}

void CWizardMode_Step8::initializePage() {
    CWizardResultsPage::initializePage();
    if (!autoPilotDue_ || !App().Settings().AutoPilot()) return;
    autoPilotDue_ = false;
    // Once the page shows: the progress dialog opens over it.
    QTimer::singleShot(0, this, [this] {
        if (Sheet().currentPage() == this) RecoverEverythingLost();
    });
}

CWizardMode_Main::CWizardMode_Main(CApp& app, CQtNotificationSink& sink, QWidget* parent)
    : CWizardSheet(app, sink, static_cast<int>(cmd::kModeNineStepWizard), "Wizard.Main", parent) {
    // Each stage is started from its own page.
    app.Settings().SetU32(AppSettings::kSectorsAfterFileSystem, 0);
    app.Settings().SetLogTimestamps(false);
    AddPage(new CWizardMode_Step0(*this));
    AddPage(new CWizardMode_Step1(*this));
    AddPage(new CWizardMode_Step2(*this));
    AddPage(new CWizardMode_Step3(*this));
    AddPage(new CWizardMode_Step4(*this));
    AddPage(new CWizardMode_Step5(*this));
    AddPage(new CWizardMode_Step6(*this));
    auto* sectors = new CWizardMode_Step7(*this);
    AddPage(sectors);
    auto* results = new CWizardMode_Step8(*this);
    AddPage(results);
    AddPage(new CWizardMode_Finish(*this, ids::kWizardStep9));
    connect(sectors, &CWizardScanPage::StageEnded, this, [results](bool stopped) { results->SetAutoPilotDue(!stopped); });
    leftBar_ = new CWizardMode_LeftBar;
    setSideWidget(leftBar_);
    connect(this, &QWizard::currentIdChanged, this, &CWizardMode_Main::ShowSteps);
    BuildMenu(cmd::kModeFourStepWizard, tr("Quick Wizard"));
    ShowSteps();
}

void CWizardMode_Main::ShowSteps() {
    std::vector<QString> steps;
    for (const unsigned id : kStepTitles) steps.push_back(StepName(Text(App(), id)));
    leftBar_->Show(steps, std::max(0, currentId()));
}

void CWizardMode_Main::ProcessAnotherDrive() {
    CWizardSheet::ProcessAnotherDrive();
    next();  // past the welcome, to the drive
}

}  // namespace tl::ui
