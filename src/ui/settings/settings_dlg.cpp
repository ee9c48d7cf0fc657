#include "ui/settings/settings_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
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

CSettingsPage::CSettingsPage(CApp& app, const char* section, unsigned titleId, const char* iconName,
                             QStyle::StandardPixmap fallbackIcon)
    : app_(app), section_(section), titleId_(titleId) {
    auto* picture = new QLabel;
    picture->setPixmap(ThemeIcon(iconName, fallbackIcon).pixmap(48, 48));
    picture->setFixedSize(48, 48);
    picture->setAccessibleName(QStringLiteral("Page picture"));
    auto* row = new QHBoxLayout(this);
    row->addWidget(picture, 0, Qt::AlignTop);
    body_ = new QVBoxLayout;
    row->addLayout(body_, 1);
}

QString CSettingsPage::Title() const { return Text(app_, titleId_); }

CSettingsDlg::CSettingsDlg(CApp& app, QWidget* parent) : QDialog(parent), app_(app) {
    setWindowTitle(Text(app_, ids::kProgramSettings));
    setAccessibleName(windowTitle());
    setWindowIcon(ThemeIcon("preferences-system", QStyle::SP_FileDialogDetailedView));
    tabs_ = new QTabWidget;
    tabs_->setAccessibleName(windowTitle());
    pages_ = {new CSettingsDlg_Common(app_),      new CSettingsDlg_Confirms(app_),    new CSettingsDlg_SearchFileTypes(app_),
              new CSettingsDlg_Temporary(app_),   new CSettingsDlg_DriveAccess(app_), new CSettingsDlg_Logging(app_),
              new CSettingsDlg_Languages(app_)};
    for (int i = 0; i < static_cast<int>(pages_.size()); ++i) {
        CSettingsPage* page = pages_[i];
        page->Load();
        tabs_->addTab(page, page->Title());
    }
    tabs_->setUsesScrollButtons(false);
    FitTabs();
    // No Apply and no help button: OK stores, Cancel drops.
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons_, &QDialogButtonBox::accepted, this, &CSettingsDlg::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);

    // Translated now and whenever the language changes. The captions are the
    // string table's texts unless a section names its own.
    CLanguages& languages = app_.Languages();
    auto sheet = std::make_shared<CQtWindowTarget>(this);
    sheet->OnLanguageChanged([this, &languages] {
        setWindowTitle(QString::fromStdString(languages.SectionText("ProgramSettings", "0", app_.GetString(ids::kProgramSettings))));
        setAccessibleName(windowTitle());
        tabs_->setAccessibleName(windowTitle());
    });
    // The buttons under the identifiers of OK and Cancel.
    sheet->AddControl(1, buttons_->button(QDialogButtonBox::Ok));
    sheet->AddControl(2, buttons_->button(QDialogButtonBox::Cancel));
    languages.RegisterWindow("ProgramSettings", sheet);
    for (CSettingsPage* page : pages_) {
        auto target = std::make_shared<CQtWindowTarget>(tabs_, page);
        for (const auto& [id, control] : page->Controls()) target->AddControl(id, control);
        target->OnLanguageChanged([this, page, &languages] {
            const std::string title = languages.SectionText(page->Section(), "0", page->Title().toStdString());
            tabs_->setTabText(tabs_->indexOf(page), QString::fromStdString(title));
            FitTabs();
            page->LanguageChanged();
        });
        languages.RegisterWindow(page->Section(), target);
    }
}

// Every page's tab in sight, none of them cut, in whatever language.
void CSettingsDlg::FitTabs() { tabs_->setMinimumWidth(tabs_->tabBar()->sizeHint().width() + 24); }

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
