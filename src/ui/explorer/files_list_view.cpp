#include "ui/explorer/files_list_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPalette>

#include <algorithm>
#include <unordered_map>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/main/found_icons.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr unsigned kHeaderIds[kColumnCount] = {ids::kColumnName, ids::kColumnSize, ids::kColumnType,
                                               ids::kColumnDateModified, ids::kColumnInFolder};
constexpr int kColumnWidths[kColumnCount] = {200, 100, 100, 120, 180};

}  // namespace

CFilesListModel::CFilesListModel(CApp& app, QObject* parent) : QAbstractTableModel(parent), app_(app) {}

bool CFilesListModel::Accepts(const CFoundObject& record) const {
    // The folder itself, the tree's root and its fixed nodes are not rows of a folder.
    if (&record == folder_ || &record == tree_->Root() || &record == tree_->LostFragments() ||
        &record == tree_->LostFiles() || record.Id == folderId_)
        return false;
    return !app_.Computer().Filter().IsHidden(&record, &app_.Signatures());
}

void CFilesListModel::ShowFolder(std::shared_ptr<CVolume> volume, CFoundObject* folder,
                                 std::vector<CFoundObject*> fixedRows) {
    beginResetModel();
    results_ = false;
    if (!volume || volume != volume_ || volume->FoundTree().Generation() != generation_) checked_.clear();
    volume_ = std::move(volume);
    tree_ = volume_ ? &volume_->FoundTree() : nullptr;
    folder_ = folder;
    fixedRows_ = std::move(fixedRows);
    rows_.clear();
    childrenSeen_ = 0;
    if (tree_ && folder_) {
        generation_ = tree_->Generation();
        folderId_ = tree_->Snapshot(*folder_).Id;
        Fill();
        Resort();
        dirty_ = false;
    }
    endResetModel();
}

void CFilesListModel::ShowResults(std::shared_ptr<CVolume> volume, std::vector<CFoundObject*> results) {
    beginResetModel();
    volume_ = std::move(volume);
    tree_ = volume_ ? &volume_->FoundTree() : nullptr;
    folder_ = nullptr;
    fixedRows_.clear();
    childrenSeen_ = 0;
    rows_ = tree_ ? std::move(results) : std::vector<CFoundObject*>{};
    results_ = true;
    if (tree_) {
        generation_ = tree_->Generation();
        Resort();
    }
    endResetModel();
}

void CFilesListModel::Clear() {
    beginResetModel();
    results_ = false;
    rows_.clear();
    checked_.clear();
    fixedRows_.clear();
    folder_ = nullptr;
    tree_ = nullptr;
    volume_.reset();
    endResetModel();
}

// Takes the children not looked at yet, under the lock: the records stay
// where they are until the tree is cleared, which the generation tells.
void CFilesListModel::Fill() {
    if (!fixedRows_.empty()) {
        rows_ = fixedRows_;
        return;
    }
    tree_->WithLock([&] {
        if (tree_->Generation() != generation_) return;
        const std::size_t count = tree_->ChildCount(folderId_);
        for (std::size_t i = childrenSeen_; i < count; ++i)
            if (CFoundObject* child = tree_->ChildAt(folderId_, i); child && Accepts(*child)) rows_.push_back(child);
        childrenSeen_ = count;
    });
}

void CFilesListModel::Resort() {
    if (tree_) SortRows(rows_, *tree_, order_);
}

void CFilesListModel::FolderChanged(std::uint64_t folderId, std::uint64_t generation, unsigned codes) {
    if (!tree_ || (!folder_ && !results_)) return;
    if (tree_->Generation() != generation_) checked_.clear();  // their records are gone
    if (results_) {
        // The records the results name are gone with a cleared tree.
        if ((codes & msg::kTreeCodeCleared) != 0 && tree_->Generation() != generation_) Clear();
        return;
    }
    if ((codes & msg::kTreeCodeCleared) != 0 && generation != generation_) {
        if (tree_->Generation() != generation_) Clear();
        return;
    }
    if (folderId != folderId_ || generation != generation_ || !fixedRows_.empty()) return;
    const std::size_t before = rows_.size();
    const bool left = (codes & msg::kTreeCodeLostFolderReplaced) != 0 ||
                      tree_->ChildCount(folderId_) < childrenSeen_;
    if (left) {
        // Rows moved up: the folder is read again.
        ShowFolder(volume_, folder_);
        return;
    }
    Fill();
    if (rows_.size() != before) {
        // The rows that came go at the end now and find their places at the
        // next Refresh: a folder growing by thousands a second is not sorted
        // again for every notification.
        beginInsertRows({}, static_cast<int>(before), static_cast<int>(rows_.size()) - 1);
        endInsertRows();
        dirty_ = true;
    } else if (codes & (msg::kTreeCodeSizeChanged | msg::kTreeCodeObjectChanged | msg::kTreeCodeSignatureMatch)) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
}

void CFilesListModel::Refresh() {
    if (!dirty_) return;
    dirty_ = false;
    Reorder();
}

// Sorts the rows again; the selection and the current row keep their records.
void CFilesListModel::Reorder() {
    emit layoutAboutToBeChanged();
    const QModelIndexList kept = persistentIndexList();
    std::vector<CFoundObject*> records;
    for (const QModelIndex& i : kept) records.push_back(RecordAt(i.row()));
    Resort();
    std::unordered_map<CFoundObject*, int> rowOf;
    for (const CFoundObject* r : records)
        if (r) rowOf.emplace(const_cast<CFoundObject*>(r), -1);
    for (int row = 0; row < static_cast<int>(rows_.size()); ++row)
        if (auto it = rowOf.find(rows_[static_cast<std::size_t>(row)]); it != rowOf.end()) it->second = row;
    QModelIndexList moved;
    for (int i = 0; i < kept.size(); ++i) {
        const auto it = records[static_cast<std::size_t>(i)] ? rowOf.find(records[static_cast<std::size_t>(i)]) : rowOf.end();
        moved.push_back(it == rowOf.end() || it->second < 0 ? QModelIndex() : index(it->second, kept[i].column()));
    }
    changePersistentIndexList(kept, moved);
    emit layoutChanged();
}

void CFilesListModel::SortBy(int column) {
    order_.descending = !order_.descending;
    order_.column = std::clamp(column, 0, static_cast<int>(kColumnCount) - 1);
    dirty_ = false;
    Reorder();
    emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

CFoundObject* CFilesListModel::RecordAt(int row) const {
    return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)] : nullptr;
}

bool CFilesListModel::Copy(int row, CFoundObject& out) const {
    CFoundObject* record = RecordAt(row);
    if (!record || !tree_) return false;
    return tree_->WithLock([&] {
        if (tree_->Generation() != generation_ && fixedRows_.empty()) return false;
        out = *record;
        return true;
    });
}

void CFilesListModel::SetAllChecked(bool checked) {
    for (CFoundObject* r : rows_) {
        if (checked)
            checked_.insert(r);
        else
            checked_.erase(r);
    }
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

Qt::ItemFlags CFilesListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    // The fixed nodes hold found objects without being found: nothing to check.
    if (index.column() == kColumnName && fixedRows_.empty()) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool CFilesListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    CFoundObject* record = RecordAt(index.row());
    if (role != Qt::CheckStateRole || !record || !fixedRows_.empty()) return false;
    if (value.toInt() == Qt::Checked)
        checked_.insert(record);
    else
        checked_.erase(record);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

int CFilesListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CFilesListModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return results_ ? kColumnCount : kColumnFolder;
}

QVariant CFilesListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::CheckStateRole) {
        if (index.column() != kColumnName || !fixedRows_.empty()) return {};
        return checked_.count(RecordAt(index.row())) ? Qt::Checked : Qt::Unchecked;
    }
    if (role == Qt::TextAlignmentRole)
        return index.column() == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    if (role != Qt::DisplayRole && role != Qt::DecorationRole && role != Qt::ForegroundRole &&
        role != Qt::AccessibleTextRole && role != Qt::ToolTipRole)
        return {};
    CFoundObject r;
    if (!Copy(index.row(), r)) return {};
    if (role == Qt::ForegroundRole) {
        // Deleted and lost objects in a muted colour, told apart at a glance.
        if (r.IsDeleted()) return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
        return {};
    }
    if (role == Qt::DecorationRole)
        return index.column() == kColumnName
                   ? QVariant(FoundIcon(RecordIconIndex(r, RecordAt(index.row()) == tree_->Root())))
                   : QVariant();
    switch (index.column()) {
    case kColumnName: return ShownName(r.Name);
    case kColumnSize: return SizeText(r, app_);
    case kColumnType: return QString::fromStdString(tree_->GetTypeName(r));
    case kColumnDate: return FileTimeText(r.CreationTime);
    case kColumnFolder: {
        // The folder chain, read while the tree still holds the record.
        if (!(r.Flags & FO_NAMED)) return QString();
        CFoundObject* record = RecordAt(index.row());
        const std::string path = tree_->WithLock([&] {
            return tree_->Generation() == generation_ ? tree_->GetFullPath(*record) : std::string();
        });
        return ShownName(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    default: return {};
    }
}

QVariant CFilesListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::DisplayRole) return Text(app_, kHeaderIds[section]);
    if (role == Qt::InitialSortOrderRole) return Qt::AscendingOrder;
    return {};
}

CFilesListView::CFilesListView(CApp& app, QWidget* parent) : QTableView(parent) {
    model_ = new CFilesListModel(app, this);
    setModel(model_);
    setAccessibleName(tr("Found files"));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setShowGrid(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    // Rows of equal height: the view never asks every row for its size.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setStretchLastSection(true);
    for (int c = 0; c < kColumnFolder; ++c) setColumnWidth(c, kColumnWidths[c]);
    setIconSize(QSize(16, 16));
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
        model_->SortBy(column);
        horizontalHeader()->setSortIndicator(column, model_->Order().descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    });
    connect(model_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (roles.contains(Qt::CheckStateRole)) emit CheckedChanged();
            });
    connect(model_, &QAbstractItemModel::modelReset, this, &CFilesListView::CheckedChanged);
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& i) { emit RowActivated(model_->RecordAt(i.row())); });
}

void CFilesListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit RowActivated(model_->RecordAt(currentIndex().row()));
        return;
    }
    if (event->key() == Qt::Key_Backspace) {
        emit BackRequested();
        return;
    }
    QTableView::keyPressEvent(event);
}

// A typed letter moves to the next row whose name starts with it.
void CFilesListView::keyboardSearch(const QString& search) {
    if (search.isEmpty() || !model_->Tree()) return;
    const int row = TypeAheadRow(model_->Rows(), *model_->Tree(), currentIndex().row(), search.back());
    if (row < 0) return;
    const QModelIndex target = model_->index(row, 0);
    setCurrentIndex(target);
    scrollTo(target);
}

}  // namespace tl::ui
