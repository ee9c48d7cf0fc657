// The desktop program's menus as the language manager translates them: a
// menu bar seen as a tree of items, the top-level ones by position and the
// others by the command identifier each action carries as its data.
#pragma once

#include <QMenuBar>
#include <QPointer>

#include "app/languages.h"

namespace tl::ui {

class CQtMenuTarget : public ITranslatableMenu {
public:
    explicit CQtMenuTarget(QMenuBar* menuBar) : menuBar_(menuBar) {}
    bool Exists() const override { return !menuBar_.isNull(); }
    std::vector<Item> Items() const override;
    void SetItemText(const std::vector<int>& path, const std::string& text) override;

private:
    QPointer<QMenuBar> menuBar_;
};

// The command identifier an action carries (0: none).
int CommandIdOf(const QAction* action);

}  // namespace tl::ui
