// The language manager: every user-visible text in the chosen interface
// language, from the "*.lng" files of the language folder, falling back to the
// built-in English texts. Windows, menus and tool bars register under a
// section name and are translated again whenever the language changes; the
// interface supplies them through the small target interfaces below.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ini_file.h"
#include "app/string_table.h"
#include "app/text_format.h"

namespace tl {

// A window that can be translated: a dialog, a property page, a main window.
class ITranslatableWindow {
public:
    virtual ~ITranslatableWindow() = default;
    virtual bool Exists() const = 0;
    // True for dialogs, form views and property pages: their child controls
    // are translated too; other windows get only their caption.
    virtual bool IsDialog() const = 0;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& text) = 0;
    virtual std::vector<int> ChildControlIds() const = 0;
    virtual void SetChildText(int controlId, const std::string& text) = 0;
    // The texts shown where the language file has none: by default no
    // caption (the caption stays) and the built-in string of the control's
    // identifier. A window that keeps the English texts it was made with
    // returns them, so that going back to a language without the keys
    // brings them back.
    virtual std::string DefaultCaption() const { return {}; }
    virtual std::string DefaultChildText(int controlId) const;
    // The window's own menu bar, if it has one.
    virtual class ITranslatableMenu* MenuBar() { return nullptr; }
    // Texts were replaced (the language-changed notification): rebuild the
    // texts the window composes itself.
    virtual void LanguageChanged() {}
};

// A menu: a tree of items. Items are addressed by their positions from the
// top level down ({2} is the third top-level item, {2, 0} the first item of
// its submenu).
class ITranslatableMenu {
public:
    struct Item {
        int commandId = 0;  // 0 for separators and submenu labels
        std::string text;
        std::vector<Item> submenu;
    };
    virtual ~ITranslatableMenu() = default;
    virtual bool Exists() const = 0;
    virtual std::vector<Item> Items() const = 0;
    virtual void SetItemText(const std::vector<int>& path, const std::string& text) = 0;
    // Redraw whatever shows the menu (the command bar) after its texts changed.
    virtual void Refresh() {}
};

class ITranslatableToolBar {
public:
    struct Button {
        int commandId = 0;
        std::string text;  // empty for buttons without text
    };
    virtual ~ITranslatableToolBar() = default;
    virtual bool Exists() const = 0;
    virtual std::vector<Button> Buttons() const = 0;
    virtual void SetButtonText(int commandId, const std::string& text) = 0;
};

class CLanguages {
public:
    // Uses the first of `folders` that holds at least one "*.lng" file and
    // selects "English" when that folder has it.
    explicit CLanguages(std::vector<std::filesystem::path> folders);

    // "Languages" beside the program, then the installed data folder.
    static std::vector<std::filesystem::path> DefaultFolders();

    const std::filesystem::path& Folder() const { return folder_; }
    const std::vector<std::string>& Names() const { return names_; }
    int Current() const;
    std::string CurrentName() const;
    // Index of the language called `name` (ASCII case ignored), or -1.
    int IndexOf(std::string_view name) const;
    // The translator of the current language; "Unknown" when the file names none.
    std::string TranslatorName() const;
    // What went wrong with the last language file read: a message id taking
    // the file's path. The application logs it once the log exists.
    struct Problem {
        unsigned id;
        std::string path;
    };
    std::optional<Problem> TakeProblem();

    // Makes `index` the current language (-1 keeps the current one), reads
    // its file and translates every registered target again; targets that no
    // longer exist are dropped. An index beyond the list is not applied
    // (returns false).
    bool Apply(int index);

    // The text of a message identifier in the current language, escapes
    // decoded; the built-in English text where the file has none.
    std::string GetString(unsigned id) const;

    // A message text formatted with `args`: the translation when its
    // placeholders fit the arguments, else the English text, else the bare
    // text (never a crash).
    template <class... Args>
    std::string Format(unsigned id, const Args&... args) const {
        const std::string translated = GetString(id);
        if (auto text = TryFormatPrintf(translated, args...)) return *text;
        const std::string_view english = BuiltinString(id);
        if (auto text = TryFormatPrintf(english, args...)) return *text;
        return translated;
    }

    // A text of a window, menu or tool-bar section, escapes decoded.
    std::string SectionText(std::string_view section, std::string_view key, std::string_view defaultText) const;

    void RegisterWindow(const std::string& section, std::shared_ptr<ITranslatableWindow> window);
    void RegisterMenu(const std::string& section, std::shared_ptr<ITranslatableMenu> menu);
    void RegisterToolBar(const std::string& section, std::shared_ptr<ITranslatableToolBar> toolBar);

private:
    void LoadCurrentFileLocked();
    void TranslateWindow(const std::string& section, ITranslatableWindow& window);
    void TranslateMenu(const std::string& section, ITranslatableMenu& menu);
    void TranslateToolBar(const std::string& section, ITranslatableToolBar& toolBar);

    std::filesystem::path folder_;
    std::vector<std::string> names_;

    mutable std::mutex mutex_;  // guards everything below: texts are read from worker threads
    int current_ = -1;
    IniFile file_;
    std::optional<Problem> problem_;
    mutable std::map<unsigned, std::string> cache_;  // message id -> text handed out

    std::map<std::string, std::shared_ptr<ITranslatableWindow>> windows_;
    std::map<std::string, std::shared_ptr<ITranslatableMenu>> menus_;
    std::map<std::string, std::shared_ptr<ITranslatableToolBar>> toolBars_;
};

// A message text formatted in the language of `texts`, or with the built-in
// English text when there is no language manager (tests, tools).
template <class... Args>
std::string FormatMessageText(const CLanguages* texts, unsigned id, const Args&... args) {
    if (texts) return texts->Format(id, args...);
    const std::string_view english = BuiltinString(id);
    return TryFormatPrintf(english, args...).value_or(std::string(english));
}

}  // namespace tl
