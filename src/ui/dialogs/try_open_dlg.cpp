#include "ui/dialogs/try_open_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <memory>

#include "app/app.h"
#include "ui/main/qt_translation.h"

namespace tl::ui {

CDlgTryOpen::CDlgTryOpen(CApp& app, QWidget* parent) : QDialog(parent), app_(app) {
    setWindowTitle(tr("Warning!"));
    setAccessibleName(windowTitle());
    auto target = std::make_shared<CQtWindowTarget>(this);
    auto* texts = new QVBoxLayout;
    int id = 1601;
    for (const QString& text :
         {tr("You are trying to open a file in a program associated with the file type. If the file is not damaged "
             "or partly overwritten, it will be opened and displayed as expected."),
          tr("If, however, the file is damaged in some way, certain problems may arise, e.g. the file will open but "
             "only \"garbage\" will be displayed, or the file will fail to open and the associated program will hang."),
          tr("If the program hangs, close it from your desktop's system monitor, or end it with \"kill\" in a "
             "terminal.")}) {
        auto* label = new QLabel(text);
        label->setWordWrap(true);
        target->AddControl(id++, label);
        texts->addWidget(label);
    }
    auto* picture = new QLabel;
    picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(48, 48));
    picture->setAccessibleName(windowTitle());
    auto* row = new QHBoxLayout;
    row->addWidget(picture, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    dontShow_ = new QCheckBox(tr("Don't show this warning again."));
    dontShow_->setChecked(app_.Settings().GetU32(AppSettings::kNoTryOpenWarning) != 0);
    target->AddControl(1604, dontShow_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    target->AddControl(1, buttons->button(QDialogButtonBox::Ok));
    target->AddControl(2, buttons->button(QDialogButtonBox::Cancel));
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgTryOpen::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(dontShow_);
    layout->addWidget(buttons);
    setMinimumWidth(460);
    app_.Languages().RegisterWindow("TryOpen", target);
}

void CDlgTryOpen::accept() {
    app_.Settings().SetU32(AppSettings::kNoTryOpenWarning, dontShow_->isChecked() ? 1 : 0);
    QDialog::accept();
}

}  // namespace tl::ui
