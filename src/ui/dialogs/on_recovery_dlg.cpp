#include "ui/dialogs/on_recovery_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

#include "app/app.h"
#include "app/string_ids.h"
#include "storage/local_computer.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

COnRecoveryDlg::COnRecoveryDlg(CApp& app, CVolume& source, QWidget* parent)
    : QDialog(parent), app_(app), source_(source) {
    setWindowTitle(tr("Recover"));
    setAccessibleName(windowTitle());
    folder_ = new QLineEdit;
    folder_->setMaxLength(4095);
    auto* browse = new QPushButton(tr("Browse..."));
    keepStructure_ = new QCheckBox(tr("Keep folder structure"));
    auto* label = new QLabel(tr("Destination folder:"));
    label->setBuddy(folder_);
    folder_->setAccessibleName(tr("Destination folder"));
    auto* row = new QHBoxLayout;
    row->addWidget(folder_, 1);
    row->addWidget(browse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &COnRecoveryDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addLayout(row);
    layout->addWidget(keepStructure_);
    layout->addWidget(buttons);
    setMinimumWidth(520);
    // A folder chosen is stored at once and shown.
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, Text(app_, ids::kSelectDestinationFolder),
                                                                 folder_->text().isEmpty() ? QDir::homePath() : folder_->text());
        if (chosen.isEmpty()) return;
        app_.Settings().SetDestinationFolder((chosen.endsWith(QLatin1Char('/')) ? chosen : chosen + QLatin1Char('/')).toStdString());
        Load();
    });
    auto target = std::make_shared<CQtWindowTarget>(this);
    target->AddControl(1301, label);
    target->AddControl(1302, browse);
    target->AddControl(1303, keepStructure_);
    target->AddControl(1, buttons->button(QDialogButtonBox::Ok));
    target->AddControl(2, buttons->button(QDialogButtonBox::Cancel));
    app_.Languages().RegisterWindow("RecoverDialog", target);
    Load();
}

void COnRecoveryDlg::Load() {
    folder_->setText(QString::fromStdString(app_.Settings().DestinationFolder()));
    keepStructure_->setChecked(app_.Settings().KeepFolderStructure());
}

void COnRecoveryDlg::accept() {
    AppSettings& s = app_.Settings();
    s.SetDestinationFolder(folder_->text().trimmed().toStdString());
    s.SetU32(AppSettings::kKeepFolderStructure, keepStructure_->isChecked() ? 1 : 0);
    if (s.DestinationFolder().empty()) {
        folder_->setFocus();
        return;
    }
    // On the source's drive: the user is asked for another folder, or goes on there.
    std::string destination = s.DestinationFolder();
    if (app_.Computer().CheckDestination(source_, destination) < 0) return;
    s.SetDestinationFolder(destination);
    QDialog::accept();
}

}  // namespace tl::ui
