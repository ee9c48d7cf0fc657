#include "ui/dialogs/help_dlg.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QMessageBox>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/app.h"
#include "app/string_ids.h"
#include "ui/main/found_icons.h"
#include "ui/main/ui_text.h"

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

void ShowAboutBox(CApp& app, const QString& title, QWidget* parent) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setIconPixmap(FoundIcon(kIconPhysicalDisk).pixmap(48, 48));
    box.setTextFormat(Qt::PlainText);
    box.setText(QStringLiteral("Documents Tessa-Loft %1").arg(QString::fromLatin1(TL_VERSION)));
    box.setInformativeText(Text(app, ids::kAboutText) + QStringLiteral("\n\nQt %1").arg(QString::fromLatin1(qVersion())));
    box.exec();
}

}  // namespace tl::ui
