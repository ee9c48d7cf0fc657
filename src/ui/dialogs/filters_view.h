// "Filters...": which found objects the explorer shows. The General page
// narrows them to deleted ones, to names that fit a wildcard pattern and to
// a creation date range; the File Types page to all, known or checked types.
// OK stores the view filter and the types' switches; the views then fill again.
#pragma once

#include <QDialog>

class QCheckBox;
class QDateEdit;
class QLineEdit;
class QRadioButton;

namespace tl {
class CApp;
}

namespace tl::ui {

class CFileTypeTree;

class CFiltersView : public QDialog {
    Q_OBJECT
public:
    explicit CFiltersView(CApp& app, QWidget* parent = nullptr);
    void accept() override;

private:
    void Follow();

    CApp& app_;
    // General
    QCheckBox* deletedOnly_;
    QCheckBox* useWildcard_;
    QLineEdit* wildcard_;
    QCheckBox* useDate_;
    QDateEdit* from_;
    QDateEdit* to_;
    // File Types
    QRadioButton* allTypes_;
    QRadioButton* knownTypes_;
    QRadioButton* customTypes_;
    CFileTypeTree* types_;
};

}  // namespace tl::ui
