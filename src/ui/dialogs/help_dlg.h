// The help window (F1): how to use the program, in a reading pane the user
// can scroll and search with the keyboard. The text ships inside the program.
#pragma once

#include <QDialog>

namespace tl::ui {

class CHelpDlg : public QDialog {
    Q_OBJECT
public:
    explicit CHelpDlg(const QString& title, QWidget* parent = nullptr);
};

}  // namespace tl::ui
