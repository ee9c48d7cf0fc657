#include "ui/wizard/wizard_pages.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "filesystems/file_system.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/found_tree.h"
#include "platform/notify.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/found_files_commands.h"
#include "ui/explorer/found_rows.h"
#include "ui/explorer/volume_explore_view.h"
#include "ui/main/drive_pane.h"
#include "ui/main/log_pane.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr int kFileSystemRefreshMs = 200;
constexpr int kSectorRefreshMs = 250;
constexpr int kStatesRefreshMs = 2000;

// A FAT volume's file-system stage gives no measure of its progress: its bar moves instead.
bool IsFatFamily(CVolume& volume) {
    std::uint32_t code = volume.FileSystem().TypeCode;
    // A partition not analysed yet is known by its table's type byte.
    if (code == 0 && volume.Kind != VK_PHYSICAL) code = volume.Layout.Entries[0].PartitionType;
    return code != 0 && FileSystemFamilyOf(code) == kFamilyFat;
}

}  // namespace

QLabel* ValueOf(QLabel* caption) { return qobject_cast<QLabel*>(caption->buddy()); }

std::uint64_t ReadErrorsOfAll(CApp& app) {
    std::uint64_t errors = 0;
    for (CVolume* v : app.Computer().Volumes().Snapshot()) errors += v->ReadErrors.load();
    return errors;
}

QString VolumeText(const CVolume* volume) {
    return volume ? ShownName(volume->GetName()) : QString();
}

CDestinationField::CDestinationField(CApp& app, const QString& name, QWidget* parent) : QWidget(parent), app_(app) {
    folder_ = new QLineEdit;
    folder_->setMaxLength(4095);
    folder_->setAccessibleName(name);
    browse_ = new QPushButton(tr("Browse..."));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(folder_, 1);
    row->addWidget(browse_);
    connect(browse_, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, Text(app_, ids::kSelectDestinationFolder),
                                                                 Folder().isEmpty() ? QDir::homePath() : Folder());
        if (!chosen.isEmpty()) SetFolder(chosen.endsWith(QLatin1Char('/')) ? chosen : chosen + QLatin1Char('/'));
    });
}

QString CDestinationField::Folder() const { return folder_->text().trimmed(); }

void CDestinationField::SetFolder(const QString& folder) { folder_->setText(folder); }

bool AcceptDestination(CWizardSheet& sheet, QWidget* parent, const QString& folder) {
    CApp& app = sheet.App();
    const auto warn = [&](const QString& text) {
        QMessageBox::warning(parent, sheet.windowTitle(), text);
        return false;
    };
    if (folder.isEmpty()) return warn(Text(app, ids::kChooseDestinationFolder));
    if (!QDir().mkpath(folder))
        return warn(QString::fromStdString(app.Format(ids::kDestinationNotCreated, folder.toStdString())));
    std::string destination = folder.toStdString();
    if (sheet.Volume() && app.Computer().CheckDestination(*sheet.Volume(), destination) < 0) return false;
    app.Settings().SetDestinationFolder(destination);
    return true;
}

// ---------------------------------------------------------------------------
// The drive page.

CWizardDrivePage::CWizardDrivePage(CWizardSheet& sheet, unsigned titleId, const char* section)
    : CWizardPageBase(sheet, titleId, section) {
    auto* prompt = new QLabel(tr("Select the drive letter of your card reader, digital device or hard drive:"));
    prompt->setWordWrap(true);
    drives_ = new CDrivePane(App());
    hint_ = new QLabel(tr("Select a drive in the list to go on."));
    hint_->setWordWrap(true);
    auto* load = new QPushButton(tr("Load Drive Image..."));
    rescan_ = new QPushButton(tr("Rescan Drives"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(load);
    buttons->addWidget(rescan_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(drives_, 1);
    layout->addWidget(hint_);
    layout->addLayout(buttons);
    connect(drives_, &CDrivePane::SelectionChanged, this, [this](CVolume* volume) {
        // The choice holds at once: a switch to another mode keeps it.
        if (volume) Sheet().SetVolume(volume);
        hint_->setVisible(!isComplete());
        emit completeChanged();
    });
    connect(load, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Load Drive Image"), QDir::homePath(),
                                                          QStringLiteral("Drive Image Files ( *.dsk ) (*.dsk);;All Files ( *.* ) (*)"));
        if (!path.isEmpty()) Sheet().OpenSource(path);
    });
    connect(rescan_, &QPushButton::clicked, this, &CWizardDrivePage::Rescan);
    refreshTimer_.setInterval(250);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        if (App().Computer().Volumes().RefreshRunning()) return;
        refreshTimer_.stop();
        rescan_->setEnabled(true);
        drives_->Rebuild();
    });
    AddControl(1001, prompt);
    AddControl(1002, hint_);
    AddControl(1003, load);
    AddControl(1004, rescan_);
    Translate();
}

void CWizardDrivePage::Rescan() {
    if (Sheet().Busy() || refreshTimer_.isActive()) return;
    rescan_->setEnabled(false);
    App().Computer().Volumes().Refresh(true);
    refreshTimer_.start();
}

void CWizardDrivePage::initializePage() {
    drives_->Rebuild();
    if (Sheet().Volume()) drives_->Select(Sheet().Volume());
    hint_->setVisible(!isComplete());
}

bool CWizardDrivePage::isComplete() const { return drives_->SelectedVolume() != nullptr; }

bool CWizardDrivePage::validatePage() {
    CVolume* volume = drives_->SelectedVolume();
    if (!volume) return false;
    Sheet().SetVolume(volume);
    return true;
}

void CWizardDrivePage::OnAppMessage(const platform::AppMessage& message) {
    switch (message.id) {
    case msg::kVolumeRemoved:
        drives_->Forget(reinterpret_cast<const CVolume*>(static_cast<std::uintptr_t>(message.wparam)));
        emit completeChanged();
        break;
    case msg::kVolumeAdded:
    case msg::kMediaChanged:
        drives_->Rebuild();
        if (message.id == msg::kVolumeAdded && Sheet().Volume()) drives_->Select(Sheet().Volume());
        emit completeChanged();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// A scanning page.

CWizardScanPage::CWizardScanPage(CWizardSheet& sheet, unsigned titleId, const char* section, Stage stage)
    : CWizardPageBase(sheet, titleId, section), stage_(stage) {
    const bool sectors = stage_ == Stage::Sectors;
    auto* form = new QFormLayout;
    QLabel* volumeCaption = AddValueRow(form, tr("Selected volume:"), {});
    volumeName_ = ValueOf(volumeCaption);
    bar_ = new QProgressBar;
    bar_->setRange(0, 100);
    bar_->setAccessibleName(tr("Total progress"));
    auto* barCaption = new QLabel(tr("Total progress:"));
    barCaption->setBuddy(bar_);
    form->addRow(barCaption, bar_);
    start_ = new QPushButton(tr("Start"));
    stop_ = new QPushButton(tr("Stop"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    form->addRow(buttons);

    auto* counters = new QFormLayout;
    QLabel* foundCaption = AddValueRow(counters, tr("Files found:"), QStringLiteral("0"));
    filesFound_ = ValueOf(foundCaption);
    QLabel* errorsCaption = AddValueRow(counters, tr("Read errors:"), QStringLiteral("0"));
    readErrors_ = ValueOf(errorsCaption);
    QLabel* statusCaption = AddValueRow(counters, tr("Status:"), Text(App(), ids::kIdle));
    status_ = ValueOf(statusCaption);
    QLabel* positionCaption =
        AddValueRow(counters, sectors ? tr("Current sector:") : tr("Current record:"), QStringLiteral("0"));
    position_ = ValueOf(positionCaption);
    QLabel* totalCaption = AddValueRow(counters, sectors ? tr("Total sectors:") : tr("Total records:"), QStringLiteral("0"));
    total_ = ValueOf(totalCaption);
    QLabel* freeCaption = nullptr;
    if (sectors) {
        freeCaption = AddValueRow(counters, tr("Free sectors:"), {});
        free_ = ValueOf(freeCaption);
    }
    log_ = new CLogPane;
    log_->setAccessibleName(tr("Progress Log"));
    auto* logCaption = new QLabel(tr("Progress Log:"));
    logCaption->setBuddy(log_);
    showNames_ = new QCheckBox(tr("Show filenames (this will decrease scanning speed)"));

    auto* top = new QHBoxLayout;
    top->addLayout(form, 3);
    top->addSpacing(16);
    top->addLayout(counters, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(logCaption);
    layout->addWidget(log_, 1);
    layout->addWidget(showNames_);

    connect(start_, &QPushButton::clicked, this, &CWizardScanPage::Start);
    connect(stop_, &QPushButton::clicked, this, &CWizardScanPage::Stop);
    connect(showNames_, &QCheckBox::toggled, this, &CWizardScanPage::StoreShowFileNames);
    refreshTimer_.setInterval(sectors ? kSectorRefreshMs : kFileSystemRefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &CWizardScanPage::Refresh);
    statesTimer_.setInterval(kStatesRefreshMs);
    connect(&statesTimer_, &QTimer::timeout, this, &CWizardScanPage::UpdateStates);

    AddControl(1001, volumeCaption);
    AddControl(1002, barCaption);
    AddControl(1003, start_);
    AddControl(1004, stop_);
    AddControl(1005, logCaption);
    AddControl(1006, foundCaption);
    AddControl(1007, errorsCaption);
    AddControl(1008, statusCaption);
    AddControl(1009, positionCaption);
    AddControl(1010, totalCaption);
    AddControl(1011, showNames_);
    if (freeCaption) AddControl(1012, freeCaption);
    Translate();
}

void CWizardScanPage::initializePage() {
    log_->clear();
    CVolume* volume = Sheet().Volume();
    SetValue(volumeName_, VolumeText(volume));
    // Read before any run of this page: no stage changes the volume's parser meanwhile.
    moving_ = stage_ == Stage::FileSystem && volume && !Sheet().Busy() && IsFatFamily(*volume);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    barDone_ = false;
    if (free_) {
        const std::optional<std::uint64_t> free = volume && !Sheet().Busy() ? volume->FreeSectorCount() : std::nullopt;
        SetValue(free_, free ? QString::number(*free) : Text(App(), ids::kUnknown));
    }
    showNames_->setChecked(App().Settings().ShowFileNames());
    refreshTimer_.start();
    statesTimer_.start();
    UpdateStates();
}

void CWizardScanPage::StoreShowFileNames() {
    App().Settings().SetU32(AppSettings::kShowFileNames, showNames_->isChecked() ? 1 : 0);
}

bool CWizardScanPage::validatePage() {
    StoreShowFileNames();
    refreshTimer_.stop();
    statesTimer_.stop();
    return true;
}

void CWizardScanPage::cleanupPage() {
    StoreShowFileNames();
    refreshTimer_.stop();
    statesTimer_.stop();
}

void CWizardScanPage::Start() {
    if (running_ || Sheet().Busy() || !Sheet().Volume()) return;
    AppSettings& s = App().Settings();
    s.SetU32(AppSettings::kSectorsAfterFileSystem, 0);
    s.SetU32(AppSettings::kContinueQueuedVolumes, 0);
    const AnalysisStages stages = stage_ == Stage::FileSystem ? AnalysisStages::FileSystem
                                  : s.ScanEntireDrive()       ? AnalysisStages::SectorStage
                                                              : AnalysisStages::FreeSpaceSectorStage;
    readErrorsBefore_ = ReadErrorsOfAll(App());
    if (!Sheet().StartStages(stages)) return;
    running_ = true;
    barDone_ = false;
    bar_->setValue(0);
    if (moving_) bar_->setRange(0, 0);
    UpdateStates();
}

void CWizardScanPage::Stop() {
    if (!running_) return;
    Sheet().StopAnalysisAsked();
    Refresh();
}

void CWizardScanPage::Refresh() {
    CAnalysisSession& session = Sheet().Session();
    CVolume* current = App().Computer().CurrentVolume();
    const std::vector<CVolume*> analysed = session.Volumes();
    if (!current || std::find(analysed.begin(), analysed.end(), current) == analysed.end()) current = Sheet().Volume();
    std::uint64_t found = 0;
    for (CVolume* v : analysed) found += stage_ == Stage::FileSystem ? v->FsFiles.load() : v->ScanFiles.load();
    SetValue(filesFound_, QString::number(found));
    const std::uint64_t errors = ReadErrorsOfAll(App());
    SetValue(readErrors_, QString::number(errors > readErrorsBefore_ ? errors - readErrorsBefore_ : 0));
    if (current && running_) {
        SetValue(position_, QString::number(current->ProgressPos.load()));
        SetValue(total_, QString::number(current->ProgressEnd.load()));
        // A total under 100 units leaves the bar where it was.
        const std::uint64_t hundredth = current->ProgressEnd.load() / 100;
        if (!moving_ && hundredth != 0)
            bar_->setValue(static_cast<int>(std::min<std::uint64_t>(100, current->ProgressPos.load() / hundredth)));
    }
    if (running_ && !session.Running()) {
        // The run ended: a stage that was not stopped fills the bar once and
        // moves the sheet on by itself; a stopped one leaves the bar where
        // it was, so that it never reads as complete.
        running_ = false;
        bar_->setRange(0, 100);
        if (!barDone_ && !session.Stopped()) {
            barDone_ = true;
            bar_->setValue(100);
        }
        UpdateStates();
        emit StageEnded(session.Stopped());
        if (!session.Stopped() && Sheet().currentPage() == this) Sheet().next();
    }
}

void CWizardScanPage::UpdateStates() {
    const QString state = Text(App(), running_ ? ids::kBusy : ids::kIdle);
    SetValue(status_, state);
    start_->setEnabled(!running_ && !Sheet().Busy() && Sheet().Volume() != nullptr);
    stop_->setEnabled(running_);
    emit completeChanged();
    Sheet().UpdateNavigation();
}

void CWizardScanPage::OnAppMessage(const platform::AppMessage& message) {
    // A stage's end is seen at once rather than at the next tick.
    if (message.id == msg::kFileSystemStageEnded || message.id == msg::kSectorStageEnded) Refresh();
}

void CWizardScanPage::OnLogLine(const QString& line) { log_->AddLine(line); }

// ---------------------------------------------------------------------------
// A results page.

CWizardResultsPage::CWizardResultsPage(CWizardSheet& sheet, unsigned titleId, const char* section, bool allCommands,
                                       bool sideBySide, const QString& note)
    : CWizardPageBase(sheet, titleId, section) {
    auto* caption = new QLabel(tr("Found files:"));
    explore_ = new CVolumeExploreView(App());
    // A page is narrower than the explorer: the folders take less room, and
    // the columns are narrowed so that the date shows whole.
    explore_->setOrientation(sideBySide ? Qt::Horizontal : Qt::Vertical);
    explore_->setSizes(sideBySide ? QList<int>{200, 560} : QList<int>{130, 300});
    explore_->ListView()->setColumnWidth(0, 170);
    explore_->ListView()->setColumnWidth(1, 80);
    explore_->ListView()->setColumnWidth(2, 90);
    caption->setBuddy(explore_->ListView());
    commands_ = new CFoundFilesCommands(App(), *explore_, &Sheet(), [this] { return Sheet().Busy(); });
    recover_ = new QPushButton(tr("&Recover..."));
    filters_ = new QPushButton(tr("Filters"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(recover_);
    if (allCommands) {
        open_ = new QPushButton(tr("&Try to Open..."));
        information_ = new QPushButton(tr("&Information..."));
        buttons->addWidget(open_);
        buttons->addWidget(information_);
        connect(open_, &QPushButton::clicked, commands_, &CFoundFilesCommands::TryToOpen);
        connect(information_, &QPushButton::clicked, commands_, &CFoundFilesCommands::ShowInformation);
    }
    buttons->addWidget(filters_);
    buttons->addStretch(1);
    auto* noteLabel = new QLabel(note);
    noteLabel->setWordWrap(true);
    noteLabel->setVisible(!note.isEmpty());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
    layout->addWidget(explore_, 1);
    layout->addLayout(buttons);
    layout->addWidget(noteLabel);
    connect(recover_, &QPushButton::clicked, this, [this] { Sheet().AddRecovered(commands_->Recover()); });
    connect(filters_, &QPushButton::clicked, commands_, &CFoundFilesCommands::ShowFilters);
    connect(explore_, &CVolumeExploreView::FilesChanged, this, &CWizardResultsPage::UpdateButtons);
    connect(explore_, &CVolumeExploreView::FileActivated, this, [this] {
        if (open_ && open_->isEnabled()) open_->click();
    });
    // The context menus of the found files, as in the explorer.
    auto* recoverAction = new QAction(recover_->text(), this);
    connect(recoverAction, &QAction::triggered, recover_, &QPushButton::click);
    checkAll_ = new QAction(this);
    connect(checkAll_, &QAction::triggered, this, [this] { explore_->SetAllChecked(true); });
    uncheckAll_ = new QAction(this);
    connect(uncheckAll_, &QAction::triggered, this, [this] { explore_->SetAllChecked(false); });
    explore_->SetContextCommands({recoverAction, checkAll_, uncheckAll_});
    explore_->SetTreeContextCommands({recoverAction, checkAll_, uncheckAll_});
    Retranslate();
    AddControl(1001, caption);
    AddControl(1002, recover_);
    if (open_) AddControl(1003, open_);
    if (information_) AddControl(1004, information_);
    AddControl(1005, filters_);
    if (!note.isEmpty()) AddControl(1006, noteLabel);
    Translate();
}

// The context menu's check commands are named by the tool tips of their texts, as in the explorer.
void CWizardResultsPage::Retranslate() {
    checkAll_->setText(SplitCommandText(Text(App(), cmd::kCheckAll)).toolTip);
    uncheckAll_->setText(SplitCommandText(Text(App(), cmd::kUncheckAll)).toolTip);
}

void CWizardResultsPage::initializePage() {
    explore_->ExploreVolume(Sheet().SharedVolume());
    UpdateButtons();
}

void CWizardResultsPage::UpdateButtons() {
    const bool busy = Sheet().Busy();
    recover_->setEnabled(!busy && explore_->HasFilesToRecover());
    if (open_) open_->setEnabled(!busy && explore_->CurrentFile() != nullptr);
    if (information_) information_->setEnabled(explore_->CurrentFile() != nullptr);
}

bool CWizardResultsPage::validatePage() {
    const CVolume* volume = Sheet().Volume();
    const bool found = volume && volume->FsFiles.load() + volume->ScanFiles.load() > 0;
    if (found && Sheet().RecoveredCount() == 0 &&
        QMessageBox::question(this, Text(App(), ids::kConfirmation), Text(App(), ids::kConfirmNextWithoutRecovery)) !=
            QMessageBox::Yes)
        return false;
    return true;
}

void CWizardResultsPage::OnAppMessage(const platform::AppMessage& message) {
    if (message.id == msg::kFoundTreeChanged) {
        explore_->TreeChanged(message.wparam, message.lparam);
        UpdateButtons();
    } else if (message.id == msg::kVolumeRemoved &&
               reinterpret_cast<const CVolume*>(static_cast<std::uintptr_t>(message.wparam)) == explore_->Volume()) {
        explore_->ExploreVolume(nullptr);
        UpdateButtons();
    }
}

void CWizardResultsPage::RecoverEverythingLost() {
    const std::shared_ptr<CVolume> volume = Sheet().SharedVolume();
    if (!volume) return;
    Sheet().AddRecovered(commands_->RecoverUnattended(volume->FoundTree().DeletedAndLostFiles()));
}

// ---------------------------------------------------------------------------
// The Finish page.

CWizardMode_Finish::CWizardMode_Finish(CWizardSheet& sheet, unsigned titleId)
    : CWizardPageBase(sheet, titleId, "Wizard.Finish") {
    auto* form = new QFormLayout;
    QLabel* foundCaption = AddValueRow(form, tr("Files found:"), QStringLiteral("0"));
    found_ = ValueOf(foundCaption);
    QLabel* recoveredCaption = AddValueRow(form, tr("Files Recovered:"), QStringLiteral("0"));
    recovered_ = ValueOf(recoveredCaption);
    explore_ = new QPushButton(tr("Explore Recovered Files"));
    auto* another = new QPushButton(tr("Process Another Drive"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(explore_);
    buttons->addWidget(another);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(12);
    layout->addLayout(buttons);
    layout->addStretch(1);
    setFinalPage(true);
    connect(explore_, &QPushButton::clicked, this, [this] {
        const QString folder = QString::fromStdString(App().Settings().DestinationFolder());
        if (!folder.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
    connect(another, &QPushButton::clicked, this, [this] { Sheet().ProcessAnotherDrive(); });
    AddControl(1001, foundCaption);
    AddControl(1002, recoveredCaption);
    AddControl(1003, explore_);
    AddControl(1004, another);
    Translate();
}

void CWizardMode_Finish::initializePage() {
    const CVolume* volume = Sheet().Volume();
    SetValue(found_, QString::number(volume ? volume->FsFiles.load() + volume->ScanFiles.load() : 0));
    SetValue(recovered_, QString::number(Sheet().RecoveredCount()));
    const QString folder = QString::fromStdString(App().Settings().DestinationFolder());
    explore_->setEnabled(!folder.isEmpty() && QDir(folder).exists());
}

}  // namespace tl::ui
