// The signature database's file types as a tree of groups and types with
// check boxes (a group's box has three states, worked out from its types'),
// and a box above it that narrows the tree to the types whose name holds
// what is typed. The settings sheet checks what the sector scan looks for,
// the filter sheet what the views show.
#pragma once

#include <QWidget>

#include <functional>

class QLineEdit;
class QTreeWidget;

namespace tl {
class FileSignature;
class SignatureDatabase;
}

namespace tl::ui {

class CFileTypeTree : public QWidget {
    Q_OBJECT
public:
    explicit CFileTypeTree(const QString& name, QWidget* parent = nullptr);
    // Fills the tree; `checked` tells each type's box.
    void Load(SignatureDatabase& db, const std::function<bool(const FileSignature&)>& checked);
    // Hands each type's box to `store`; true when any type's switch changed.
    bool Store(SignatureDatabase& db, const std::function<bool(FileSignature&, bool)>& store) const;
    QTreeWidget* Tree() const { return types_; }

private:
    void Narrow(const QString& text);

    QLineEdit* filter_;
    QTreeWidget* types_;
};

}  // namespace tl::ui
