// The desktop program's windows and menus as the language manager translates
// them. Every text keeps the English it was made with: a language file
// without a key brings that text back, so switching from one language to
// another and back leaves nothing of the first behind.
#pragma once

#include <QMenuBar>
#include <QPointer>
#include <QTabWidget>
#include <QTranslator>

#include <functional>
#include <map>

#include "app/languages.h"

namespace tl::ui {

// A menu bar seen as a tree of items, the top-level ones by position and the
// others by the command identifier each action carries as its data.
class CQtMenuTarget : public ITranslatableMenu {
public:
    explicit CQtMenuTarget(QMenuBar* menuBar) : menuBar_(menuBar) {}
    bool Exists() const override { return !menuBar_.isNull(); }
    std::vector<Item> Items() const override;
    void SetItemText(const std::vector<int>& path, const std::string& text) override;

private:
    QPointer<QMenuBar> menuBar_;
};

// A window, or a page of a tab widget, with the controls it lets translate
// under their control identifiers. Its caption is the window title, or the
// tab's text for a page.
class CQtWindowTarget : public ITranslatableWindow {
public:
    explicit CQtWindowTarget(QWidget* window);
    CQtWindowTarget(QTabWidget* tabs, QWidget* page);

    // Labels, buttons and group boxes. A label that names a field (its buddy)
    // names it for screen readers too.
    void AddControl(int controlId, QWidget* control);
    // A text the window shows some other way (a wizard's button, whose
    // text the wizard sets itself): `apply` sets it.
    void AddText(int controlId, const QString& english, std::function<void(const QString&)> apply);
    // Called after every translation, for the texts the window composes itself.
    void OnLanguageChanged(std::function<void()> rebuild) { rebuild_ = std::move(rebuild); }

    bool Exists() const override { return !window_.isNull(); }
    bool IsDialog() const override { return true; }
    std::string Caption() const override;
    void SetCaption(const std::string& text) override;
    std::vector<int> ChildControlIds() const override;
    void SetChildText(int controlId, const std::string& text) override;
    std::string DefaultCaption() const override { return englishCaption_; }
    std::string DefaultChildText(int controlId) const override;
    void LanguageChanged() override {
        if (rebuild_ && Exists()) rebuild_();
    }

private:
    struct Control {
        QPointer<QWidget> widget;
        std::string english;
        std::function<void(const QString&)> apply;
    };
    QPointer<QWidget> window_;
    QPointer<QTabWidget> tabs_;
    std::string englishCaption_;
    std::map<int, Control> controls_;
    std::function<void()> rebuild_;
};

// The texts of the toolkit's own dialogs and buttons (a message box's "Yes",
// the file dialog) in the interface language: the toolkit's translation for
// the locale the language file names ([LanguageInfo] Locale), where the
// system has it (Debian's qt6-translations-l10n); English otherwise.
class CQtOwnTexts : public ITranslatableWindow {
public:
    // Follows `languages` from now on, for as long as they live.
    static void Follow(CLanguages& languages);
    explicit CQtOwnTexts(CLanguages& languages) : languages_(languages) {}

    bool Exists() const override { return true; }
    bool IsDialog() const override { return false; }
    std::string Caption() const override { return {}; }
    void SetCaption(const std::string&) override {}
    std::vector<int> ChildControlIds() const override { return {}; }
    void SetChildText(int, const std::string&) override {}
    void LanguageChanged() override;

private:
    CLanguages& languages_;
    QTranslator translator_;
    QString locale_;  // of the translation installed; empty: none
};

// The command identifier an action carries (0: none).
int CommandIdOf(const QAction* action);

// The text of a label, button or group box.
QString ControlText(const QWidget* control);

}  // namespace tl::ui
