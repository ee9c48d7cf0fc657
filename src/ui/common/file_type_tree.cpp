#include "ui/common/file_type_tree.h"

#include <QLineEdit>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <map>

#include "signatures/file_signature.h"
#include "signatures/signature_database.h"

namespace tl::ui {
namespace {
constexpr int kTypeRole = Qt::UserRole + 1;
}

CFileTypeTree::CFileTypeTree(const QString& name, QWidget* parent) : QWidget(parent) {
    filter_ = new QLineEdit;
    filter_->setPlaceholderText(tr("Type a name or an extension to narrow the list"));
    filter_->setAccessibleName(tr("Narrow the file types"));
    filter_->setClearButtonEnabled(true);
    types_ = new QTreeWidget;
    types_->setHeaderHidden(true);
    types_->setAccessibleName(name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(filter_);
    layout->addWidget(types_);
    connect(filter_, &QLineEdit::textChanged, this, &CFileTypeTree::Narrow);
}

void CFileTypeTree::Load(SignatureDatabase& db, Switch field) {
    types_->clear();
    std::map<std::uint32_t, QTreeWidgetItem*> groups;
    for (const auto& [id, group] : db.Groups()) {
        auto* item = new QTreeWidgetItem(types_, {QString::fromStdString(group->DisplayTitle())});
        item->setFlags(item->flags() | Qt::ItemIsAutoTristate | Qt::ItemIsUserCheckable);
        groups[id] = item;
    }
    QTreeWidgetItem* unknown = nullptr;
    for (const auto& type : db.Signatures()) {
        if (type->IsGroup) continue;
        QTreeWidgetItem* parent = nullptr;
        if (const auto it = groups.find(type->GroupId); it != groups.end()) {
            parent = it->second;
        } else {
            if (!unknown) {
                unknown = new QTreeWidgetItem(types_, {QStringLiteral("Unknown")});
                unknown->setFlags(unknown->flags() | Qt::ItemIsAutoTristate | Qt::ItemIsUserCheckable);
            }
            parent = unknown;
        }
        auto* item = new QTreeWidgetItem(parent, {QString::fromStdString(type->DisplayTitle())});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setData(0, kTypeRole, type->Id);
        item->setCheckState(0, (*type).*field != 0 ? Qt::Checked : Qt::Unchecked);
    }
    types_->sortItems(0, Qt::AscendingOrder);
    Narrow(filter_->text());
}

bool CFileTypeTree::Store(SignatureDatabase& db, Switch field) const {
    bool changed = false;
    for (QTreeWidgetItemIterator it(types_); *it; ++it) {
        const QVariant id = (*it)->data(0, kTypeRole);
        FileSignature* type = id.isValid() ? db.FindById(id.toUInt()) : nullptr;
        if (!type) continue;
        const std::uint32_t on = (*it)->checkState(0) == Qt::Checked ? 1 : 0;
        changed |= (*type).*field != on;
        (*type).*field = on;
    }
    return changed;
}

// Types whose title holds the text stay, with their groups; a group whose
// title holds it keeps all its types.
void CFileTypeTree::Narrow(const QString& text) {
    const QString wanted = text.trimmed();
    for (int g = 0; g < types_->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = types_->topLevelItem(g);
        const bool groupFits = wanted.isEmpty() || group->text(0).contains(wanted, Qt::CaseInsensitive);
        bool any = groupFits;
        for (int t = 0; t < group->childCount(); ++t) {
            QTreeWidgetItem* type = group->child(t);
            const bool fits = groupFits || type->text(0).contains(wanted, Qt::CaseInsensitive);
            type->setHidden(!fits);
            any |= fits;
        }
        group->setHidden(!any);
        group->setExpanded(!wanted.isEmpty() && any);
    }
}

}  // namespace tl::ui
