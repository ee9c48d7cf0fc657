#include "ui/wizard/wizard_main2.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/event_log.h"
#include "app/string_ids.h"
#include "platform/notify.h"
#include "signatures/signature_database.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/common/file_type_tree.h"
#include "ui/main/log_pane.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr int kRefreshMs = 250;
constexpr int kStatesRefreshMs = 2000;

}  // namespace

CWizardMode_SelectDisk::CWizardMode_SelectDisk(CWizardSheet& sheet)
    : CWizardDrivePage(sheet, ids::kWizardSelectDisk, "Wizard.SelectDisk") {}

CWizardMode_ScanParam::CWizardMode_ScanParam(CWizardSheet& sheet)
    : CWizardPageBase(sheet, ids::kWizardScanParam, "Wizard.ScanParam") {
    auto* folderCaption = new QLabel(tr("The target folder where the recovered files will be saved:"));
    destination_ = new CDestinationField(App(), tr("Target folder"));
    folderCaption->setBuddy(destination_->Edit());
    keepStructure_ = new QCheckBox(tr("Keep the folder structure"));
    auto* prompt = new QLabel(tr("File types (signatures) that should be searched for and recovered:"));
    prompt->setWordWrap(true);
    types_ = new CFileTypeTree(App(), tr("File types"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(folderCaption);
    layout->addWidget(destination_);
    layout->addWidget(keepStructure_);
    layout->addSpacing(8);
    layout->addWidget(prompt);
    layout->addWidget(types_, 1);
    AddControl(1001, prompt);
    AddControl(1002, keepStructure_);
    AddControl(1003, folderCaption);
    AddControl(1004, destination_->Browse());
    Translate();
}

void CWizardMode_ScanParam::initializePage() {
    const AppSettings& s = App().Settings();
    destination_->SetFolder(QString::fromStdString(s.DestinationFolder()));
    keepStructure_->setChecked(s.KeepFolderStructure());
    types_->Load(App().Signatures(), &FileSignature::SearchEnable);
}

void CWizardMode_ScanParam::Store() {
    AppSettings& s = App().Settings();
    s.SetU32(AppSettings::kKeepFolderStructure, keepStructure_->isChecked() ? 1 : 0);
    s.SetDestinationFolder(destination_->Folder().toStdString());
    if (types_->Store(App().Signatures(), &FileSignature::SearchEnable)) App().Signatures().SaveAll();
}

bool CWizardMode_ScanParam::validatePage() {
    Store();
    if (destination_->Folder().isEmpty()) return true;
    if (!AcceptDestination(Sheet(), this, destination_->Folder())) return false;
    destination_->SetFolder(QString::fromStdString(App().Settings().DestinationFolder()));
    return true;
}

void CWizardMode_ScanParam::cleanupPage() { Store(); }

CWizardMode_Analysing::CWizardMode_Analysing(CWizardSheet& sheet)
    : CWizardPageBase(sheet, ids::kWizardAnalysing, "Wizard.Analysing") {
    auto* form = new QFormLayout;
    QLabel* volumeCaption = AddValueRow(form, tr("Selected volume:"), {});
    volumeName_ = ValueOf(volumeCaption);
    QLabel* foundCaption = AddValueRow(form, tr("Files found:"), QStringLiteral("0"));
    filesFound_ = ValueOf(foundCaption);
    const auto barRow = [&](const QString& caption, QProgressBar*& bar, QPushButton* button) {
        bar = new QProgressBar;
        bar->setRange(0, 100);
        bar->setAccessibleName(QString(caption).remove(QLatin1Char(':')));
        auto* label = new QLabel(caption);
        label->setBuddy(bar);
        auto* row = new QHBoxLayout;
        row->addWidget(bar, 1);
        row->addWidget(button);
        form->addRow(label, row);
        return label;
    };
    skip_ = new QPushButton(tr("Skip"));
    stop_ = new QPushButton(tr("Stop"));
    QLabel* fileSystemCaption = barRow(tr("Analysing file system progress:"), fileSystemBar_, skip_);
    QLabel* sectorsCaption = barRow(tr("Analysing drive sectors progress:"), sectorsBar_, stop_);
    QLabel* sectorCaption = AddValueRow(form, tr("Sector:"), QStringLiteral("0"));
    sector_ = ValueOf(sectorCaption);
    QLabel* ofCaption = AddValueRow(form, tr("of:"), QStringLiteral("0"));
    sectors_ = ValueOf(ofCaption);
    QLabel* errorsCaption = AddValueRow(form, tr("Read errors:"), QStringLiteral("0"));
    readErrors_ = ValueOf(errorsCaption);
    QLabel* statusCaption = AddValueRow(form, tr("Status:"), Text(App(), ids::kIdle));
    status_ = ValueOf(statusCaption);
    log_ = new CLogPane;
    log_->setAccessibleName(tr("Progress Log"));
    auto* logCaption = new QLabel(tr("Progress Log:"));
    logCaption->setBuddy(log_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(logCaption);
    layout->addWidget(log_, 1);
    connect(skip_, &QPushButton::clicked, this, &CWizardMode_Analysing::Skip);
    connect(stop_, &QPushButton::clicked, this, &CWizardMode_Analysing::Stop);
    refreshTimer_.setInterval(kRefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &CWizardMode_Analysing::Refresh);
    statesTimer_.setInterval(kStatesRefreshMs);
    connect(&statesTimer_, &QTimer::timeout, this, &CWizardMode_Analysing::UpdateStates);
    AddControl(1001, volumeCaption);
    AddControl(1002, foundCaption);
    AddControl(1003, fileSystemCaption);
    AddControl(1004, skip_);
    AddControl(1005, sectorsCaption);
    AddControl(1006, stop_);
    AddControl(1007, sectorCaption);
    AddControl(1008, ofCaption);
    AddControl(1009, errorsCaption);
    AddControl(1010, logCaption);
    AddControl(1011, statusCaption);
    Translate();
}

void CWizardMode_Analysing::initializePage() {
    SetValue(volumeName_, VolumeText(Sheet().Volume()));
    log_->clear();
    fileSystemBar_->setValue(0);
    sectorsBar_->setValue(0);
    analysed_.clear();
    skipping_ = false;
    // The whole analysis starts here, each stage on its own.
    AppSettings& s = App().Settings();
    s.SetU32(AppSettings::kSectorsAfterFileSystem, 0);
    s.SetU32(AppSettings::kContinueQueuedVolumes, 0);
    readErrorsBefore_ = ReadErrorsOfAll(App());
    phase_ = Sheet().StartStages(AnalysisStages::FileSystem) ? Phase::FileSystem : Phase::Stopped;
    refreshTimer_.start();
    statesTimer_.start();
    UpdateStates();
}

void CWizardMode_Analysing::cleanupPage() {
    refreshTimer_.stop();
    statesTimer_.stop();
    phase_ = Phase::Idle;
}

void CWizardMode_Analysing::Skip() {
    if (phase_ != Phase::FileSystem || !Sheet().Session().Running()) return;
    skipping_ = true;
    Sheet().Session().Stop();
    App().Log().LogInfo(App().GetString(ids::kOperationAborted));
    UpdateStates();
}

void CWizardMode_Analysing::Stop() {
    if (!Working()) return;
    if (!Sheet().StopAnalysisAsked()) return;
    skipping_ = false;
    // A run that ended meanwhile is not followed by the next stage.
    if (!Sheet().Session().Running()) phase_ = Phase::Stopped;
    Refresh();
}

void CWizardMode_Analysing::Refresh() {
    CAnalysisSession& session = Sheet().Session();
    const std::vector<CVolume*> volumes = session.Volumes();
    analysed_.insert(volumes.begin(), volumes.end());
    std::uint64_t found = 0;
    for (CVolume* v : analysed_) found += v->FsFiles.load() + v->ScanFiles.load();
    const std::uint64_t errors = ReadErrorsOfAll(App());
    SetValue(filesFound_, QString::number(found));
    SetValue(readErrors_, QString::number(errors > readErrorsBefore_ ? errors - readErrorsBefore_ : 0));
    CVolume* current = App().Computer().CurrentVolume();
    if (!current || !analysed_.count(current)) current = Sheet().Volume();
    if (current && Working()) {
        SetValue(sector_, QString::number(current->ProgressPos.load()));
        SetValue(sectors_, QString::number(current->ProgressEnd.load()));
        const std::uint64_t hundredth = current->ProgressEnd.load() / 100;
        QProgressBar* bar = phase_ == Phase::FileSystem ? fileSystemBar_ : sectorsBar_;
        if (hundredth != 0)
            bar->setValue(static_cast<int>(std::min<std::uint64_t>(100, current->ProgressPos.load() / hundredth)));
    }
    if (!Working() || session.Running()) return;
    const bool stopped = session.Stopped() && !skipping_;
    if (phase_ == Phase::FileSystem) {
        // A stage skipped or stopped leaves its bar where it was.
        if (!session.Stopped()) fileSystemBar_->setValue(100);
        skipping_ = false;
        phase_ = Phase::Stopped;
        if (!stopped) {
            // The file system is read: every sector follows.
            const AnalysisStages sectors = App().Settings().ScanEntireDrive() ? AnalysisStages::SectorStage
                                                                             : AnalysisStages::FreeSpaceSectorStage;
            if (Sheet().StartStages(sectors)) phase_ = Phase::Sectors;
        }
    } else if (phase_ == Phase::Sectors) {
        phase_ = stopped ? Phase::Stopped : Phase::Done;
        if (!stopped) sectorsBar_->setValue(100);
    }
    UpdateStates();
    if (phase_ == Phase::Done && Sheet().currentPage() == this) Sheet().next();
}

void CWizardMode_Analysing::UpdateStates() {
    const bool running = Sheet().Session().Running();
    SetValue(status_, Text(App(), Working() ? ids::kBusy : ids::kIdle));
    skip_->setEnabled(phase_ == Phase::FileSystem && running && !skipping_);
    stop_->setEnabled(Working());
    emit completeChanged();
    Sheet().UpdateNavigation();
}

void CWizardMode_Analysing::OnAppMessage(const platform::AppMessage& message) {
    if (message.id == msg::kFileSystemStageEnded || message.id == msg::kSectorStageEnded) Refresh();
}

void CWizardMode_Analysing::OnLogLine(const QString& line) { log_->AddLine(line); }

CWizardMode_ExploreFoundFiles::CWizardMode_ExploreFoundFiles(CWizardSheet& sheet)
    : CWizardResultsPage(sheet, ids::kWizardExploreFoundFiles, "Wizard.ExploreFoundFiles", false, true) {}

CWizardMode_Main2::CWizardMode_Main2(CApp& app, CQtNotificationSink& sink, QWidget* parent)
    : CWizardSheet(app, sink, static_cast<int>(cmd::kModeFourStepWizard), "WizardMain", parent) {
    AddPage(new CWizardMode_SelectDisk(*this));
    AddPage(new CWizardMode_ScanParam(*this));
    AddPage(new CWizardMode_Analysing(*this));
    AddPage(new CWizardMode_ExploreFoundFiles(*this));
    AddPage(new CWizardMode_Finish(*this, ids::kWizardFinish));
    BuildMenu(cmd::kModeNineStepWizard, tr("Step-by-Step Wizard"));
}

}  // namespace tl::ui
