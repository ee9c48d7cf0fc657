// The warning before a found file is opened in the program the desktop
// associates with its type: a damaged file may show garbage or hang that
// program. "Don't show this warning again." is kept in the settings.
#pragma once

#include <QDialog>

class QCheckBox;

namespace tl {
class CApp;
}

namespace tl::ui {

class CDlgTryOpen : public QDialog {
    Q_OBJECT
public:
    explicit CDlgTryOpen(CApp& app, QWidget* parent = nullptr);
    void accept() override;

private:
    CApp& app_;
    QCheckBox* dontShow_;
};

}  // namespace tl::ui
