#include "app/languages.h"

#include <functional>
#include <utility>

#include "app/string_ids.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr std::uint64_t kMaxLanguageFileBytes = 8u << 20;
constexpr std::string_view kLngSuffix = ".lng";

}  // namespace

CLanguages::CLanguages(std::vector<std::filesystem::path> folders) {
    for (const auto& folder : folders) {
        auto files = platform::ListFiles(folder, kLngSuffix);
        if (files.empty()) continue;
        folder_ = folder;
        for (auto& f : files) names_.push_back(f.substr(0, f.size() - kLngSuffix.size()));
        break;
    }
    if (const int english = IndexOf("English"); english >= 0) {
        std::lock_guard lock(mutex_);
        current_ = english;
        LoadCurrentFileLocked();
    }
}

std::vector<std::filesystem::path> CLanguages::DefaultFolders() {
    return {platform::ExecutableFolder() / "Languages", platform::InstalledDataFolder() / "Languages"};
}

int CLanguages::Current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::string CLanguages::CurrentName() const {
    std::lock_guard lock(mutex_);
    return current_ >= 0 ? names_[static_cast<std::size_t>(current_)] : std::string();
}

int CLanguages::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (platform::EqualsIgnoreAsciiCase(names_[i], name)) return static_cast<int>(i);
    return -1;
}

std::string CLanguages::TranslatorName() const {
    std::lock_guard lock(mutex_);
    auto name = file_.Get("LanguageInfo", "TranslatorName");
    return name && !name->empty() ? *name : std::string("Unknown");
}

std::optional<CLanguages::Problem> CLanguages::TakeProblem() {
    std::lock_guard lock(mutex_);
    return std::exchange(problem_, std::nullopt);
}

void CLanguages::LoadCurrentFileLocked() {
    file_ = IniFile();
    cache_.clear();
    if (current_ < 0) return;
    const auto path = folder_ / (names_[static_cast<std::size_t>(current_)] + std::string(kLngSuffix));
    const auto bytes = platform::ReadWholeFile(path, kMaxLanguageFileBytes);
    if (!bytes) {
        problem_ = Problem{ids::kLanguageFileUnreadable, path.string()};
        return;
    }
    const auto text = IniFile::DecodeText(*bytes);
    if (!text) {
        problem_ = Problem{ids::kLanguageFileUnknownEncoding, path.string()};
        return;
    }
    file_ = IniFile::Parse(*text);
}

bool CLanguages::Apply(int index) {
    if (index < -1 || index >= static_cast<int>(names_.size())) return false;
    std::map<std::string, std::shared_ptr<ITranslatableWindow>> windows;
    std::map<std::string, std::shared_ptr<ITranslatableMenu>> menus;
    std::map<std::string, std::shared_ptr<ITranslatableToolBar>> toolBars;
    {
        std::lock_guard lock(mutex_);
        if (index >= 0) {
            current_ = index;
            LoadCurrentFileLocked();
        }
        std::erase_if(windows_, [](const auto& kv) { return !kv.second || !kv.second->Exists(); });
        std::erase_if(menus_, [](const auto& kv) { return !kv.second || !kv.second->Exists(); });
        std::erase_if(toolBars_, [](const auto& kv) { return !kv.second || !kv.second->Exists(); });
        windows = windows_;
        menus = menus_;
        toolBars = toolBars_;
    }
    // Targets are translated outside the lock: they call back into GetString.
    for (auto& [section, window] : windows) TranslateWindow(section, *window);
    for (auto& [section, menu] : menus) TranslateMenu(section, *menu);
    for (auto& [section, toolBar] : toolBars) TranslateToolBar(section, *toolBar);
    return true;
}

std::string CLanguages::GetString(unsigned id) const {
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(id); it != cache_.end()) return it->second;
    auto value = file_.Get("StringsTable", std::to_string(id));
    std::string text = value ? DecodeIniEscapes(*value) : std::string(BuiltinString(id));
    cache_[id] = text;
    return text;
}

std::string CLanguages::SectionText(std::string_view section, std::string_view key,
                                    std::string_view defaultText) const {
    std::lock_guard lock(mutex_);
    auto value = file_.Get(section, key);
    return value ? DecodeIniEscapes(*value) : std::string(defaultText);
}

void CLanguages::RegisterWindow(const std::string& section, std::shared_ptr<ITranslatableWindow> window) {
    if (!window) return;
    {
        std::lock_guard lock(mutex_);
        windows_[section] = window;
    }
    TranslateWindow(section, *window);
}

void CLanguages::RegisterMenu(const std::string& section, std::shared_ptr<ITranslatableMenu> menu) {
    if (!menu) return;
    {
        std::lock_guard lock(mutex_);
        menus_[section] = menu;
    }
    TranslateMenu(section, *menu);
}

void CLanguages::RegisterToolBar(const std::string& section, std::shared_ptr<ITranslatableToolBar> toolBar) {
    if (!toolBar) return;
    {
        std::lock_guard lock(mutex_);
        toolBars_[section] = toolBar;
    }
    TranslateToolBar(section, *toolBar);
}

std::string ITranslatableWindow::DefaultChildText(int controlId) const {
    return controlId > 0 ? std::string(BuiltinString(static_cast<unsigned>(controlId))) : std::string();
}

void CLanguages::TranslateWindow(const std::string& section, ITranslatableWindow& window) {
    if (!window.Exists()) return;
    if (ITranslatableMenu* menu = window.MenuBar()) TranslateMenu(section + ".menu", *menu);
    if (std::string caption = SectionText(section, "0", window.DefaultCaption()); !caption.empty())
        window.SetCaption(caption);
    if (window.IsDialog()) {
        for (int id : window.ChildControlIds()) {
            if (id == 0 || id == -1 || id == 65535) continue;
            if (std::string text = SectionText(section, std::to_string(id), window.DefaultChildText(id)); !text.empty())
                window.SetChildText(id, text);
        }
    }
    window.LanguageChanged();
}

// Top-level items are looked up by their position, items with a command by
// that command. A submenu label below the top level has neither; it is looked
// up by the dotted positions of its path ("1.3" is the fourth item of the
// second top-level submenu), which stays unique within a menu section.
void CLanguages::TranslateMenu(const std::string& section, ITranslatableMenu& menu) {
    if (!menu.Exists()) return;
    constexpr std::size_t kMaxDepth = 16;
    const std::function<void(const std::vector<ITranslatableMenu::Item>&, std::vector<int>&)> walk =
        [&](const std::vector<ITranslatableMenu::Item>& items, std::vector<int>& path) {
            if (path.size() >= kMaxDepth) return;
            for (std::size_t i = 0; i < items.size(); ++i) {
                const auto& item = items[i];
                path.push_back(static_cast<int>(i));
                std::string key;
                if (path.size() == 1) {
                    key = std::to_string(i);
                } else if (item.commandId != 0) {
                    key = std::to_string(item.commandId);
                } else if (!item.submenu.empty()) {
                    for (std::size_t p = 0; p < path.size(); ++p) key += (p ? "." : "") + std::to_string(path[p]);
                }
                if (!key.empty()) {
                    // Set even when it is the default: the item may show another language's text.
                    menu.SetItemText(path, SectionText(section, key, item.text));
                }
                if (!item.submenu.empty()) walk(item.submenu, path);
                path.pop_back();
            }
        };
    std::vector<int> path;
    walk(menu.Items(), path);
    menu.Refresh();
}

void CLanguages::TranslateToolBar(const std::string& section, ITranslatableToolBar& toolBar) {
    if (!toolBar.Exists()) return;
    for (const auto& button : toolBar.Buttons()) {
        if (button.text.empty()) continue;
        std::string text = SectionText(section, std::to_string(button.commandId), button.text);
        if (text != button.text) toolBar.SetButtonText(button.commandId, text);
    }
}

}  // namespace tl
