#include "ui/hexview/hex_viewer_pane.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QVBoxLayout>

#include <vector>

#include "app/app.h"
#include "app/string_ids.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_object.h"
#include "storage/volume.h"
#include "ui/hexview/hex_editor_ctrl.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

CHexViewer_Pane::CHexViewer_Pane(CApp& app, QWidget* parent) : QWidget(parent), app_(app) {
    title_ = PaneTitle();
    note_ = new QLabel;
    note_->setTextFormat(Qt::PlainText);
    note_->setAccessibleName(tr("Data viewer note"));
    viewer_ = new CHexEditorCtrl;
    viewer_->SetReadOnly(true);
    preview_ = new QLabel;
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setFixedWidth(kPreviewSide + 8);
    preview_->setAccessibleName(tr("Preview"));
    preview_->hide();
    auto* top = new QHBoxLayout;
    top->addWidget(title_);
    top->addWidget(note_, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(viewer_, 1);
    row->addWidget(preview_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addLayout(row, 1);
    Retranslate();
}

// Reads queued for files shown earlier are dropped; the one in hand ends first.
CHexViewer_Pane::~CHexViewer_Pane() {
    readers_.clear();
    readers_.waitForDone();
}

void CHexViewer_Pane::ShowTitle(bool shown) { title_->setVisible(shown); }

void CHexViewer_Pane::Retranslate() {
    title_->setText(Text(app_, ids::kDataViewer));
    setAccessibleName(title_->text());
    viewer_->setAccessibleName(title_->text());
}

bool CHexViewer_Pane::LooksLikePicture(const QByteArray& head) {
    return head.startsWith("\xFF\xD8\xFF") || head.startsWith("\x89PNG\r\n\x1A\n") || head.startsWith("GIF87a") ||
           head.startsWith("GIF89a") || head.startsWith("BM") || head.startsWith("II*\0") || head.startsWith("MM\0*");
}

void CHexViewer_Pane::Show(std::shared_ptr<CVolume> volume, const CFoundObject* record) {
    const std::uint64_t request = ++request_;
    viewer_->SetData({});
    SetValue(note_, QString());
    preview_->clear();
    preview_->hide();
    if (!volume || !record || record->IsFolder()) return;
    // Read on a pool thread: a slow or failing disk never holds the window.
    QPointer<CHexViewer_Pane> self(this);
    const CFoundObject copy = *record;
    readers_.start([self, request, volume, copy] {
        QByteArray bytes;
        QString note;
        QImage preview;
        bool picture = false;
        CFoundFileReader reader;
        if (!reader.Open(copy)) {
            note = QString::fromStdString(reader.Problem.empty() ? std::string("The content cannot be read.") : reader.Problem);
        } else {
            reader.CheckBounds();
            // A picture's beginning is read on, up to what a preview needs.
            const std::uint64_t size = copy.Size == CFoundObject::kUnknownSize ? kPreviewBytes : copy.Size;
            std::uint64_t want = std::min<std::uint64_t>(size, kShownBytes);
            std::vector<std::uint8_t> buffer(static_cast<std::size_t>(want) + 512);
            std::uint64_t got = 0;
            for (bool more = true; more;) {
                while (got < want) {
                    const std::uint64_t n = reader.ReadNext(buffer.data() + got, want - got);
                    if (n == 0) break;
                    got += n;
                }
                more = false;
                if (want == std::min<std::uint64_t>(size, kShownBytes) && got == want && size > want &&
                    LooksLikePicture(QByteArray::fromRawData(reinterpret_cast<const char*>(buffer.data()), 16))) {
                    want = std::min<std::uint64_t>(size, kPreviewBytes);
                    buffer.resize(static_cast<std::size_t>(want) + 512);
                    more = true;
                }
            }
            const QByteArray all(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(got));
            bytes = all.left(static_cast<qsizetype>(kShownBytes));
            if (got < std::min<std::uint64_t>(size, kShownBytes))
                note = QStringLiteral("Only %1 of the first %2 bytes could be read.").arg(got).arg(std::min<std::uint64_t>(size, kShownBytes));
            picture = LooksLikePicture(all.left(16));
            if (picture) {
                // Decoded and scaled here, not on the window's thread; a failure is no error.
                QImage image;
                if (image.loadFromData(all) && !image.isNull())
                    preview = image.scaled(kPreviewSide, kPreviewSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            }
        }
        QMetaObject::invokeMethod(qApp, [self, request, bytes, note, preview, picture] {
            if (self) self->Shown(request, bytes, note, preview, picture);
        }, Qt::QueuedConnection);
    });
}

void CHexViewer_Pane::Shown(std::uint64_t request, const QByteArray& bytes, const QString& note, const QImage& preview,
                            bool picture) {
    if (request != request_) return;  // another file was selected meanwhile
    viewer_->SetData(bytes);
    SetValue(note_, note);
    if (!picture) return;
    if (preview.isNull())
        preview_->setText(tr("No preview"));
    else
        preview_->setPixmap(QPixmap::fromImage(preview));
    preview_->setAccessibleDescription(preview.isNull() ? preview_->text() : tr("Picture of %1 by %2").arg(preview.width()).arg(preview.height()));
    preview_->show();
}

}  // namespace tl::ui
