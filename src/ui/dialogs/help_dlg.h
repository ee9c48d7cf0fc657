// The help window (F1): how to use the program, in a reading pane the user
// can scroll and search with the keyboard. The text ships inside the
// program. And the about box.
#pragma once

#include <QDialog>

namespace tl {
class CApp;
}

namespace tl::ui {

// The about box: the program's name and version, what it does, Qt's version.
void ShowAboutBox(CApp& app, const QString& title, QWidget* parent);

class CHelpDlg : public QDialog {
    Q_OBJECT
public:
    explicit CHelpDlg(const QString& title, QWidget* parent = nullptr);
};

}  // namespace tl::ui
