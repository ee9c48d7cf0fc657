#include "ui/main/window_modes.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "platform/notify.h"
#include "recovery/recovery.h"
#include "storage/analysis_session.h"
#include "storage/local_computer.h"
#include "ui/main/main_frame.h"
#include "ui/main/ui_text.h"
#include "ui/wizard/wizard_main.h"
#include "ui/wizard/wizard_main2.h"

namespace tl::ui {

CWindowModes::CWindowModes(CApp& app, CQtNotificationSink& sink) : app_(app), sink_(sink) {}

CWindowModes::~CWindowModes() = default;

std::unique_ptr<ITopWindow> CWindowModes::Make(int mode) {
    std::unique_ptr<ITopWindow> window;
    switch (static_cast<unsigned>(mode)) {
    case cmd::kModeExplorer:
    case cmd::kModeExplorerAlt: {
        auto frame = std::make_unique<CMainFrame>(app_, sink_);
        connect(frame.get(), &CMainFrame::ModeRequested, this, &CWindowModes::RequestMode);
        window = std::move(frame);
        break;
    }
    case cmd::kModeNineStepWizard: {
        auto sheet = std::make_unique<CWizardMode_Main>(app_, sink_);
        connect(sheet.get(), &CWizardSheet::ModeRequested, this, &CWindowModes::RequestMode);
        window = std::move(sheet);
        break;
    }
    case cmd::kModeFourStepWizard: {
        auto sheet = std::make_unique<CWizardMode_Main2>(app_, sink_);
        connect(sheet.get(), &CWizardSheet::ModeRequested, this, &CWindowModes::RequestMode);
        window = std::move(sheet);
        break;
    }
    default:
        break;
    }
    return window;
}

int CWindowModes::SwitchMode(int mode) {
    if (mode == cmd::kModeNone || static_cast<unsigned>(mode) == cmd::kModeKeepCurrent) return app_.WindowMode();
    if (mode == cmd::kModeRecreate) mode = app_.WindowMode();
    if (mode == cmd::kModeNone) return mode;
    // The window that goes leaves its place and its volume to the next.
    CVolume* selected = nullptr;
    if (top_) {
        const QRect r = top_->Widget()->normalGeometry();
        if (r.isValid()) app_.Settings().SetWindowRect(WindowRect{r.left(), r.top(), r.width(), r.height()});
        selected = top_->SelectedVolume();
    }
    std::unique_ptr<ITopWindow> next = Make(mode);
    if (!next) return app_.WindowMode();
    app_.SetWindowMode(mode);
    if (selected) next->SelectVolume(selected);
    // Shown before the old one goes, so that the program never has no window.
    next->Widget()->show();
    top_ = std::move(next);
    return mode;
}

void CWindowModes::RequestMode(int mode) {
    // The window asking is deleted by the switch: it happens after its command.
    QTimer::singleShot(0, this, [this, mode] {
        if (top_ && top_->Analysing() && !top_->StopAnalysisAsked()) return;
        SwitchMode(mode);
    });
}

void CWindowModes::PlaceAtStoredRect(QWidget& window, CApp& app) {
    const WindowRect r = app.Settings().GetWindowRect();
    QRect place(r.left, r.top, std::max(r.width, 400), std::max(r.height, 300));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        if (!available.contains(place)) {
            place.setSize(place.size().boundedTo(available.size()));
            place.moveCenter(available.center());
        }
    }
    window.setGeometry(place);
}

CVolume* CWindowModes::OpenSource(CAnalysisSession& session, platform::WindowId windowId, const QString& title,
                                  const QString& path) {
    std::string error;
    CVolume* volume = session.OpenSource(path.toStdString(), error);
    if (!volume)
        platform::ShowMessageBox(windowId, QObject::tr("%1 cannot be read: %2").arg(path, QString::fromStdString(error)).toStdString(),
                                 title.toStdString(), platform::kMbOk | platform::kMbIconWarning);
    return volume;
}

CKeptAnalysis::Started CWindowModes::StartKept(CApp& app, CKeptAnalysis& kept, CVolume& source, AnalysisStages stages,
                                               CKeptAnalysis::GoOnWith with, platform::WindowId windowId,
                                               const QString& title) {
    const auto goOn = [&](CVolume& volume) {
        return platform::ShowMessageBox(windowId, app.Format(ids::kScanResumeQuestion, volume.GetName()), title.toStdString(),
                                        platform::kMbYesNo | platform::kMbIconQuestion) == platform::kIdYes;
    };
    CKeptAnalysis::Started started = kept.Start(source, stages, with, goOn);
    if (!started.refusal.empty())
        platform::ShowMessageBox(windowId, started.refusal, title.toStdString(), platform::kMbOk | platform::kMbIconWarning);
    return started;
}

bool CWindowModes::StopAsked(CApp& app, CAnalysisSession& session, QWidget& window) {
    if (!session.Running()) return true;
    if (app.Settings().ConfirmScanAbort() &&
        QMessageBox::question(&window, Text(app, ids::kConfirmation), Text(app, ids::kConfirmStopScanning)) !=
            QMessageBox::Yes)
        return false;
    session.Stop();
    return true;
}

bool CWindowModes::MayClose(CApp& app, CAnalysisSession& session, QWidget& window) {
    // A dialog open over the window (a recovery's progress, a question) is
    // answered first: closing under it would end the program while its work
    // still runs.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != &window) {
        modal->raise();
        modal->activateWindow();
        return false;
    }
    if (session.Running()) {
        // Asked before anything is stopped: a close by mistake keeps the run.
        if (!StopAsked(app, session, window)) return false;
        app.Log().LogInfo(app.GetString(ids::kAborting));
        session.Wait(5000);
        app.Log().LogInfo(app.GetString(ids::kOperationAborted));
    }
    app.Computer().Opening().DeleteTempFiles();
    return app.Exit() != 0;
}

}  // namespace tl::ui
