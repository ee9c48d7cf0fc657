// What the two wizards share: a sheet of pages with Back, Next and a menu
// button, which owns the analysis run of the volume chosen on its drive
// page, receives the core's notifications as the top-level window and the
// log window, hands them to the page that shows, and closes with the
// program's exit question. The pages are built from the explorer's parts
// (the drive pane, the file-type tree, the found-files views and commands).
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWizard>
#include <QWizardPage>

#include <memory>

#include "session/kept_analysis.h"
#include "storage/analysis_session.h"
#include "ui/main/window_modes.h"

class QMenu;
class QMenuBar;
class QPushButton;

namespace tl {
class CApp;
class CVolume;
}

namespace tl::ui {

class CQtNotificationSink;
class CQtWindowTarget;
class CWizardPageBase;

class CWizardSheet : public QWizard, public ITopWindow {
    Q_OBJECT
public:
    // `mode` is the sheet's interface mode (32840 or 32874); `section` the
    // language section of the sheet's own buttons.
    CWizardSheet(CApp& app, CQtNotificationSink& sink, int mode, const char* section, QWidget* parent = nullptr);
    ~CWizardSheet() override;

    CApp& App() { return app_; }
    CAnalysisSession& Session() { return session_; }
    // The volume the drive page chose (held while the sheet shows it), or null.
    CVolume* Volume() const { return volume_.get(); }
    const std::shared_ptr<CVolume>& SharedVolume() const { return volume_; }
    void SetVolume(CVolume* volume);

    // Starts the stages on the chosen volume; false when none is chosen or a
    // run goes on. The wizard's runs are kept in the volume's scan file, a
    // sector stage in the file of the file-system stage before it; the
    // first stage offers to go on with an unfinished scan, stage by stage.
    bool StartStages(AnalysisStages stages);
    // Busy from the start of a run, before its worker says so.
    bool Busy() const;
    // Back and Next follow the page while nothing runs; while a run goes
    // on, both are disabled.
    void UpdateNavigation();

    // The files recovered since the drive was chosen.
    int RecoveredCount() const { return recovered_; }
    void AddRecovered(int count) { recovered_ += count > 0 ? count : 0; }
    // "Process Another Drive": back to the drive page, counts cleared.
    virtual void ProcessAnotherDrive();

    // ITopWindow
    QWidget* Widget() override { return this; }
    CVolume* SelectedVolume() const override { return Volume(); }
    void SelectVolume(CVolume* volume) override { SetVolume(volume); }
    bool Analysing() const override { return session_.Running(); }
    bool StopAnalysisAsked() override;
    bool OpenSource(const QString& path) override;

    // Finish and Escape close the sheet as its close box does: with the exit question.
    void accept() override;
    void reject() override;

signals:
    void ModeRequested(int mode);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Adds a page; its id is its position.
    void AddPage(CWizardPageBase* page);
    // The sheet's menu ("WizardMenu"), with the mode `other` to switch to.
    void BuildMenu(unsigned otherWizard, const QString& otherText);

private:
    std::int64_t OnMessage(const platform::AppMessage& message);
    CWizardPageBase* CurrentPage() const;
    // Tells every page of the application message `id`.
    void NotifyPages(unsigned id);

    CApp& app_;
    CQtNotificationSink& sink_;
    platform::WindowId windowId_ = 0;
    CKeptAnalysis kept_;
    CAnalysisSession& session_;
    QTimer keptTimer_;  // writes the end of a kept run once it ended
    std::shared_ptr<CVolume> volume_;
    int recovered_ = 0;
    QPushButton* menuButton_ = nullptr;
    QMenuBar* menuHolder_ = nullptr;  // holds the menu for its translation; never shown
    std::shared_ptr<CQtWindowTarget> target_;
};

// A page of a wizard, translated under its language section, its title
// from the string table.
class CWizardPageBase : public QWizardPage {
    Q_OBJECT
public:
    CWizardPageBase(CWizardSheet& sheet, unsigned titleId, const char* section);

    CWizardSheet& Sheet() const { return sheet_; }
    CApp& App() const { return sheet_.App(); }
    // A notification of the core while the page shows.
    virtual void OnAppMessage(const platform::AppMessage& message) { (void)message; }
    // A line of the log while the page shows.
    virtual void OnLogLine(const QString& line) { (void)line; }
    // Whether the page's work keeps Back and Next disabled.
    virtual bool Working() const { return false; }
    bool isComplete() const override;

protected:
    // The page's controls, translated by their identifiers once Translate is called.
    void AddControl(int controlId, QWidget* control);
    // Registers the page with the language manager: call at the end of the
    // page's constructor, when every control is added.
    void Translate();
    // The texts the page composes itself, in the current language.
    virtual void Retranslate() {}

private:
    CWizardSheet& sheet_;
    unsigned titleId_;
    const char* section_;
    std::shared_ptr<CQtWindowTarget> target_;
};

}  // namespace tl::ui
