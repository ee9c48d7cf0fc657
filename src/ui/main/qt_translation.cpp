#include "ui/main/qt_translation.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QTimer>

namespace tl::ui {
namespace {

// The English text an action was made with, kept on the action.
constexpr char kEnglishText[] = "tlEnglishText";

std::string EnglishTextOf(QAction* action) {
    QVariant english = action->property(kEnglishText);
    if (!english.isValid()) {
        english = action->text();
        action->setProperty(kEnglishText, english);
    }
    return english.toString().toStdString();
}

std::vector<ITranslatableMenu::Item> ItemsOf(const QList<QAction*>& actions) {
    std::vector<ITranslatableMenu::Item> items;
    for (QAction* action : actions) {
        ITranslatableMenu::Item item;
        item.commandId = action->isSeparator() ? 0 : CommandIdOf(action);
        item.text = EnglishTextOf(action);
        if (const QMenu* menu = action->menu()) item.submenu = ItemsOf(menu->actions());
        items.push_back(std::move(item));
    }
    return items;
}

QString Plain(QString text) { return text.remove(QLatin1Char('&')).remove(QLatin1Char(':')).trimmed(); }

}  // namespace

int CommandIdOf(const QAction* action) { return action ? action->data().toInt() : 0; }

QString ControlText(const QWidget* control) {
    if (const auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text();
    if (const auto* box = qobject_cast<const QGroupBox*>(control)) return box->title();
    return {};
}

std::vector<ITranslatableMenu::Item> CQtMenuTarget::Items() const {
    return menuBar_ ? ItemsOf(menuBar_->actions()) : std::vector<Item>{};
}

void CQtMenuTarget::SetItemText(const std::vector<int>& path, const std::string& text) {
    if (!menuBar_ || path.empty()) return;
    QList<QAction*> actions = menuBar_->actions();
    QAction* action = nullptr;
    for (const int position : path) {
        if (position < 0 || position >= actions.size()) return;
        action = actions[position];
        if (action->menu()) actions = action->menu()->actions();
    }
    if (action && !action->isSeparator()) {
        EnglishTextOf(action);  // kept before the first change
        action->setText(QString::fromStdString(text));
    }
}

void CQtOwnTexts::Follow(CLanguages& languages) {
    languages.RegisterWindow("QtOwnTexts", std::make_shared<CQtOwnTexts>(languages));
}

void CQtOwnTexts::LanguageChanged() {
    const QString locale = QString::fromStdString(languages_.SectionText("LanguageInfo", "Locale", ""));
    if (locale == locale_) return;
    const bool windowsShown = !QApplication::topLevelWidgets().isEmpty();
    if (!locale_.isEmpty()) QCoreApplication::removeTranslator(&translator_);
    locale_.clear();
    if (!locale.isEmpty() && translator_.load(QStringLiteral("qtbase_") + locale,
                                              QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&translator_);
        locale_ = locale;
    }
    // The toolkit retranslates the windows shown, standard buttons included,
    // once it gets to it: the language file's texts are put back after.
    if (windowsShown) QTimer::singleShot(0, &translator_, [&languages = languages_] { languages.Apply(-1); });
}

CQtWindowTarget::CQtWindowTarget(QWidget* window)
    : window_(window), englishCaption_(window ? window->windowTitle().toStdString() : std::string()) {}

CQtWindowTarget::CQtWindowTarget(QTabWidget* tabs, QWidget* page) : window_(page), tabs_(tabs) {
    if (tabs && page) englishCaption_ = tabs->tabText(tabs->indexOf(page)).toStdString();
}

void CQtWindowTarget::AddControl(int controlId, QWidget* control) {
    if (control) controls_[controlId] = Control{control, ControlText(control).toStdString(), {}};
}

void CQtWindowTarget::AddText(int controlId, const QString& english, std::function<void(const QString&)> apply) {
    if (window_ && apply) controls_[controlId] = Control{window_, english.toStdString(), std::move(apply)};
}

std::string CQtWindowTarget::Caption() const {
    if (!window_) return {};
    if (tabs_) return tabs_->tabText(tabs_->indexOf(window_)).toStdString();
    return window_->windowTitle().toStdString();
}

void CQtWindowTarget::SetCaption(const std::string& text) {
    if (!window_) return;
    const QString caption = QString::fromStdString(text);
    if (tabs_) {
        if (const int index = tabs_->indexOf(window_); index >= 0) tabs_->setTabText(index, caption);
        return;
    }
    window_->setWindowTitle(caption);
    window_->setAccessibleName(caption);
}

std::vector<int> CQtWindowTarget::ChildControlIds() const {
    std::vector<int> ids;
    for (const auto& [id, control] : controls_)
        if (control.widget) ids.push_back(id);
    return ids;
}

std::string CQtWindowTarget::DefaultChildText(int controlId) const {
    const auto it = controls_.find(controlId);
    return it == controls_.end() ? ITranslatableWindow::DefaultChildText(controlId) : it->second.english;
}

void CQtWindowTarget::SetChildText(int controlId, const std::string& text) {
    const auto it = controls_.find(controlId);
    if (it == controls_.end() || !it->second.widget) return;
    QWidget* control = it->second.widget;
    const QString value = QString::fromStdString(text);
    if (it->second.apply) {
        it->second.apply(value);
        return;
    }
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(value);
        if (QWidget* field = label->buddy()) field->setAccessibleName(Plain(value));
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(value);
    } else if (auto* box = qobject_cast<QGroupBox*>(control)) {
        box->setTitle(value);
    }
}

}  // namespace tl::ui
