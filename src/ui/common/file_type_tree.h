// The signature database's file types as a tree of groups and types with
// check boxes (a group's box has three states, worked out from its types'),
// and a box above it that narrows the tree to the types whose name or
// extensions hold what is typed. Its context menu checks or unchecks every
// type and opens a type's properties. The settings sheet checks what the
// sector scan looks for, the filter sheet what the views show.
#pragma once

#include <QWidget>

#include <cstdint>

class QLineEdit;
class QTreeWidget;

#include "signatures/file_signature.h"

namespace tl {
class CApp;
class SignatureDatabase;
}

namespace tl::ui {

class CFileTypeTree : public QWidget {
    Q_OBJECT
public:
    CFileTypeTree(CApp& app, const QString& name, QWidget* parent = nullptr);
    // A type's switch the boxes show (SearchEnable, ShowFilesThisType).
    using Switch = std::uint32_t FileSignature::*;
    // Fills the tree, each type's box from its switch.
    void Load(SignatureDatabase& db, Switch field);
    // Sets each type's switch from its box; true when any changed.
    bool Store(SignatureDatabase& db, Switch field) const;
    QTreeWidget* Tree() const { return types_; }
    // Sets every type's box.
    void SetAllChecked(bool checked);
    // The properties sheet of the current type; false when no type is current.
    bool ShowProperties();

protected:
    // The interface language changed: the field's texts follow.
    void changeEvent(QEvent* event) override;

private:
    void Retranslate();
    void Narrow(const QString& text);
    void ShowContextMenu(const QPoint& at);

    CApp& app_;

    QLineEdit* filter_;
    QTreeWidget* types_;
};

}  // namespace tl::ui
