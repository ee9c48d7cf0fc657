#include "ui/settings/settings_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

#include "app/string_ids.h"
#include "platform/files.h"
#include "signatures/file_signature.h"
#include "signatures/signature_database.h"
#include "ui/common/file_type_tree.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

QCheckBox* Check(const QString& text, QBoxLayout* layout) {
    auto* box = new QCheckBox(text);
    layout->addWidget(box);
    return box;
}

// The controls' identifiers in the pages' language sections.
enum ControlId : int {
    kShowSplashBox = 1001,
    kConfirmExitBox = 1010,
    kConfirmScanAbortBox,
    kConfirmRecoveryAbortBox,
    kConfirmOverwriteBox,
    kNoTryOpenWarningBox,
    kSystemTempChoice = 1020,
    kCustomTempChoice,
    kBrowseButton,
    kRetryCountLabel = 1030,
    kRetryPauseLabel,
    kRetryPauseUnit,
    kLogToFileBox = 1040,
    kLogFileNameLabel,
    kMaxLogSizeLabel,
    kMaxLogSizeUnit,
    kClearLogBox,
    kLogToDebuggerBox,
    kLanguageLabel = 1050,
    kRestartNote,
    kTranslatorLabel,
};

void Bind(QCheckBox* box, const AppSettings& s, std::uint32_t field) { box->setChecked(s.GetU32(field) != 0); }
void Keep(const QCheckBox* box, AppSettings& s, std::uint32_t field) { s.SetU32(field, box->isChecked() ? 1 : 0); }

QSpinBox* Spin(int low, int high) {
    auto* spin = new QSpinBox;
    spin->setRange(low, high);
    return spin;
}

// A field named by its label, for screen readers; returns the label and,
// when the field has a unit, the unit's label.
std::pair<QLabel*, QLabel*> AddRow(QFormLayout* form, const QString& text, QWidget* field, const QString& unit = {}) {
    field->setAccessibleName(QString(text).remove(QLatin1Char(':')));
    auto* label = new QLabel(text);
    label->setBuddy(field);
    if (unit.isEmpty()) {
        form->addRow(label, field);
        return {label, nullptr};
    }
    auto* unitLabel = new QLabel(unit);
    auto* row = new QHBoxLayout;
    row->addWidget(field);
    row->addWidget(unitLabel);
    row->addStretch();
    form->addRow(label, row);
    return {label, unitLabel};
}

}  // namespace

// ---------------------------------------------------------------- Common

CSettingsDlg_Common::CSettingsDlg_Common(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.Common", ids::kPageCommonSettings, "preferences-system",
                    QStyle::SP_ComputerIcon) {
    QVBoxLayout* layout = Body();
    splash_ = Translated(kShowSplashBox, Check(tr("Show Splash screen at startup"), layout));
    layout->addStretch();
}
void CSettingsDlg_Common::Load() { Bind(splash_, app_.Settings(), AppSettings::kShowSplash); }
void CSettingsDlg_Common::Store() { Keep(splash_, app_.Settings(), AppSettings::kShowSplash); }

// ---------------------------------------------------------------- Confirmations

CSettingsDlg_Confirms::CSettingsDlg_Confirms(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.Confirms", ids::kPageConfirmations, "dialog-question",
                    QStyle::SP_MessageBoxQuestion) {
    QVBoxLayout* layout = Body();
    exit_ = Translated(kConfirmExitBox, Check(tr("Confirm application shutdown"), layout));
    scanAbort_ = Translated(kConfirmScanAbortBox, Check(tr("Confirm scan abort"), layout));
    recoveryAbort_ = Translated(kConfirmRecoveryAbortBox, Check(tr("Confirm recovery abort"), layout));
    overwrite_ = Translated(kConfirmOverwriteBox, Check(tr("Confirm file overwrite"), layout));
    overwrite_->hide();  // stored, but nothing asks it
    noTryOpenWarning_ =
        Translated(kNoTryOpenWarningBox, Check(tr("Do not show warning message in \"Try to open\" "), layout));
    layout->addStretch();
}
void CSettingsDlg_Confirms::Load() {
    const AppSettings& s = app_.Settings();
    Bind(exit_, s, AppSettings::kConfirmExit);
    Bind(scanAbort_, s, AppSettings::kConfirmScanAbort);
    Bind(recoveryAbort_, s, AppSettings::kConfirmRecoveryAbort);
    Bind(overwrite_, s, AppSettings::kConfirmOverwrite);
    Bind(noTryOpenWarning_, s, AppSettings::kNoTryOpenWarning);
}
void CSettingsDlg_Confirms::Store() {
    AppSettings& s = app_.Settings();
    Keep(exit_, s, AppSettings::kConfirmExit);
    Keep(scanAbort_, s, AppSettings::kConfirmScanAbort);
    Keep(recoveryAbort_, s, AppSettings::kConfirmRecoveryAbort);
    Keep(overwrite_, s, AppSettings::kConfirmOverwrite);
    Keep(noTryOpenWarning_, s, AppSettings::kNoTryOpenWarning);
}

// ---------------------------------------------------------------- File Types

CSettingsDlg_SearchFileTypes::CSettingsDlg_SearchFileTypes(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.SearchFileTypes", ids::kPageFileTypes, "text-x-generic",
                    QStyle::SP_FileIcon) {
    types_ = new CFileTypeTree(app_, Text(app_, ids::kPageFileTypes));
    Body()->addWidget(types_);
}

void CSettingsDlg_SearchFileTypes::Load() { types_->Load(app_.Signatures(), &FileSignature::SearchEnable); }

void CSettingsDlg_SearchFileTypes::Store() {
    if (types_->Store(app_.Signatures(), &FileSignature::SearchEnable)) app_.Signatures().SaveAll();
}

// ---------------------------------------------------------------- Temporary Folder

CSettingsDlg_Temporary::CSettingsDlg_Temporary(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.Temporary", ids::kPageTemporaryFolder, "folder", QStyle::SP_DirIcon) {
    system_ = Translated(kSystemTempChoice, new QRadioButton(tr("System default temporary folder")));
    custom_ = Translated(kCustomTempChoice, new QRadioButton(tr("Custom temporary folder:")));
    folder_ = new QLineEdit;
    folder_->setMaxLength(4095);
    folder_->setAccessibleName(tr("Custom temporary folder"));
    browse_ = Translated(kBrowseButton, new QPushButton(tr("Browse...")));
    auto* row = new QHBoxLayout;
    row->addWidget(folder_);
    row->addWidget(browse_);
    QVBoxLayout* layout = Body();
    layout->addWidget(system_);
    layout->addWidget(custom_);
    layout->addLayout(row);
    layout->addStretch();
    // A click on a choice is stored at once.
    for (QRadioButton* choice : {system_, custom_})
        connect(choice, &QRadioButton::clicked, this, [this] {
            app_.Settings().SetU32(AppSettings::kCustomTempFolder, custom_->isChecked() ? 1 : 0);
            Follow();
        });
    connect(browse_, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, tr("Select New Temporary Folder"), folder_->text());
        if (!chosen.isEmpty()) folder_->setText(chosen);
    });
}

void CSettingsDlg_Temporary::Follow() {
    folder_->setEnabled(custom_->isChecked());
    browse_->setEnabled(custom_->isChecked());
}

void CSettingsDlg_Temporary::Load() {
    const QString folder = QString::fromStdString(app_.Settings().TempFolder());
    const QString system = QString::fromStdString(platform::SystemTempFolder().string());
    folder_->setText(folder);
    (folder.compare(system, Qt::CaseInsensitive) != 0 ? custom_ : system_)->setChecked(true);
    Follow();
}

void CSettingsDlg_Temporary::Store() {
    AppSettings& s = app_.Settings();
    s.SetTempFolder((custom_->isChecked() ? folder_->text() : QString::fromStdString(platform::SystemTempFolder().string()))
                        .toStdString());
}

// ---------------------------------------------------------------- Drive Access

CSettingsDlg_DriveAccess::CSettingsDlg_DriveAccess(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.DriveAccess", ids::kPageDriveAccess, "drive-harddisk",
                    QStyle::SP_DriveHDIcon) {
    retries_ = Spin(0, 1000000);
    pause_ = Spin(0, 1000000);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    Translated(kRetryCountLabel, AddRow(form, tr("Retry attempts:"), retries_).first);
    const auto [pause, unit] = AddRow(form, tr("Pause between retry attempts:"), pause_, tr("ms."));
    Translated(kRetryPauseLabel, pause);
    Translated(kRetryPauseUnit, unit);
    Body()->addLayout(form);
    Body()->addStretch();
}
void CSettingsDlg_DriveAccess::Load() {
    retries_->setValue(static_cast<int>(std::min<std::uint32_t>(app_.Settings().RetryCount(), 1000000)));
    pause_->setValue(static_cast<int>(std::min<std::uint32_t>(app_.Settings().RetryPauseMs(), 1000000)));
}
void CSettingsDlg_DriveAccess::Store() {
    app_.Settings().SetU32(AppSettings::kRetryCount, static_cast<std::uint32_t>(retries_->value()));
    app_.Settings().SetU32(AppSettings::kRetryPauseMs, static_cast<std::uint32_t>(pause_->value()));
}

// ---------------------------------------------------------------- Logging

CSettingsDlg_Logging::CSettingsDlg_Logging(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.Logging", ids::kPageLogging, "text-x-script", QStyle::SP_FileDialogContentsView) {
    QVBoxLayout* layout = Body();
    toFile_ = Translated(kLogToFileBox, Check(tr("Save log in file"), layout));
    fileControls_ = new QWidget;
    auto* form = new QFormLayout(fileControls_);
    form->setContentsMargins(20, 0, 0, 0);
    fileName_ = new QLineEdit;
    fileName_->setMaxLength(1023);
    maxSize_ = Spin(1, 102400);
    Translated(kLogFileNameLabel, AddRow(form, tr("Log file name:"), fileName_).first);
    const auto [size, unit] = AddRow(form, tr("Maximum log file size:"), maxSize_, tr("KB"));
    Translated(kMaxLogSizeLabel, size);
    Translated(kMaxLogSizeUnit, unit);
    clearOnStart_ = Translated(kClearLogBox, new QCheckBox(tr("Clear log file on startup")));
    form->addRow(clearOnStart_);
    layout->addWidget(fileControls_);
    toDebugger_ = Translated(kLogToDebuggerBox, Check(tr("Write log in system debug window"), layout));
    layout->addStretch();
    // A click on the switch stores the whole page at once.
    connect(toFile_, &QCheckBox::clicked, this, [this] {
        Store();
        Follow();
    });
}

void CSettingsDlg_Logging::Follow() { fileControls_->setEnabled(toFile_->isChecked()); }

void CSettingsDlg_Logging::Load() {
    const AppSettings& s = app_.Settings();
    Bind(toFile_, s, AppSettings::kLogToFile);
    fileName_->setText(QString::fromStdString(s.LogFileName()));
    maxSize_->setValue(static_cast<int>(std::clamp<std::uint32_t>(s.MaxLogSizeKB(), 1, 102400)));
    Bind(clearOnStart_, s, AppSettings::kClearLogOnStart);
    Bind(toDebugger_, s, AppSettings::kLogToDebugger);
    Follow();
}

void CSettingsDlg_Logging::Store() {
    AppSettings& s = app_.Settings();
    Keep(toFile_, s, AppSettings::kLogToFile);
    s.SetLogFileName(fileName_->text().toStdString());
    s.SetU32(AppSettings::kMaxLogSizeKB, static_cast<std::uint32_t>(maxSize_->value()));
    Keep(clearOnStart_, s, AppSettings::kClearLogOnStart);
    Keep(toDebugger_, s, AppSettings::kLogToDebugger);
}

// ---------------------------------------------------------------- Interface Language

CSettingsDlg_Languages::CSettingsDlg_Languages(CApp& app)
    : CSettingsPage(app, "ProgrammSettings.Languages", ids::kPageInterfaceLanguages, "preferences-desktop-locale",
                    QStyle::SP_DesktopIcon) {
    languages_ = new QComboBox;
    translator_ = new QLabel;
    translator_->setTextFormat(Qt::PlainText);  // the name comes from the language file
    auto* form = new QFormLayout;
    Translated(kLanguageLabel, AddRow(form, tr("Language:"), languages_).first);
    Translated(kTranslatorLabel, AddRow(form, tr("Translator:"), translator_).first);
    auto* note = Translated(kRestartNote, new QLabel(tr("The program shows the new language fully after a restart.")));
    note->setWordWrap(true);
    form->addRow(note);
    Body()->addLayout(form);
    Body()->addStretch();
    // A language chosen is stored and applied at once.
    connect(languages_, &QComboBox::activated, this, [this](int index) {
        app_.Settings().SetLanguageIndex(index);
        app_.Languages().Apply(index);
    });
}

void CSettingsDlg_Languages::LanguageChanged() {
    const QString name = QString::fromStdString(app_.Languages().TranslatorName());
    translator_->setText(name);
    translator_->setAccessibleDescription(name);
}

void CSettingsDlg_Languages::Load() {
    languages_->clear();
    for (const std::string& name : app_.Languages().Names()) languages_->addItem(QString::fromStdString(name));
    languages_->setEnabled(languages_->count() > 0);
    languages_->setCurrentIndex(app_.Languages().Current());
    LanguageChanged();
}

}  // namespace tl::ui
