#include "ui/dialogs/help_dlg.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace tl::ui {

CHelpDlg::CHelpDlg(const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    setAccessibleName(title);
    auto* text = new QTextBrowser;
    text->setAccessibleName(title);
    text->setOpenLinks(false);
    QFile file(QStringLiteral(":/help/help.md"));
    if (file.open(QIODevice::ReadOnly)) text->setMarkdown(QString::fromUtf8(file.readAll()));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    resize(640, 560);
}

}  // namespace tl::ui
