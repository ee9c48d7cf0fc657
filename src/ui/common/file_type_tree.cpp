#include "ui/common/file_type_tree.h"

#include <QEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <map>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "signatures/file_signature.h"
#include "signatures/signature_database.h"
#include "ui/dialogs/file_format_properties_dlg.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {
constexpr int kTypeRole = Qt::UserRole + 1;
constexpr int kExtensionsRole = Qt::UserRole + 2;

void ShowType(QTreeWidgetItem* item, const FileSignature& type) {
    item->setText(0, QString::fromStdString(type.DisplayTitle()));
    item->setData(0, kTypeRole, type.Id);
    item->setData(0, kExtensionsRole, QString::fromStdString(type.FileExtensions));
}
}  // namespace

CFileTypeTree::CFileTypeTree(CApp& app, const QString& name, QWidget* parent) : QWidget(parent), app_(app) {
    filter_ = new QLineEdit;
    Retranslate();
    filter_->setClearButtonEnabled(true);
    types_ = new QTreeWidget;
    types_->setHeaderHidden(true);
    types_->setAccessibleName(name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(filter_);
    layout->addWidget(types_);
    connect(filter_, &QLineEdit::textChanged, this, &CFileTypeTree::Narrow);
    types_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(types_, &QWidget::customContextMenuRequested, this, &CFileTypeTree::ShowContextMenu);
}

void CFileTypeTree::Retranslate() {
    filter_->setPlaceholderText(Text(app_, ids::kFileTypeFilterHint));
    filter_->setAccessibleName(Text(app_, ids::kFileTypeFilterName));
}

void CFileTypeTree::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) Retranslate();
    QWidget::changeEvent(event);
}

void CFileTypeTree::ShowContextMenu(const QPoint& at) {
    QMenu menu(this);
    // The tool tip half of a command's text is its short name.
    menu.addAction(SplitCommandText(Text(app_, cmd::kCheckAll)).toolTip, this, [this] { SetAllChecked(true); });
    menu.addAction(SplitCommandText(Text(app_, cmd::kUncheckAll)).toolTip, this, [this] { SetAllChecked(false); });
    menu.addSeparator();
    QAction* properties = menu.addAction(SplitCommandText(Text(app_, cmd::kFileTypeProperties)).toolTip, this,
                                         [this] { ShowProperties(); });
    const QTreeWidgetItem* item = types_->currentItem();
    properties->setEnabled(item && item->data(0, kTypeRole).isValid());
    menu.exec(types_->viewport()->mapToGlobal(at));
}

void CFileTypeTree::SetAllChecked(bool checked) {
    // The groups' boxes follow their types'.
    for (QTreeWidgetItemIterator it(types_); *it; ++it)
        if ((*it)->data(0, kTypeRole).isValid()) (*it)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

bool CFileTypeTree::ShowProperties() {
    QTreeWidgetItem* item = types_->currentItem();
    const QVariant id = item ? item->data(0, kTypeRole) : QVariant();
    FileSignature* type = id.isValid() ? app_.Signatures().FindById(id.toUInt()) : nullptr;
    if (!type) return false;
    CFileFormatPropertiesSheet sheet(app_, *type, this);
    if (sheet.exec() == QDialog::Accepted) ShowType(item, *type);
    return true;
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
        auto* item = new QTreeWidgetItem(parent);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        ShowType(item, *type);
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

// Types whose title or extensions hold the text stay, with their groups; a
// group whose title holds it keeps all its types.
void CFileTypeTree::Narrow(const QString& text) {
    const QString wanted = text.trimmed();
    for (int g = 0; g < types_->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = types_->topLevelItem(g);
        const bool groupFits = wanted.isEmpty() || group->text(0).contains(wanted, Qt::CaseInsensitive);
        bool any = groupFits;
        for (int t = 0; t < group->childCount(); ++t) {
            QTreeWidgetItem* type = group->child(t);
            const bool fits = groupFits || type->text(0).contains(wanted, Qt::CaseInsensitive) ||
                              type->data(0, kExtensionsRole).toString().contains(wanted, Qt::CaseInsensitive);
            type->setHidden(!fits);
            any |= fits;
        }
        group->setHidden(!any);
        group->setExpanded(!wanted.isEmpty() && any);
    }
}

}  // namespace tl::ui
