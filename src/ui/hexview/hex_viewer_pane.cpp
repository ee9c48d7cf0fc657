#include "ui/hexview/hex_viewer_pane.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QThreadPool>
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
    title_ = new QLabel;
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    note_ = new QLabel;
    note_->setTextFormat(Qt::PlainText);
    note_->setAccessibleName(tr("Data viewer note"));
    viewer_ = new CHexEditorCtrl;
    viewer_->SetReadOnly(true);
    auto* top = new QHBoxLayout;
    top->addWidget(title_);
    top->addWidget(note_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(viewer_, 1);
    Retranslate();
}

void CHexViewer_Pane::ShowTitle(bool shown) { title_->setVisible(shown); }

void CHexViewer_Pane::Retranslate() {
    title_->setText(Text(app_, ids::kDataViewer));
    setAccessibleName(title_->text());
    viewer_->setAccessibleName(title_->text());
}

void CHexViewer_Pane::Show(std::shared_ptr<CVolume> volume, const CFoundObject* record) {
    const std::uint64_t request = ++request_;
    viewer_->SetData({});
    SetValue(note_, QString());
    if (!volume || !record || record->IsFolder()) return;
    // Read on a pool thread: a slow or failing disk never holds the window.
    QPointer<CHexViewer_Pane> self(this);
    const CFoundObject copy = *record;
    QThreadPool::globalInstance()->start([self, request, volume, copy] {
        QByteArray bytes;
        QString note;
        CFoundFileReader reader;
        if (!reader.Open(copy)) {
            note = QString::fromStdString(reader.Problem.empty() ? std::string("The content cannot be read.") : reader.Problem);
        } else {
            reader.CheckBounds();
            const std::uint64_t want = std::min<std::uint64_t>(copy.Size, kShownBytes);
            std::vector<std::uint8_t> buffer(kShownBytes + 512);
            std::uint64_t got = 0;
            while (got < want) {
                const std::uint64_t n = reader.ReadNext(buffer.data() + got, want - got);
                if (n == 0) break;
                got += n;
            }
            bytes = QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(got));
            if (got < want) note = QStringLiteral("Only %1 of the first %2 bytes could be read.").arg(got).arg(want);
        }
        QMetaObject::invokeMethod(qApp, [self, request, bytes, note] {
            if (self) self->Shown(request, bytes, note);
        }, Qt::QueuedConnection);
    });
}

void CHexViewer_Pane::Shown(std::uint64_t request, const QByteArray& bytes, const QString& note) {
    if (request != request_) return;  // another file was selected meanwhile
    viewer_->SetData(bytes);
    SetValue(note_, note);
}

}  // namespace tl::ui
