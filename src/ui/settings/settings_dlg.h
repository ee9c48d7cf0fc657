// The settings sheet "Program Settings": seven pages, each bound to fields
// of the settings record (or, for File Types, to the signature database).
// A page loads its controls when the sheet opens and stores them when the
// sheet is closed with OK; Cancel drops what the pages show, apart from the
// values a page stores at once (the temporary-folder choice, the logging
// switch, the language).
#pragma once

#include <QDialog>
#include <QWidget>

#include <vector>

#include "app/app.h"

class QTabWidget;

namespace tl::ui {

// A page of the sheet.
class CSettingsPage : public QWidget {
    Q_OBJECT
public:
    CSettingsPage(CApp& app, const char* section, unsigned titleId);
    const char* Section() const { return section_; }
    QString Title() const;
    virtual void Load() = 0;
    virtual void Store() = 0;

protected:
    CApp& app_;

private:
    const char* section_;
    unsigned titleId_;
};

class CSettingsDlg : public QDialog {
    Q_OBJECT
public:
    // The pages in their order; `Open` takes one of them.
    enum Page { kCommon, kConfirms, kFileTypes, kTemporary, kDriveAccess, kLogging, kLanguages };

    CSettingsDlg(CApp& app, QWidget* parent = nullptr);
    void Open(Page page);
    // The page a settings command opens (32798 the first).
    static Page PageOfCommand(unsigned commandId);

    void accept() override;

private:
    CApp& app_;
    QTabWidget* tabs_;
    std::vector<CSettingsPage*> pages_;
};

}  // namespace tl::ui
