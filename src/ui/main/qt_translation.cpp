#include "ui/main/qt_translation.h"

#include <QAction>
#include <QMenu>

namespace tl::ui {
namespace {

std::vector<ITranslatableMenu::Item> ItemsOf(const QList<QAction*>& actions) {
    std::vector<ITranslatableMenu::Item> items;
    for (const QAction* action : actions) {
        ITranslatableMenu::Item item;
        item.commandId = action->isSeparator() ? 0 : CommandIdOf(action);
        item.text = action->text().toStdString();
        if (const QMenu* menu = action->menu()) item.submenu = ItemsOf(menu->actions());
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

int CommandIdOf(const QAction* action) { return action ? action->data().toInt() : 0; }

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
    if (action && !action->isSeparator()) action->setText(QString::fromStdString(text));
}

}  // namespace tl::ui
