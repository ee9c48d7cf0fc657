// "File Format Properties": one file type of the signature database on three
// pages, its texts, its technical values and its byte patterns. The pages
// work on a copy of the record; OK checks the values and writes them into
// the record and the settings store. While an analysis runs the scan reads
// the records, so the sheet only shows them then.
#pragma once

#include <QDialog>

#include "signatures/file_signature.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace tl {
class CApp;
}

namespace tl::ui {

class CHexEditor_Pane;

class CFileFormatPropertiesSheet : public QDialog {
    Q_OBJECT
public:
    CFileFormatPropertiesSheet(CApp& app, FileSignature& type, QWidget* parent = nullptr);

    // The record as the pages have it so far.
    const FileSignature& Edited() const { return edit_; }
    // Whether the sheet only shows the record (an analysis runs).
    bool ShowOnly() const { return showOnly_; }

    // The signature page: the index of the shown pattern (-1: none) and its steps.
    int ShownPattern() const { return shown_; }
    void NextPattern();
    void PreviousPattern();
    void AddPattern();
    void DeletePattern();

    // Reads every page into the edited record. A field holding a bad value
    // beeps, gets the focus back and makes it false.
    bool StorePages();

    void accept() override;

private:
    QWidget* BuildDescriptionPage();
    QWidget* BuildTechnicalPage();
    QWidget* BuildSignaturePage();
    // The "Group:" list took another group.
    void GroupChosen(int index);
    // The technical page's fields into the record; with `strict` a bad one
    // stops it with a beep and the focus on it, else it is left as it was.
    bool StoreTechnical(bool strict);
    // The shown pattern's compare length and kind into it, and the page from
    // the pattern at `index`.
    void StoreShownPattern();
    void ShowPattern(int index);
    // Whether the shown pattern is one the page edits (its first element masked).
    bool ShownIsMasked() const;
    void ByteEdited(bool mask, std::int64_t offset);

    CApp& app_;
    FileSignature& type_;
    FileSignature edit_;
    bool showOnly_;
    QTabWidget* pages_ = nullptr;
    // Description
    QLineEdit* title_ = nullptr;
    QLineEdit* description_ = nullptr;
    QLineEdit* category_ = nullptr;
    // Technical Info
    QLineEdit* defaultSize_ = nullptr;
    QLineEdit* searchOrder_ = nullptr;
    QLineEdit* prefix_ = nullptr;
    QLineEdit* extensions_ = nullptr;
    QLineEdit* id_ = nullptr;
    QLineEdit* coincidence_ = nullptr;
    QComboBox* group_ = nullptr;
    // Signature
    int shown_ = -1;
    CHexEditor_Pane* data_ = nullptr;
    CHexEditor_Pane* mask_ = nullptr;
    QSpinBox* length_ = nullptr;
    QCheckBox* byBits_ = nullptr;
    QLabel* index_ = nullptr;
    QPushButton* previous_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
};

}  // namespace tl::ui
