// A hex editor under a title: the signature page shows a pattern's data
// bytes and its mask bytes in two of them side by side.
#pragma once

#include <QWidget>

class QLabel;

namespace tl::ui {

class CHexEditorCtrl;

class CHexEditor_Pane : public QWidget {
    Q_OBJECT
public:
    explicit CHexEditor_Pane(const QString& title, QWidget* parent = nullptr);
    void SetTitle(const QString& title);
    QLabel* Title() const { return title_; }
    CHexEditorCtrl* Editor() const { return editor_; }

private:
    QLabel* title_;
    CHexEditorCtrl* editor_;
};

}  // namespace tl::ui
