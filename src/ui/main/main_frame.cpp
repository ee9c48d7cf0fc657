#include "ui/main/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app_messages.h"
#include "app/string_ids.h"
#include "app/event_log.h"
#include "filesystems/found_tree.h"
#include "recovery/recovery.h"
#include "storage/analysis_busy.h"
#include "storage/image_creation.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/dialogs/help_dlg.h"
#include "app/finder.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/found_files_commands.h"
#include "ui/explorer/files_tree_view.h"
#include "ui/explorer/search_bar_view.h"
#include "ui/explorer/volume_explore_view.h"
#include "ui/hexview/hex_viewer_pane.h"
#include "ui/dialogs/volume_image_create_dlg.h"
#include "ui/main/drive_pane.h"
#include "ui/main/found_icons.h"
#include "ui/main/legend_pane.h"
#include "ui/main/log_pane.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"
#include "ui/settings/settings_dlg.h"

namespace tl::ui {
namespace {

constexpr int kFastTickMs = 250;

// The file chosen in `chooser`, which opens wide enough for its columns
// (the type and the date of a file) in every language; empty when none was.
QString Chosen(QFileDialog& chooser) {
    chooser.resize(chooser.sizeHint().expandedTo(QSize(780, 480)));
    // Its detail view: the name takes what the size, type and date leave.
    if (auto* details = chooser.findChild<QTreeView*>()) {
        QHeaderView* columns = details->header();
        columns->setStretchLastSection(false);
        for (int c = 1; c < columns->count(); ++c) columns->setSectionResizeMode(c, QHeaderView::ResizeToContents);
        columns->setSectionResizeMode(0, QHeaderView::Stretch);
    }
    return chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty() ? chooser.selectedFiles().front()
                                                                                     : QString();
}
constexpr int kSlowTickMs = 2000;

// The commands that start work on a drive: enabled only while nothing is analysed.
constexpr unsigned kDriveCommands[] = {cmd::kStartAnalyzing, cmd::kCreateDriveImage, cmd::kLoadDriveImage,
                                       cmd::kRescanDrives, cmd::kSearchLostDrives};

}  // namespace

CMainFrame::CMainFrame(CApp& app, CQtNotificationSink& sink, QWidget* parent)
    : QMainWindow(parent),
      app_(app), sink_(sink), kept_(app.Computer(), app.Store()), session_(kept_.Session()) {
    setObjectName(QStringLiteral("MainFrame"));
    setWindowTitle(QStringLiteral("Documents Tessa-Loft"));
    windowId_ = sink_.RegisterWindow(this, [this](const platform::AppMessage& m) { return OnMessage(m); });
    sink_.SetTopWindow(windowId_);
    app_.SetTopWindow(windowId_);
    app_.SetLogWindow(windowId_);
    app_.SetWindowMode(static_cast<int>(cmd::kModeExplorer));
    app_.SetWindowRectSource([this]() -> std::optional<WindowRect> {
        const QRect r = normalGeometry();
        return WindowRect{r.left(), r.top(), r.width(), r.height()};
    });

    // The drive pane beside the explorer area: the find bar and the found
    // objects above the tabs of the log, the data viewer and the legend.
    drives_ = new CDrivePane(app_);
    explore_ = new CVolumeExploreView(app_);
    files_ = new CFoundFilesCommands(app_, *explore_, this, [this] { return Busy(); });
    viewer_ = new CHexViewer_Pane(app_);
    legend_ = new CLegendPane(app_);
    log_ = new CLogPane;
    // Below the found objects, one pane at a time: the log, the data viewer, the legend.
    panes_ = new QTabWidget;
    panes_->setDocumentMode(true);
    panes_->addTab(log_, tr("Log"));
    panes_->addTab(viewer_, Text(app_, ids::kDataViewer));
    panes_->addTab(legend_, Text(app_, ids::kLegend));
    viewer_->ShowTitle(false);
    legend_->ShowTitle(false);
    // The find bar above the found objects, shown by "Search".
    searchBar_ = new CSearchBarView(app_);
    searchBar_->hide();
    auto* found = new QWidget;
    auto* foundLayout = new QVBoxLayout(found);
    foundLayout->setContentsMargins(0, 0, 0, 0);
    foundLayout->setSpacing(0);
    foundLayout->addWidget(searchBar_);
    foundLayout->addWidget(explore_, 1);
    finder_ = std::make_unique<CFinder>(&app_.Computer().Log(), &app_.Languages());
    connect(searchBar_, &CSearchBarView::SearchRequested, this, &CMainFrame::StartSearch);
    connect(searchBar_, &CSearchBarView::CloseRequested, this, [this] {
        finder_->Stop();
        finder_->Wait(5000);
        searching_ = false;
        searchBar_->hide();
        explore_->ShowFolder();
        UpdateCommands();
    });
    explorer_ = new QSplitter(Qt::Vertical);
    explorer_->addWidget(found);
    explorer_->addWidget(panes_);
    explorer_->setStretchFactor(0, 1);
    explorer_->setStretchFactor(1, 0);
    explorer_->setChildrenCollapsible(false);
    // Shares of the window's first height; the found objects take what the window gains.
    explorer_->setSizes({300, 200});
    splitter_ = new QSplitter(Qt::Horizontal);
    splitter_->addWidget(drives_);
    splitter_->addWidget(explorer_);
    splitter_->setStretchFactor(0, 2);
    splitter_->setStretchFactor(1, 3);
    setCentralWidget(splitter_);
    connect(drives_, &CDrivePane::SelectionChanged, this, [this](CVolume* volume) {
        // A search reads the explored volume's tree: it ends before another is shown.
        if (finder_->Running() && volume != explore_->Volume()) {
            finder_->Stop();
            finder_->Wait(5000);
            searching_ = false;
        }
        // The explorer holds the volume it shows, whatever the drive list does meanwhile.
        explore_->ExploreVolume(volume ? app_.Computer().Volumes().Share(volume) : nullptr);
        UpdateCommands();
    });
    connect(explore_, &CVolumeExploreView::FilesChanged, this, [this] {
        UpdateCommands();
        ShowCurrentFileData();
    });
    // Enter on a file row opens it, as "Try To Open..." does.
    connect(explore_, &CVolumeExploreView::FileActivated, this, [this] {
        if (QAction* open = Command(cmd::kTryToOpen); open && open->isEnabled()) open->trigger();
    });
    // What the log held before the window existed (the start-up lines).
    for (const std::string& line : app_.Log().Lines()) log_->AddLine(QString::fromStdString(line));

    BuildMenus();
    // The log's tab is named as its View command, in every language.
    connect(Command(cmd::kToggleLog), &QAction::changed, this, [this] {
        panes_->setTabText(panes_->indexOf(log_), Command(cmd::kToggleLog)->text().remove(QLatin1Char('&')));
    });
    drives_->AddContextCommand(Command(cmd::kRescanDrives));  // F5 in the drive pane's menu too
    BuildToolBar();
    BuildStatusBar();
    ApplyViewFlags();

    CWindowModes::PlaceAtStoredRect(*this, app_);

    fastTimer_.setInterval(kFastTickMs);
    connect(&fastTimer_, &QTimer::timeout, this, &CMainFrame::OnFastTick);
    fastTimer_.start();
    slowTimer_.setInterval(kSlowTickMs);
    connect(&slowTimer_, &QTimer::timeout, this, &CMainFrame::OnSlowTick);
    slowTimer_.start();
    SetStatusText(Text(app_, ids::kProgramRunning));
    platform::PostAppMessage(windowId_, msg::kLayoutPanes, 0, 0);

    // The texts this window composes itself follow the language; the menus
    // are translated as "MainMenu".
    auto target = std::make_shared<CQtWindowTarget>(this);
    target->OnLanguageChanged([this] { Retranslate(); });
    app_.Languages().RegisterWindow("MainFrame", target);
    UpdateCommands();
}

void CMainFrame::Retranslate() {
    for (const auto& [id, action] : commands_) {
        const CommandTexts texts = SplitCommandText(Text(app_, id));
        // A command without a text of its own in the table shows its menu text.
        if (texts.status != QString::number(id) && !texts.status.isEmpty()) {
            action->setStatusTip(texts.status);
            action->setToolTip(texts.toolTip);
        }
    }
    // The list's context commands are named by the tool tips of their texts.
    for (const unsigned id : {cmd::kCheckAll, cmd::kUncheckAll})
        Command(id)->setText(SplitCommandText(Text(app_, id)).toolTip);
    const QString analyze = Text(app_, ids::kAnalyzeButton);
    analyze_->setText(analyze);
    analyze_->setToolTip(Command(cmd::kStartAnalyzing)->toolTip());
    analyze_->setStatusTip(Command(cmd::kStartAnalyzing)->statusTip());
    analyzeButton_->setAccessibleName(analyze);
    for (QAction* stage : analyzeMenu_->actions()) stage->setText(Text(app_, stage->data().toUInt()));
    Command(cmd::kFind)->setIconText(Text(app_, ids::kFindButton));
    legend_->Retranslate();
    viewer_->Retranslate();
    panes_->setTabText(panes_->indexOf(viewer_), Text(app_, ids::kDataViewer));
    panes_->setTabText(panes_->indexOf(legend_), Text(app_, ids::kLegend));
    drives_->Rebuild();
    UpdateCommands();
}

CMainFrame::~CMainFrame() {
    // A run still going is stopped by the session; nothing it posts reaches this window any more.
    sink_.UnregisterWindow(windowId_);
    // The window of the next mode may have taken both already.
    if (app_.LogWindow() == windowId_) app_.SetLogWindow(0);
    if (app_.TopWindow() == windowId_) app_.SetTopWindow(0);
}

QAction* CMainFrame::Command(unsigned id) const {
    const auto it = commands_.find(id);
    return it == commands_.end() ? nullptr : it->second;
}

// Status texts and tool tips are set by Retranslate, once every command exists.
QAction* CMainFrame::AddCommand(unsigned id, const QString& menuText, const QIcon& icon) {
    auto* action = new QAction(icon, menuText, this);
    action->setData(static_cast<int>(id));
    commands_[id] = action;
    return action;
}

void CMainFrame::BuildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* start = AddCommand(cmd::kStartAnalyzing, tr("Start Analyzing"),
                                WithGreyDisabledImages(ThemeIcon("system-search", QStyle::SP_MediaPlay)));
    connect(start, &QAction::triggered, this, [this] {
        StartAnalysis(app_.Settings().SectorsAfterFileSystem() ? AnalysisStages::FileSystemAndSectors
                                                               : AnalysisStages::FileSystem);
    });
    file->addAction(start);
    QAction* stop = AddCommand(cmd::kStopAnalyzing, tr("Stop Analyzing"),
                               WithGreyDisabledImages(ThemeIcon("process-stop", QStyle::SP_MediaStop)));
    connect(stop, &QAction::triggered, this, &CMainFrame::StopAnalysisAsked);
    file->addAction(stop);
    file->addSeparator();
    QAction* load = AddCommand(cmd::kLoadDriveImage, tr("Load Drive Image..."),
                               ThemeIcon("document-open", QStyle::SP_DialogOpenButton));
    connect(load, &QAction::triggered, this, &CMainFrame::LoadDriveImage);
    file->addAction(load);
    QAction* image = AddCommand(cmd::kCreateDriveImage, tr("Create Drive Image..."),
                                ThemeIcon("document-save-as", QStyle::SP_DialogSaveButton));
    connect(image, &QAction::triggered, this, &CMainFrame::CreateDriveImage);
    file->addAction(image);
    QAction* rescan = AddCommand(cmd::kRescanDrives, tr("Rescan Drives"),
                                 WithGreyDisabledImages(ThemeIcon("view-refresh", QStyle::SP_BrowserReload)));
    rescan->setShortcut(QKeySequence(Qt::Key_F5));
    connect(rescan, &QAction::triggered, this, &CMainFrame::RescanDrives);
    file->addAction(rescan);
    QAction* lost = AddCommand(cmd::kSearchLostDrives, tr("Search Lost Drives"));
    connect(lost, &QAction::triggered, this, [this] { StartAnalysis(AnalysisStages::LostVolumes); });
    file->addAction(lost);
    file->addSeparator();
    QAction* saveScan = AddCommand(cmd::kSaveScan, tr("Save Scan..."), ThemeIcon("document-save-as", QStyle::SP_DialogSaveButton));
    connect(saveScan, &QAction::triggered, this, &CMainFrame::SaveScan);
    file->addAction(saveScan);
    QAction* openScan = AddCommand(cmd::kOpenScan, tr("Open Scan..."), ThemeIcon("document-open", QStyle::SP_DialogOpenButton));
    connect(openScan, &QAction::triggered, this, &CMainFrame::OpenScan);
    file->addAction(openScan);
    file->addSeparator();
    QAction* recover = AddCommand(cmd::kRecover, tr("Recover... "),
                                  WithGreyDisabledImages(ThemeIcon("document-save", QStyle::SP_DialogSaveButton)));
    recover->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(recover, &QAction::triggered, this, [this] { files_->Recover(); });
    // The tool bar's text follows the menu text ("Recover... ") in every language.
    const auto shortText = [recover] {
        const QString text = recover->text().remove(QLatin1Char('&')).remove(QStringLiteral("...")).trimmed();
        if (recover->iconText() != text) recover->setIconText(text);
    };
    connect(recover, &QAction::changed, this, shortText);
    shortText();
    file->addAction(recover);
    QAction* open = AddCommand(cmd::kTryToOpen, tr("Try To Open..."), ThemeIcon("document-open", QStyle::SP_DialogOpenButton));
    connect(open, &QAction::triggered, files_, &CFoundFilesCommands::TryToOpen);
    file->addAction(open);
    QAction* information = AddCommand(cmd::kFileInformation, tr("&Information..."),
                                      ThemeIcon("document-properties", QStyle::SP_FileDialogInfoView));
    information->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    connect(information, &QAction::triggered, files_, &CFoundFilesCommands::ShowInformation);
    file->addAction(information);
    QAction* resetSize = AddCommand(cmd::kResetSize, tr("R&eset Size"));
    connect(resetSize, &QAction::triggered, files_, &CFoundFilesCommands::ResetSize);
    file->addAction(resetSize);
    QAction* newSize = AddCommand(cmd::kSetNewSize, tr("Set &New Size..."));
    connect(newSize, &QAction::triggered, files_, &CFoundFilesCommands::SetNewSize);
    file->addAction(newSize);
    // The context menus of the found files: the list's acts on its rows, the tree's on its folders.
    QAction* checkAll = AddCommand(cmd::kCheckAll, tr("Check All"));
    connect(checkAll, &QAction::triggered, this, [this] { explore_->SetAllChecked(true); });
    QAction* uncheckAll = AddCommand(cmd::kUncheckAll, tr("Uncheck All"));
    connect(uncheckAll, &QAction::triggered, this, [this] { explore_->SetAllChecked(false); });
    explore_->SetContextCommands({recover, open, information, resetSize, newSize, checkAll, uncheckAll});
    explore_->SetTreeContextCommands({recover, checkAll, uncheckAll});
    file->addSeparator();
    QAction* exit = AddCommand(cmd::kExit, tr("&Exit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);
    file->addAction(exit);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    const auto toggle = [&](unsigned id, const QString& text, std::uint32_t field) {
        QAction* a = AddCommand(id, text);
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, field] { ToggleViewFlag(field); });
        view->addAction(a);
    };
    toggle(cmd::kToggleToolbar, tr("&Tool bar"), AppSettings::kShowToolbar);
    toggle(cmd::kToggleStatusBar, tr("&Status Bar"), AppSettings::kShowStatusBar);
    toggle(cmd::kToggleLog, tr("&Log"), AppSettings::kShowLog);
    toggle(cmd::kToggleLegend, tr("Legend"), AppSettings::kShowButtons);
    view->addSeparator();
    QAction* find = AddCommand(cmd::kFind, tr("&Search"), ThemeIcon("edit-find", QStyle::SP_FileDialogContentsView));
    find->setCheckable(true);
    find->setIconText(Text(app_, ids::kFindButton));
    connect(find, &QAction::triggered, this, [this](bool shown) {
        searchBar_->setVisible(shown);
        if (shown) searchBar_->FocusName();
    });
    view->addAction(find);
    QAction* filters = AddCommand(cmd::kFilters, tr("Filters..."), ThemeIcon("view-filter", QStyle::SP_FileDialogListView));
    connect(filters, &QAction::triggered, files_, &CFoundFilesCommands::ShowFilters);
    view->addAction(filters);
    view->addSeparator();
    // The wizards: the four-step one ("Wizard Mode") and the nine-step one.
    QAction* wizard = AddCommand(cmd::kWizardMode, tr("Wizard Mode"), ThemeIcon("tools-wizard", QStyle::SP_ArrowRight));
    connect(wizard, &QAction::triggered, this, [this] { emit ModeRequested(static_cast<int>(cmd::kModeFourStepWizard)); });
    view->addAction(wizard);
    QAction* steps = AddCommand(cmd::kModeNineStepWizard, tr("Step-by-Step Wizard"));
    connect(steps, &QAction::triggered, this, [this] { emit ModeRequested(static_cast<int>(cmd::kModeNineStepWizard)); });
    view->addAction(steps);

    QMenu* settings = menuBar()->addMenu(tr("&Settings"));
    const auto sheet = [&](unsigned id, const QString& text, const QIcon& icon = {}) {
        QAction* a = AddCommand(id, text, icon);
        connect(a, &QAction::triggered, this, [this, id] { ShowSettings(id); });
        settings->addAction(a);
    };
    sheet(cmd::kSettings, tr("Settings..."), ThemeIcon("preferences-system", QStyle::SP_FileDialogDetailedView));
    settings->addSeparator();
    sheet(cmd::kSettingsCommon, tr("Common Settings..."));
    sheet(cmd::kSettingsConfirmations, tr("Confirmations..."));
    sheet(cmd::kSettingsFileTypes, tr("File Types..."));
    sheet(cmd::kSettingsTempFolder, tr("Temporary Folder..."));
    sheet(cmd::kSettingsDriveAccess, tr("Drive Access..."));
    sheet(cmd::kSettingsLogging, tr("Logging..."));
    sheet(cmd::kSettingsLanguage, tr("Interface Language..."));

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    QAction* topics = AddCommand(cmd::kHelp, tr("&Help Topics"), ThemeIcon("help-contents", QStyle::SP_DialogHelpButton));
    topics->setShortcut(QKeySequence(Qt::Key_F1));
    connect(topics, &QAction::triggered, this, [this] {
        CHelpDlg dialog(Command(cmd::kHelp)->iconText(), this);
        dialog.exec();
    });
    help->addAction(topics);
    help->addSeparator();
    QAction* about = AddCommand(cmd::kAbout, tr("&About..."), ThemeIcon("help-about", QStyle::SP_MessageBoxInformation));
    connect(about, &QAction::triggered, this, [this] { ShowAboutBox(app_, Command(cmd::kAbout)->iconText(), this); });
    help->addAction(about);
    // Translated now and whenever the language changes.
    app_.Languages().RegisterMenu("MainMenu", std::make_shared<CQtMenuTarget>(menuBar()));
}

void CMainFrame::BuildToolBar() {
    toolBar_ = addToolBar(tr("Tool bar"));
    toolBar_->setObjectName(QStringLiteral("ToolBar"));
    toolBar_->setIconSize(QSize(24, 24));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar_->setMovable(false);
    // "Analyze" carries the choice of stages in its drop-down.
    // Each entry carries the identifier of its text.
    analyzeMenu_ = new QMenu(this);
    const auto mode = [&](unsigned textId, AnalysisStages stages) {
        QAction* entry = analyzeMenu_->addAction(Text(app_, textId));
        entry->setData(textId);
        connect(entry, &QAction::triggered, this, [this, stages] { StartAnalysis(stages); });
    };
    mode(ids::kStagesFileSystem, AnalysisStages::FileSystem);
    mode(ids::kStagesSectors, AnalysisStages::SectorsOnly);
    mode(ids::kStagesBoth, AnalysisStages::FileSystemAndSectors);
    mode(ids::kStagesLostVolumes, AnalysisStages::LostVolumes);
    // The button's own action: it is named "Analyze", and starts what "Start Analyzing" starts.
    analyze_ = new QAction(Command(cmd::kStartAnalyzing)->icon(), Text(app_, ids::kAnalyzeButton), this);
    analyze_->setData(static_cast<int>(cmd::kStartAnalyzing));
    connect(analyze_, &QAction::triggered, Command(cmd::kStartAnalyzing), &QAction::trigger);
    analyzeButton_ = new QToolButton(toolBar_);
    analyzeButton_->setDefaultAction(analyze_);
    analyzeButton_->setMenu(analyzeMenu_);
    analyzeButton_->setPopupMode(QToolButton::MenuButtonPopup);
    analyzeButton_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    analyzeButton_->setIconSize(QSize(24, 24));
    toolBar_->addWidget(analyzeButton_);
    toolBar_->addAction(Command(cmd::kStopAnalyzing));
    toolBar_->addAction(Command(cmd::kRescanDrives));
    toolBar_->addAction(Command(cmd::kRecover));
    toolBar_->addAction(Command(cmd::kFind));
    toolBar_->addAction(Command(cmd::kSettings));
    toolBar_->addSeparator();
    toolBar_->addAction(Command(cmd::kHelp));
    toolBar_->addAction(Command(cmd::kAbout));
}

void CMainFrame::ShowSettings(unsigned commandId) {
    CSettingsDlg sheet(app_, this);
    sheet.Open(CSettingsDlg::PageOfCommand(commandId));
    sheet.exec();
    ApplyViewFlags();
    UpdateCommands();
}

void CMainFrame::BuildStatusBar() {
    statusText_ = new QLabel;
    statusText_->setMinimumWidth(250);
    statusText_->setAccessibleName(tr("Status"));
    // The progress bar's pane keeps its width while the bar is hidden.
    auto* progressPane = new QWidget;
    progressPane->setFixedWidth(200);
    auto* paneLayout = new QHBoxLayout(progressPane);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setAccessibleName(tr("Progress"));
    progress_->hide();
    paneLayout->addWidget(progress_);
    stateText_ = new QLabel;
    stateText_->setMinimumWidth(200);
    stateText_->setAccessibleName(tr("Analysis state"));
    statusBar()->addWidget(statusText_, 1);
    statusBar()->addPermanentWidget(progressPane);
    statusBar()->addPermanentWidget(stateText_);
}

void CMainFrame::ApplyViewFlags() {
    const AppSettings& s = app_.Settings();
    toolBar_->setVisible(s.GetU32(AppSettings::kShowToolbar) != 0);
    statusBar()->setVisible(s.GetU32(AppSettings::kShowStatusBar) != 0);
    panes_->setTabVisible(panes_->indexOf(log_), s.GetU32(AppSettings::kShowLog) != 0);
    panes_->setTabVisible(panes_->indexOf(legend_), s.GetU32(AppSettings::kShowButtons) != 0);
}

void CMainFrame::ToggleViewFlag(std::uint32_t field) {
    AppSettings& s = app_.Settings();
    s.SetU32(field, s.GetU32(field) ? 0 : 1);
    ApplyViewFlags();
    UpdateCommands();
}

// Busy from the start of this window's run, before its worker says so.
bool CMainFrame::Busy() const { return AnalysisBusy().load() != 0 || session_.Running(); }

void CMainFrame::UpdateCommands() {
    const AppSettings& s = app_.Settings();
    Command(cmd::kToggleToolbar)->setChecked(s.GetU32(AppSettings::kShowToolbar) != 0);
    Command(cmd::kToggleStatusBar)->setChecked(s.GetU32(AppSettings::kShowStatusBar) != 0);
    Command(cmd::kToggleLog)->setChecked(s.GetU32(AppSettings::kShowLog) != 0);
    Command(cmd::kToggleLegend)->setChecked(s.GetU32(AppSettings::kShowButtons) != 0);
    Command(cmd::kFind)->setChecked(!searchBar_->isHidden());
    const bool busy = Busy();
    const bool volume = drives_->SelectedVolume() != nullptr;
    for (unsigned id : kDriveCommands)
        if (QAction* a = Command(id)) a->setEnabled(!busy);
    // The ones that act on a volume also need one.
    Command(cmd::kStartAnalyzing)->setEnabled(!busy && volume);
    analyze_->setEnabled(!busy && volume);
    Command(cmd::kSearchLostDrives)->setEnabled(!busy && volume);
    Command(cmd::kStopAnalyzing)->setEnabled(busy);
    Command(cmd::kSaveScan)->setEnabled(!busy && kept_.Kept());
    Command(cmd::kOpenScan)->setEnabled(!busy);
    // Files are recovered from a tree no analysis is rebuilding.
    Command(cmd::kRecover)->setEnabled(!busy && explore_->HasFilesToRecover());
    Command(cmd::kFileInformation)->setEnabled(explore_->CurrentFile() != nullptr);
    Command(cmd::kTryToOpen)->setEnabled(!busy && explore_->CurrentFile() != nullptr);
    // Asked at every tick: the selection is not listed for it.
    const bool selected = explore_->HasSelectedFiles();
    Command(cmd::kResetSize)->setEnabled(!busy && selected);
    Command(cmd::kSetNewSize)->setEnabled(selected);
    const QString state = Text(app_, busy ? ids::kBusy : ids::kIdle);
    if (stateText_->text() != state) {
        stateText_->setText(state);
        stateText_->setAccessibleDescription(state);
    }
}

// A label's text is told to screen readers as its description: its name says what it is.
void CMainFrame::SetStatusText(const QString& text) {
    if (status_ == text) return;  // the 250 ms tick sets it again and again
    status_ = text;
    statusText_->setAccessibleDescription(text);
    ShowStatus();
}

// The command under the pointer shows its status text in the first pane
// for as long as it is there; the status comes back after.
void CMainFrame::ShowStatus() { statusText_->setText(statusTip_.isEmpty() ? status_ : statusTip_); }

bool CMainFrame::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) {
        statusTip_ = static_cast<QStatusTipEvent*>(e)->tip();
        ShowStatus();
        return true;
    }
    return QMainWindow::event(e);
}

bool CMainFrame::StartAnalysis(AnalysisStages stages) {
    CVolume* volume = drives_->SelectedVolume();
    if (!volume || Busy()) return false;
    // The run is kept in the source's scan file; an interrupted one there
    // may go on instead, with the stages it had.
    const CKeptAnalysis::Started started =
        CWindowModes::StartKept(app_, kept_, *volume, stages, CKeptAnalysis::GoOnWith::SavedStages, windowId_, windowTitle());
    if (started.loaded) drives_->Rebuild();
    if (!started.running) return false;
    analysed_ = volume;
    progress_->setValue(0);
    progress_->show();
    UpdateCommands();
    return true;
}

bool CMainFrame::Analyses(const CVolume* volume) const {
    if (!volume) return false;
    const auto involved = [volume](CVolume* v) {
        // The volume itself, or the disk it lies on.
        for (int depth = 0; v && depth < 64; ++depth, v = v->GetParent())
            if (v == volume) return true;
        return false;
    };
    if (involved(analysed_)) return true;
    for (CVolume* v : session_.Volumes())
        if (involved(v)) return true;
    return false;
}

bool CMainFrame::StopAnalysisAsked() {
    if (!CWindowModes::StopAsked(app_, session_, *this)) return false;
    UpdateCommands();
    return true;
}

void CMainFrame::RescanDrives() {
    if (Busy() || refreshing_) return;
    // Rebuilt in the background: the tree follows when the list is done.
    refreshing_ = true;
    app_.Computer().Volumes().Refresh(true);
}

void CMainFrame::CreateDriveImage() {
    CVolume* volume = drives_->SelectedVolume();
    if (!volume || Busy()) return;
    QFileDialog chooser(this, Command(cmd::kCreateDriveImage)->text().remove(QStringLiteral("...")));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setDirectory(QDir::homePath());
    chooser.setDefaultSuffix(QStringLiteral("dsk"));
    chooser.setNameFilters({QStringLiteral("Drive Image Files ( *.dsk ) (*.dsk)"), QStringLiteral("All Files ( *.* ) (*)")});
    chooser.selectFile(QString::fromStdString(DefaultImageFileName(*volume, &app_.Languages())) + QStringLiteral(".dsk"));
    const QString file = Chosen(chooser);
    if (file.isEmpty()) return;
    auto job = std::make_shared<CImageCreation>();
    job->SourceVolume = volume;
    job->FileName = file.toStdString();
    CVolumeImage_CreateDlg progress(app_, sink_, job, this);
    if (!app_.Computer().StartImageCreation(job)) {
        platform::ShowMessageBox(windowId_, job->Problem.empty() ? "The copy could not be started." : job->Problem,
                                 progress.windowTitle().toStdString(), platform::kMbOk | platform::kMbIconWarning);
        return;
    }
    progress.exec();
    // A completed copy joins the list as an image, selected.
    if (CVolume* loaded = app_.Computer().LoadCreatedImage(*job)) {
        drives_->Rebuild();
        drives_->Select(loaded);
    }
}

// The data viewer follows the list's current row.
void CMainFrame::ShowCurrentFileData() {
    CFoundObject* stored = explore_->CurrentFile();
    if (stored == shownFile_) return;
    shownFile_ = stored;
    CFoundObject record;
    const bool copied = stored && explore_->ListView()->Model()->Copy(explore_->ListView()->currentIndex().row(), record);
    viewer_->Show(copied ? explore_->SharedVolume() : nullptr, copied ? &record : nullptr);
}

void CMainFrame::LoadDriveImage() {
    QFileDialog chooser(this, Command(cmd::kLoadDriveImage)->text().remove(QStringLiteral("...")));
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setDirectory(QDir::homePath());
    chooser.setNameFilters({QStringLiteral("Drive Image Files ( *.dsk ) (*.dsk)"), QStringLiteral("All Files ( *.* ) (*)")});
    if (const QString path = Chosen(chooser); !path.isEmpty()) OpenSource(path);
}

CVolume* CMainFrame::SelectedVolume() const { return drives_->SelectedVolume(); }

void CMainFrame::SelectVolume(CVolume* volume) { drives_->Select(volume); }

bool CMainFrame::OpenSource(const QString& path) {
    CVolume* volume = CWindowModes::OpenSource(session_, windowId_, windowTitle(), path);
    drives_->Rebuild();
    if (!volume) return false;
    drives_->Select(volume);
    return true;
}

void CMainFrame::SaveScan() {
    if (Busy() || !analysed_) return;
    const std::string scan = kept_.LastFile();  // its last writes done
    if (scan.empty()) return;
    QFileDialog chooser(this, Command(cmd::kSaveScan)->text().remove(QStringLiteral("...")).remove(QLatin1Char('&')));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setDirectory(QDir::homePath());
    chooser.setDefaultSuffix(QStringLiteral("tlscan"));
    chooser.setNameFilter(Text(app_, ids::kScanFileFilter));
    // Named after the drive it was made of ("card.img.tlscan").
    chooser.selectFile(ShownName(analysed_->GetName()).replace(QLatin1Char('/'), QLatin1Char('_')) + QStringLiteral(".tlscan"));
    const QString to = Chosen(chooser);
    if (to.isEmpty()) return;
    std::string error;
    if (!CScanSession::SaveCopy(scan, to.toStdString(), *analysed_, error))
        platform::ShowMessageBox(windowId_, error, windowTitle().toStdString(), platform::kMbOk | platform::kMbIconWarning);
}

void CMainFrame::OpenScan() {
    if (Busy()) return;
    QFileDialog chooser(this, Command(cmd::kOpenScan)->text().remove(QStringLiteral("...")).remove(QLatin1Char('&')));
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setDirectory(QDir::homePath());
    chooser.setNameFilters({Text(app_, ids::kScanFileFilter), QStringLiteral("All Files ( *.* ) (*)")});
    const QString file = Chosen(chooser);
    if (file.isEmpty()) return;
    std::string error;
    const std::string source = CScanSession::SourcePathOf(file.toStdString(), error);
    const auto refused = [&] {
        platform::ShowMessageBox(windowId_, error, windowTitle().toStdString(), platform::kMbOk | platform::kMbIconWarning);
    };
    if (source.empty()) return refused();
    if (!OpenSource(QString::fromStdString(source))) return;
    CVolume* volume = drives_->SelectedVolume();
    CScanSession opened(app_.Computer());
    if (!volume || !opened.Load(file.toStdString(), *volume, false, error)) return refused();
    drives_->Rebuild();
    drives_->Select(volume);
    explore_->Repaint();
    UpdateCommands();
}

void CMainFrame::OnFastTick() {
    kept_.Tick();
    if (searching_ && !finder_->Running()) {
        searching_ = false;
        explore_->ShowResults(finder_->Results());
    }
    if (refreshing_ && !app_.Computer().Volumes().RefreshRunning()) {
        refreshing_ = false;
        drives_->Rebuild();
    }
    if (!Busy()) {
        if (progress_->isVisible()) progress_->hide();
        SetStatusText(Text(app_, ids::kReady));
    } else if (CVolume* volume = app_.Computer().CurrentVolume()) {
        // A total under 100 units leaves the bar where it was.
        const std::uint64_t hundredth = volume->ProgressEnd.load() / 100;
        if (hundredth != 0) {
            progress_->show();
            progress_->setValue(static_cast<int>(std::min<std::uint64_t>(100, volume->ProgressPos.load() / hundredth)));
        }
    }
    UpdateCommands();
}

// The search runs on the core's worker; its results fill the list when it ends.
void CMainFrame::StartSearch() {
    CVolume* volume = explore_->Volume();
    if (!volume) return;
    finder_->Stop();
    finder_->Wait(5000);
    searchBar_->Store(finder_->Criteria());
    if (!finder_->Start(volume->FoundTree())) return;
    searching_ = true;
    SetStatusText(Text(app_, ids::kSearch));
}

void CMainFrame::OnSlowTick() {
    if (!Busy()) return;
    drives_->RefreshInformation();
    explore_->Repaint();
}

std::int64_t CMainFrame::OnMessage(const platform::AppMessage& message) {
    switch (message.id) {
    case msg::kLogLine:
        log_->AddLine(QString::fromStdString(message.text));
        return 0;
    case msg::kFoundTreeChanged:
        explore_->TreeChanged(message.wparam, message.lparam);
        return 0;
    case platform::kProbableSizeQuestion:
        return CFoundFilesCommands::AnswerProbableSize(app_, message, this);
    case msg::kLayoutPanes:
        ApplyViewFlags();
        return 0;
    case msg::kStatusText:
        SetStatusText(Text(app_, static_cast<unsigned>(message.wparam)));
        return 0;
    case msg::kSectorStageBegan:
        progress_->setRange(0, 100);
        progress_->setValue(0);
        progress_->show();
        return 0;
    case msg::kFileSystemStageEnded:
        explore_->Repaint();
        progress_->hide();
        drives_->RefreshInformation();
        return 0;
    case msg::kSectorStageEnded:
        explore_->Repaint();  // the last rows in their places
        progress_->hide();
        SetStatusText(Text(app_, ids::kReady));
        drives_->RefreshInformation();
        return 0;
    case msg::kAnalysisFinished:
    case msg::kVolumeAdded:
        explore_->Repaint();
        // Volumes found meanwhile join the tree.
        drives_->Rebuild();
        UpdateCommands();
        return 0;
    case msg::kVolumeRemoved: {
        // The medium left. The run holds its volumes, so nothing is freed
        // under it; but reading a medium that is gone finds nothing: it stops.
        const auto* gone = reinterpret_cast<const CVolume*>(static_cast<std::uintptr_t>(message.wparam));
        if (session_.Running() && Analyses(gone)) {
            app_.Log().LogWarning(app_.Format(ids::kAnalysedVolumeRemoved, gone->GetName()));
            session_.Stop();
        }
        if (gone == explore_->Volume()) explore_->ExploreVolume(nullptr);
        drives_->Forget(gone);
        UpdateCommands();
        return 0;
    }
    case msg::kMediaChanged:
        // A medium came or went: its volume's state and information change.
        drives_->Rebuild();
        UpdateCommands();
        return 0;
    default:
        return 0;
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (CWindowModes::MayClose(app_, session_, *this))
        event->accept();
    else
        event->ignore();
}

}  // namespace tl::ui
