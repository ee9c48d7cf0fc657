// The desktop program's menus as the language manager translates them: a
// menu bar seen as a tree of items, the top-level ones by position and the
// others by the command identifier each action carries as its data.
#pragma once

#include <QMenuBar>
#include <QPointer>
#include <QTabWidget>

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

// A page of a tab widget as a translated window: its caption is the tab's
// text; its rows are the core's texts already.
class CQtTabTarget : public ITranslatableWindow {
public:
    CQtTabTarget(QTabWidget* tabs, int index) : tabs_(tabs), index_(index) {}
    bool Exists() const override { return !tabs_.isNull() && index_ < tabs_->count(); }
    bool IsDialog() const override { return false; }
    std::string Caption() const override { return Exists() ? tabs_->tabText(index_).toStdString() : std::string(); }
    void SetCaption(const std::string& text) override {
        if (Exists()) tabs_->setTabText(index_, QString::fromStdString(text));
    }
    std::vector<int> ChildControlIds() const override { return {}; }
    void SetChildText(int, const std::string&) override {}

private:
    QPointer<QTabWidget> tabs_;
    int index_;
};

// The command identifier an action carries (0: none).
int CommandIdOf(const QAction* action);

}  // namespace tl::ui
