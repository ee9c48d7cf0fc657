#include "ui/settings/settings_dlg.h"

#include <QDialogButtonBox>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include "app/app_messages.h"
#include "app/string_ids.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"
#include "ui/settings/settings_pages.h"

namespace tl::ui {

CSettingsPage::CSettingsPage(CApp& app, const char* section, unsigned titleId)
    : app_(app), section_(section), titleId_(titleId) {}

QString CSettingsPage::Title() const { return Text(app_, titleId_); }

CSettingsDlg::CSettingsDlg(CApp& app, QWidget* parent) : QDialog(parent), app_(app) {
    setWindowTitle(Text(app_, ids::kProgramSettings));
    setAccessibleName(windowTitle());
    tabs_ = new QTabWidget;
    tabs_->setAccessibleName(windowTitle());
    pages_ = {new CSettingsDlg_Common(app_),      new CSettingsDlg_Confirms(app_),    new CSettingsDlg_SearchFileTypes(app_),
              new CSettingsDlg_Temporary(app_),   new CSettingsDlg_DriveAccess(app_), new CSettingsDlg_Logging(app_),
              new CSettingsDlg_Languages(app_)};
    for (int i = 0; i < static_cast<int>(pages_.size()); ++i) {
        CSettingsPage* page = pages_[i];
        page->Load();
        tabs_->addTab(page, page->Title());
        app_.Languages().RegisterWindow(page->Section(), std::make_shared<CQtTabTarget>(tabs_, i));
    }
    // Every page's tab in sight, none of them cut.
    tabs_->setUsesScrollButtons(false);
    tabs_->setMinimumWidth(tabs_->tabBar()->sizeHint().width() + 24);
    // No Apply and no help button: OK stores, Cancel drops.
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

void CSettingsDlg::Open(Page page) { tabs_->setCurrentIndex(static_cast<int>(page)); }

CSettingsDlg::Page CSettingsDlg::PageOfCommand(unsigned commandId) {
    switch (commandId) {
    case cmd::kSettingsConfirmations: return kConfirms;
    case cmd::kSettingsFileTypes: return kFileTypes;
    case cmd::kSettingsTempFolder: return kTemporary;
    case cmd::kSettingsDriveAccess: return kDriveAccess;
    case cmd::kSettingsLogging: return kLogging;
    case cmd::kSettingsLanguage: return kLanguages;
    default: return kCommon;
    }
}

void CSettingsDlg::accept() {
    for (CSettingsPage* page : pages_) page->Store();
    QDialog::accept();
}

}  // namespace tl::ui
