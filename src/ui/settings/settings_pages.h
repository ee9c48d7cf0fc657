// The seven pages of the settings sheet, each named by its language section.
#pragma once

#include "ui/settings/settings_dlg.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTreeWidget;

namespace tl::ui {

class CFileTypeTree;

class CSettingsDlg_Common : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_Common(CApp& app);
    void Load() override;
    void Store() override;

private:
    QCheckBox* splash_;
};

class CSettingsDlg_Confirms : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_Confirms(CApp& app);
    void Load() override;
    void Store() override;

private:
    QCheckBox *exit_, *scanAbort_, *recoveryAbort_, *overwrite_, *noTryOpenWarning_;
};

class CSettingsDlg_SearchFileTypes : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_SearchFileTypes(CApp& app);
    void Load() override;
    void Store() override;

private:
    CFileTypeTree* types_;
};

class CSettingsDlg_Temporary : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_Temporary(CApp& app);
    void Load() override;
    void Store() override;

private:
    void Follow();
    QRadioButton *system_, *custom_;
    QLineEdit* folder_;
    QPushButton* browse_;
};

class CSettingsDlg_DriveAccess : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_DriveAccess(CApp& app);
    void Load() override;
    void Store() override;

private:
    QSpinBox *retries_, *pause_;
};

class CSettingsDlg_Logging : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_Logging(CApp& app);
    void Load() override;
    void Store() override;

private:
    void Follow();
    QCheckBox* toFile_;
    QLineEdit* fileName_;
    QSpinBox* maxSize_;
    QCheckBox *clearOnStart_, *toDebugger_;
    QWidget* fileControls_;
};

class CSettingsDlg_Languages : public CSettingsPage {
    Q_OBJECT
public:
    explicit CSettingsDlg_Languages(CApp& app);
    void Load() override;
    void Store() override {}
    void LanguageChanged() override;

private:
    QComboBox* languages_;
    QLabel* translator_;
};

}  // namespace tl::ui
