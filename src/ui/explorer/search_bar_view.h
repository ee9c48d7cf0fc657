// The find bar: a name pattern ("*" any run, "?" one character) and the
// two switches of the search, with Search and Cancel. The search itself
// runs on the core's worker; the results fill the file list with their
// folders.
#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;

namespace tl {
class CApp;
struct FindCriteria;
}

namespace tl::ui {

class CSearchBarView : public QWidget {
    Q_OBJECT
public:
    explicit CSearchBarView(CApp& app, QWidget* parent = nullptr);
    // Stores the bar's fields into `criteria`.
    void Store(FindCriteria& criteria) const;
    void FocusName();

signals:
    void SearchRequested();
    void CloseRequested();

private:
    QLineEdit* name_;
    QCheckBox* deletedOnly_;
    QCheckBox* filesOnly_;
};

}  // namespace tl::ui
