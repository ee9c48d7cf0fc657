// The settings sheet "Program Settings": seven pages, each bound to fields
// of the settings record (or, for File Types, to the signature database).
// A page loads its controls when the sheet opens and stores them when the
// sheet is closed with OK; Cancel drops what the pages show, apart from the
// values a page stores at once (the temporary-folder choice, the logging
// switch, the language).
#pragma once

#include <QDialog>
#include <QStyle>
#include <QWidget>

#include <utility>
#include <vector>

#include "app/app.h"

class QDialogButtonBox;
class QTabWidget;
class QVBoxLayout;

namespace tl::ui {

// A page of the sheet.
class CSettingsPage : public QWidget {
    Q_OBJECT
public:
    // `iconName` names the page's 48x48 picture in the desktop's icon theme.
    CSettingsPage(CApp& app, const char* section, unsigned titleId, const char* iconName,
                  QStyle::StandardPixmap fallbackIcon);
    const char* Section() const { return section_; }
    QString Title() const;
    virtual void Load() = 0;
    virtual void Store() = 0;
    // The labels and buttons the language file can translate, by control identifier.
    const std::vector<std::pair<int, QWidget*>>& Controls() const { return controls_; }
    // Texts the page composes itself, composed again in the new language.
    virtual void LanguageChanged() {}

protected:
    // Where the page puts its controls: beside its picture.
    QVBoxLayout* Body() const { return body_; }
    template <class Widget>
    Widget* Translated(int controlId, Widget* control) {
        controls_.emplace_back(controlId, control);
        return control;
    }
    CApp& app_;

private:
    QVBoxLayout* body_;
    std::vector<std::pair<int, QWidget*>> controls_;
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
    void FitTabs();
    CApp& app_;
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    std::vector<CSettingsPage*> pages_;
};

}  // namespace tl::ui
