// The main window: the drive pane and the log pane, the menu, the tool bar
// and the status bar with its progress bar. It turns commands into calls on
// the core's analysis session and renders what the core reports through its
// notifications; it holds no recovery logic of its own.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QTimer>

#include <map>
#include <memory>

#include "app/app.h"
#include "filesystems/found_object.h"
#include "platform/notify.h"
#include "session/kept_analysis.h"
#include "storage/analysis_session.h"
#include "ui/main/window_modes.h"

class QAction;
class QMenu;
class QSplitter;
class QToolBar;
class QTabWidget;
class QToolButton;

namespace tl {
class CFinder;
}

namespace tl::ui {

class CDrivePane;
class CFoundFilesCommands;
class CHexViewer_Pane;
class CLegendPane;
class CSearchBarView;
class CVolumeExploreView;
class CLogPane;
class CQtNotificationSink;

class CMainFrame : public QMainWindow, public ITopWindow {
    Q_OBJECT
public:
    CMainFrame(CApp& app, CQtNotificationSink& sink, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The command of `id` (32774, 32781, ...), or null when the window has none.
    QAction* Command(unsigned id) const;
    // Loads a drive image or a listed device and selects it; false, after
    // telling the user why, when it cannot be read.
    bool OpenSource(const QString& path) override;
    QWidget* Widget() override { return this; }
    CVolume* SelectedVolume() const override;
    void SelectVolume(CVolume* volume) override;
    bool StopAnalysisAsked() override;
    // The enabling rules and check marks, as the idle update sets them.
    void UpdateCommands();
    // Starts the stages asked for on the selected volume (what the Analyze
    // drop-down offers); false when nothing is selected or a run goes on.
    bool StartAnalysis(AnalysisStages stages);
    // Whether this window's analysis run goes on.
    bool Analysing() const override { return session_.Running(); }

signals:
    // "Wizard Mode" and the other mode commands: the window of `mode` is to replace this one.
    void ModeRequested(int mode);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* e) override;

private:
    std::int64_t OnMessage(const platform::AppMessage& message);
    QAction* AddCommand(unsigned id, const QString& menuText, const QIcon& icon = {});
    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBar();
    // The texts the window composes itself, in the current language.
    void Retranslate();
    void ApplyViewFlags();
    void ToggleViewFlag(std::uint32_t field);

    void RescanDrives();
    void LoadDriveImage();
    void CreateDriveImage();
    // The scan file of the last analysis, copied where the user chooses.
    void SaveScan();
    // A saved scan: its source opened and what it found listed, no scan run.
    void OpenScan();
    void ShowCurrentFileData();
    void StartSearch();
    // The settings sheet, at the page of the command (32798: the first).
    void ShowSettings(unsigned commandId);
    void OnFastTick();
    void OnSlowTick();
    void SetStatusText(const QString& text);
    void ShowStatus();
    bool Busy() const;
    // Whether the run analyses `volume`, or a volume on it.
    bool Analyses(const CVolume* volume) const;

    CApp& app_;
    CQtNotificationSink& sink_;
    platform::WindowId windowId_ = 0;
    // The runs, each kept in its source's scan file.
    CKeptAnalysis kept_;
    CAnalysisSession& session_;
    CVolume* analysed_ = nullptr;  // the source of the last run started
    std::map<unsigned, QAction*> commands_;
    QToolBar* toolBar_ = nullptr;
    QAction* analyze_ = nullptr;
    QToolButton* analyzeButton_ = nullptr;
    QMenu* analyzeMenu_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QSplitter* explorer_ = nullptr;
    QTabWidget* panes_ = nullptr;
    CDrivePane* drives_ = nullptr;
    CLegendPane* legend_ = nullptr;
    CVolumeExploreView* explore_ = nullptr;
    CFoundFilesCommands* files_ = nullptr;
    CSearchBarView* searchBar_ = nullptr;
    std::unique_ptr<CFinder> finder_;
    bool searching_ = false;
    CHexViewer_Pane* viewer_ = nullptr;
    const CFoundObject* shownFile_ = nullptr;  // the file the data viewer shows
    CLogPane* log_ = nullptr;
    QLabel* statusText_ = nullptr;
    QString status_;     // the first pane's text
    QString statusTip_;  // the status text of the command under the pointer
    QLabel* stateText_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTimer fastTimer_;
    QTimer slowTimer_;
    bool refreshing_ = false;
};

}  // namespace tl::ui
