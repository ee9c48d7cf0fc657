#include "ui/wizard/wizard_sheet.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/event_log.h"
#include "app/string_ids.h"
#include "platform/notify.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/dialogs/help_dlg.h"
#include "ui/explorer/found_files_commands.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"
#include "ui/settings/settings_dlg.h"

namespace tl::ui {
namespace {

// The property sheet's buttons, by the identifiers wizard sheets give them.
constexpr int kBackButtonId = 12323;
constexpr int kNextButtonId = 12324;
constexpr int kFinishButtonId = 12325;
constexpr int kMenuButtonId = 12330;

}  // namespace

CWizardSheet::CWizardSheet(CApp& app, CQtNotificationSink& sink, int mode, const char* section, QWidget* parent)
    : QWizard(parent), app_(app), sink_(sink), kept_(app.Computer(), app.Store()), session_(kept_.Session()) {
    setObjectName(QStringLiteral("WizardSheet"));
    setWindowTitle(QStringLiteral("Documents Tessa-Loft"));
    setAccessibleName(windowTitle());
    // A window of its own, as the main window is.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWizardStyle(QWizard::ModernStyle);
    setOption(QWizard::NoCancelButton, true);
    setOption(QWizard::HaveCustomButton1, true);
    setOption(QWizard::NoBackButtonOnLastPage, false);
    windowId_ = sink_.RegisterWindow(this, [this](const platform::AppMessage& m) { return OnMessage(m); });
    sink_.SetTopWindow(windowId_);
    app_.SetTopWindow(windowId_);
    app_.SetLogWindow(windowId_);
    app_.SetWindowMode(mode);
    app_.SetWindowRectSource([this]() -> std::optional<WindowRect> {
        const QRect r = normalGeometry();
        return WindowRect{r.left(), r.top(), r.width(), r.height()};
    });
    setMinimumSize(640, 480);
    CWindowModes::PlaceAtStoredRect(*this, app_);

    menuButton_ = new QPushButton(tr("Menu"));
    setButton(QWizard::CustomButton1, menuButton_);
    setButtonLayout({QWizard::CustomButton1, QWizard::Stretch, QWizard::BackButton, QWizard::NextButton,
                     QWizard::FinishButton});
    connect(this, &QWizard::currentIdChanged, this, [this] { UpdateNavigation(); });
    keptTimer_.setInterval(250);
    connect(&keptTimer_, &QTimer::timeout, this, [this] { kept_.Tick(); });
    keptTimer_.start();

    target_ = std::make_shared<CQtWindowTarget>(this);
    const auto translated = [this](QWizard::WizardButton which, int id) {
        target_->AddText(id, buttonText(which), [this, which](const QString& text) { setButtonText(which, text); });
    };
    translated(QWizard::BackButton, kBackButtonId);
    translated(QWizard::NextButton, kNextButtonId);
    translated(QWizard::FinishButton, kFinishButtonId);
    // The wizard sets its buttons' texts itself, the menu button's too.
    setButtonText(QWizard::CustomButton1, menuButton_->text());
    translated(QWizard::CustomButton1, kMenuButtonId);
    app_.Languages().RegisterWindow(section, target_);
}

CWizardSheet::~CWizardSheet() {
    sink_.UnregisterWindow(windowId_);
    // The window of the next mode may have taken both already.
    if (app_.LogWindow() == windowId_) app_.SetLogWindow(0);
    if (app_.TopWindow() == windowId_) app_.SetTopWindow(0);
}

void CWizardSheet::BuildMenu(unsigned otherWizard, const QString& otherText) {
    auto* menu = new QMenu(tr("Menu"), this);
    // Each entry carries its command identifier, by which it is translated.
    const auto add = [&](unsigned id, const QString& text) {
        QAction* action = menu->addAction(text);
        action->setData(static_cast<int>(id));
        return action;
    };
    connect(add(cmd::kModeExplorer, tr("Explorer Mode")), &QAction::triggered, this,
            [this] { emit ModeRequested(static_cast<int>(cmd::kModeExplorer)); });
    connect(add(otherWizard, otherText), &QAction::triggered, this,
            [this, otherWizard] { emit ModeRequested(static_cast<int>(otherWizard)); });
    menu->addSeparator();
    connect(add(cmd::kSettings, tr("Settings...")), &QAction::triggered, this, [this] {
        CSettingsDlg sheet(app_, this);
        sheet.Open(CSettingsDlg::PageOfCommand(cmd::kSettings));
        sheet.exec();
    });
    QAction* help = add(cmd::kHelp, tr("&Help Topics"));
    connect(help, &QAction::triggered, this, [this, help] {
        CHelpDlg dialog(help->text().remove(QLatin1Char('&')), this);
        dialog.exec();
    });
    QAction* about = add(cmd::kAbout, tr("&About..."));
    connect(about, &QAction::triggered, this,
            [this, about] { ShowAboutBox(app_, about->text().remove(QLatin1Char('&')), this); });
    menu->addSeparator();
    connect(add(cmd::kExit, tr("&Exit")), &QAction::triggered, this, &QWidget::close);
    menuButton_->setMenu(menu);
    // The language manager translates menus of menu bars: this one holds the
    // button's menu for it, and is never shown.
    menuHolder_ = new QMenuBar(this);
    menuHolder_->addMenu(menu);
    menuHolder_->hide();
    app_.Languages().RegisterMenu("WizardMenu", std::make_shared<CQtMenuTarget>(menuHolder_));
}

void CWizardSheet::AddPage(CWizardPageBase* page) { setPage(static_cast<int>(pageIds().size()), page); }

CWizardPageBase* CWizardSheet::CurrentPage() const { return qobject_cast<CWizardPageBase*>(currentPage()); }

void CWizardSheet::SetVolume(CVolume* volume) {
    volume_ = volume ? app_.Computer().Volumes().Share(volume) : nullptr;
}

bool CWizardSheet::StartStages(AnalysisStages stages) {
    if (!volume_ || Busy()) return false;
    const CKeptAnalysis::Started started = CWindowModes::StartKept(
        app_, kept_, *volume_, stages, CKeptAnalysis::GoOnWith::AskedStages, windowId_, windowTitle());
    // Volumes the scan file had found are listed on the drive page.
    if (started.loaded) NotifyPages(msg::kVolumeAdded);
    if (!started.running) return false;
    UpdateNavigation();
    return true;
}

void CWizardSheet::NotifyPages(unsigned id) {
    platform::AppMessage message;
    message.id = id;
    for (const int page : pageIds())
        if (auto* p = qobject_cast<CWizardPageBase*>(this->page(page))) p->OnAppMessage(message);
}

bool CWizardSheet::Busy() const { return session_.Running() || AnalysisBusy().load() != 0; }

void CWizardSheet::UpdateNavigation() {
    const CWizardPageBase* page = CurrentPage();
    const bool working = page && page->Working();
    // QWizard sets both from the page; a run going on disables them after it.
    if (QAbstractButton* back = button(QWizard::BackButton); back && working) back->setEnabled(false);
    if (QAbstractButton* next = button(QWizard::NextButton); next && working) next->setEnabled(false);
}

void CWizardSheet::ProcessAnotherDrive() {
    recovered_ = 0;
    restart();
}

bool CWizardSheet::StopAnalysisAsked() {
    if (!session_.Running()) return true;
    if (!CWindowModes::StopAsked(app_, session_, *this)) return false;
    app_.Log().LogInfo(app_.GetString(ids::kOperationAborted));
    return true;
}

bool CWizardSheet::OpenSource(const QString& path) {
    CVolume* volume = CWindowModes::OpenSource(session_, windowId_, windowTitle(), path);
    if (!volume) return false;
    SetVolume(volume);
    // The drive page shows it selected.
    NotifyPages(msg::kVolumeAdded);
    return true;
}

void CWizardSheet::accept() { close(); }

void CWizardSheet::reject() { close(); }

void CWizardSheet::closeEvent(QCloseEvent* event) {
    if (!CWindowModes::MayClose(app_, session_, *this)) {
        event->ignore();
        return;
    }
    event->accept();
    hide();
}

std::int64_t CWizardSheet::OnMessage(const platform::AppMessage& message) {
    CWizardPageBase* page = CurrentPage();
    switch (message.id) {
    case msg::kLogLine:
        if (page) page->OnLogLine(QString::fromStdString(message.text));
        return 0;
    case platform::kProbableSizeQuestion:
        return CFoundFilesCommands::AnswerProbableSize(app_, message, this);
    case msg::kVolumeRemoved: {
        // The medium left: reading a medium that is gone finds nothing, so
        // the run stops; the pages let go of the volume.
        const auto* gone = reinterpret_cast<const CVolume*>(static_cast<std::uintptr_t>(message.wparam));
        bool involved = false;
        const CVolume* v = volume_.get();
        for (int depth = 0; v && depth < 64 && !involved; ++depth, v = v->GetParent()) involved = v == gone;
        for (CVolume* w : session_.Volumes()) involved = involved || w == gone;
        if (session_.Running() && involved) {
            app_.Log().LogWarning(app_.Format(ids::kAnalysedVolumeRemoved, gone->GetName()));
            session_.Stop();
        }
        for (const int id : pageIds())
            if (auto* p = qobject_cast<CWizardPageBase*>(this->page(id))) p->OnAppMessage(message);
        if (volume_.get() == gone) volume_.reset();
        return 0;
    }
    case msg::kMediaChanged:
    case msg::kVolumeAdded:
    case msg::kFoundTreeChanged:
        // Every page that shows drives or found files keeps up, shown or not.
        for (const int id : pageIds())
            if (auto* p = qobject_cast<CWizardPageBase*>(this->page(id))) p->OnAppMessage(message);
        return 0;
    default:
        if (page) page->OnAppMessage(message);
        return 0;
    }
}

CWizardPageBase::CWizardPageBase(CWizardSheet& sheet, unsigned titleId, const char* section)
    : QWizardPage(nullptr), sheet_(sheet), titleId_(titleId), section_(section) {
    setTitle(Text(App(), titleId_));
    target_ = std::make_shared<CQtWindowTarget>(this);
}

bool CWizardPageBase::isComplete() const { return !Working(); }

void CWizardPageBase::AddControl(int controlId, QWidget* control) { target_->AddControl(controlId, control); }

void CWizardPageBase::Translate() {
    target_->OnLanguageChanged([this] {
        setTitle(Text(App(), titleId_));
        Retranslate();
    });
    App().Languages().RegisterWindow(section_, target_);
}

}  // namespace tl::ui
