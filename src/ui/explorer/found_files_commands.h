// The commands that act on the found files a window shows: Recover, Try To
// Open, Information, Reset Size, Set New Size and Filters. The main window
// and the wizards' result pages give them to the same found-files view, so
// each is written once: it asks the core and shows the dialogs, and none
// of them runs while an analysis does.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

class QWidget;

namespace tl {
class CApp;
struct CFoundObject;
}

namespace tl::platform {
struct AppMessage;
}

namespace tl::ui {

class CVolumeExploreView;

class CFoundFilesCommands : public QObject {
    Q_OBJECT
public:
    // `window` owns the dialogs; `busy` says whether an analysis runs.
    CFoundFilesCommands(CApp& app, CVolumeExploreView& view, QWidget* window, std::function<bool()> busy);

    // "Recover...": the checked files (else the selected ones) into the
    // folder the user picks. The files that came back, or -1 when nothing was started.
    int Recover();
    // Every one of `files` into the settings' destination folder without a
    // question: a size still unknown is the type's default one. The files
    // that came back, or -1 when nothing was started.
    int RecoverUnattended(const std::vector<CFoundObject*>& files);
    // "Try To Open...": a copy of the selected file opened in its program.
    void TryToOpen();
    // "Information...": the current row's found object.
    void ShowInformation();
    // "Reset Size": the selected files' sizes become unknown (a recovery asks again).
    void ResetSize();
    // "Set New Size...": the size question for the first selected file; its
    // answer sizes every selected file.
    void SetNewSize();
    // "Filters...": the filter sheet; the view is filled again on OK.
    void ShowFilters();

    // The probable-size question a recovery worker asks (kProbableSizeQuestion),
    // answered over the dialog open in `window`.
    static std::int64_t AnswerProbableSize(CApp& app, const platform::AppMessage& message, QWidget* window);

private:
    int RunRecovery(const std::vector<CFoundObject*>& chosen, bool unattended);

    CApp& app_;
    CVolumeExploreView& view_;
    QWidget* window_;
    std::function<bool()> busy_;
};

}  // namespace tl::ui
