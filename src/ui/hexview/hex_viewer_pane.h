// The "Data viewer" pane: the first bytes of the selected found file in the
// hex viewer, read through the found-file reader off the GUI thread.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>

class QLabel;

namespace tl {
class CApp;
class CVolume;
struct CFoundObject;
}

namespace tl::ui {

class CHexEditorCtrl;

class CHexViewer_Pane : public QWidget {
    Q_OBJECT
public:
    // At most this much of a file is shown.
    static constexpr std::uint64_t kShownBytes = 64 * 1024;

    explicit CHexViewer_Pane(CApp& app, QWidget* parent = nullptr);
    // Shows the beginning of `record` (a copy of an object of `volume`), or
    // nothing for null; a read still going for an earlier file is dropped.
    void Show(std::shared_ptr<CVolume> volume, const CFoundObject* record);
    void Retranslate();
    // The title above the pane (hidden where a tab names it).
    void ShowTitle(bool shown);
    CHexEditorCtrl* Viewer() const { return viewer_; }

private:
    void Shown(std::uint64_t request, const QByteArray& bytes, const QString& note);

    CApp& app_;
    QLabel* title_;
    QLabel* note_;
    CHexEditorCtrl* viewer_;
    std::uint64_t request_ = 0;
};

}  // namespace tl::ui
