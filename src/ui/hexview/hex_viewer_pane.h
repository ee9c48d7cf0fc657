// The "Data viewer" pane: the first bytes of the selected found file in the
// hex viewer, and beside them a picture's preview, scaled, so a person sees
// which of a thousand lost photos is theirs. Both are read through the
// found-file reader and decoded off the GUI thread.
#pragma once

#include <QImage>
#include <QThreadPool>
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
    // A picture is decoded from at most this much of its beginning.
    static constexpr std::uint64_t kPreviewBytes = 32 * 1024 * 1024;
    static constexpr int kPreviewSide = 240;

    explicit CHexViewer_Pane(CApp& app, QWidget* parent = nullptr);
    ~CHexViewer_Pane() override;
    // Shows the beginning of `record` (a copy of an object of `volume`), or
    // nothing for null; a read still going for an earlier file is dropped.
    void Show(std::shared_ptr<CVolume> volume, const CFoundObject* record);
    void Retranslate();
    // The title above the pane (hidden where a tab names it).
    void ShowTitle(bool shown);
    CHexEditorCtrl* Viewer() const { return viewer_; }
    // The picture's preview ("No preview" when it does not decode); hidden for other files.
    QLabel* Preview() const { return preview_; }

private:
    void Shown(std::uint64_t request, const QByteArray& bytes, const QString& note, const QImage& preview,
               bool picture);
    // Whether the bytes begin as a picture Qt's readers decode.
    static bool LooksLikePicture(const QByteArray& head);

    CApp& app_;
    QLabel* title_;
    QLabel* note_;
    QLabel* preview_;
    CHexEditorCtrl* viewer_;
    std::uint64_t request_ = 0;
    // The reads in flight: the pane waits for them when it goes, since they
    // read through a volume whose computer may go right after it.
    QThreadPool readers_;
};

}  // namespace tl::ui
