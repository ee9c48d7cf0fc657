// The interface modes: one top-level window shows at a time, the explorer
// main window or one of the two wizards. Switching keeps the window's place:
// the rectangle of the window that goes is stored and the new one opens
// there. What every top-level window does alike when it closes (the stop of
// its analysis, the temporary copies, the exit question) lives here too.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "platform/notify.h"
#include "session/kept_analysis.h"

class QCloseEvent;
class QWidget;

namespace tl {
class CApp;
class CAnalysisSession;
class CVolume;
}

namespace tl::ui {

class CQtNotificationSink;

// What the modes ask of the window that shows.
class ITopWindow {
public:
    virtual ~ITopWindow() = default;
    virtual QWidget* Widget() = 0;
    // Whether the window's analysis run goes on.
    virtual bool Analysing() const = 0;
    // Asks "Are you sure you want to stop scanning?" when the settings say
    // so and stops the run; false when the user declined.
    virtual bool StopAnalysisAsked() = 0;
    // Loads a drive image or a listed device and selects it (the command line).
    virtual bool OpenSource(const QString& path) = 0;
    // The volume the user chose, carried over to the next mode's window.
    virtual CVolume* SelectedVolume() const = 0;
    virtual void SelectVolume(CVolume* volume) = 0;
};

class CWindowModes : public QObject {
    Q_OBJECT
public:
    CWindowModes(CApp& app, CQtNotificationSink& sink);
    ~CWindowModes() override;

    // Shows the window of `mode`: 32841 or 32842 the explorer, 32840 the
    // nine-step wizard, 32874 the four-step one; 32875 keeps the window, 0
    // makes the current mode's window again, -1 changes nothing. The new
    // window opens where the old one was, with its volume selected. Returns
    // the mode now current (-1 before any window).
    int SwitchMode(int mode);
    // A window's command asks for `mode`: switched once the command has
    // returned. While an analysis runs, the user is asked to stop it first;
    // declined, nothing changes.
    void RequestMode(int mode);
    ITopWindow* Top() const { return top_.get(); }

    // Places `window` at the stored rectangle, moved onto the screen when it
    // lies off it (a screen smaller than the last one).
    static void PlaceAtStoredRect(QWidget& window, CApp& app);
    // The volume of the image or device at `path`, opened through
    // `session`; null after telling the user why it cannot be read, in a
    // plain-text box over the window `windowId` under `title`.
    static CVolume* OpenSource(CAnalysisSession& session, platform::WindowId windowId, const QString& title,
                               const QString& path);
    // Asks "Are you sure you want to stop scanning?" when the settings say
    // so and stops `session`'s run; false when the user declined.
    static bool StopAsked(CApp& app, CAnalysisSession& session, QWidget& window);
    // Starts `stages` on `source` through `kept`. An unfinished scan of the
    // source is offered to go on, and a scan file that cannot is said why,
    // in boxes over the window `windowId` under `title`.
    static CKeptAnalysis::Started StartKept(CApp& app, CKeptAnalysis& kept, CVolume& source, AnalysisStages stages,
                                            CKeptAnalysis::GoOnWith with, platform::WindowId windowId,
                                            const QString& title);
    // The close of a top-level window: while its analysis runs, the stop is
    // asked first (declined, the window stays and the run goes on); then
    // the run is stopped, the temporary copies asked about and the exit
    // sequence run. False when the window stays open.
    static bool MayClose(CApp& app, CAnalysisSession& session, QWidget& window);

private:
    std::unique_ptr<ITopWindow> Make(int mode);

    CApp& app_;
    CQtNotificationSink& sink_;
    std::unique_ptr<ITopWindow> top_;
};

}  // namespace tl::ui
