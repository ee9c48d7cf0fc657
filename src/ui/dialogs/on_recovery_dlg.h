// "Recover": where the chosen files go (a folder on another drive) and
// whether they keep their folders. OK stores both in the settings and makes
// sure the folder is not on the drive the files come from, asking for
// another one when it is.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace tl {
class CApp;
class CVolume;
}

namespace tl::ui {

class COnRecoveryDlg : public QDialog {
    Q_OBJECT
public:
    COnRecoveryDlg(CApp& app, CVolume& source, QWidget* parent = nullptr);
    void accept() override;

private:
    void Load();

    CApp& app_;
    CVolume& source_;
    QLineEdit* folder_;
    QCheckBox* keepStructure_;
};

}  // namespace tl::ui
