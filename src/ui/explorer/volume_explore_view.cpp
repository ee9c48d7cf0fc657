#include "ui/explorer/volume_explore_view.h"

#include <QItemSelectionModel>
#include <QMenu>

#include <algorithm>

#include "app/app_messages.h"
#include "filesystems/found_tree.h"
#include "storage/volume.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/files_tree_view.h"

namespace tl::ui {

CVolumeExploreView::CVolumeExploreView(CApp& app, QWidget* parent) : QSplitter(Qt::Horizontal, parent), app_(app) {
    tree_ = new CFilesTreeView(app_, this);
    list_ = new CFilesListView(app_, this);
    setStretchFactor(0, 1);
    setStretchFactor(1, 3);
    // Room for the folder names at first; the list takes what the window gains.
    setSizes({200, 400});
    setChildrenCollapsible(false);
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { ShowSelectedFolder(); });
    connect(list_, &CFilesListView::RowActivated, this, &CVolumeExploreView::OpenRow);
    connect(list_, &CFilesListView::BackRequested, this, &CVolumeExploreView::GoUp);
    connect(list_, &CFilesListView::CheckedChanged, this, &CVolumeExploreView::FilesChanged);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CVolumeExploreView::FilesChanged);
    connect(tree_->Model(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (roles.contains(Qt::CheckStateRole)) emit FilesChanged();
            });
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (contextCommands_.isEmpty()) return;
        menuOfTree_ = false;
        QMenu menu(this);
        menu.addActions(contextCommands_);
        menu.exec(list_->viewport()->mapToGlobal(at));
    });
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (treeCommands_.isEmpty() || !Volume()) return;
        menuOfTree_ = true;
        QMenu menu(this);
        menu.addActions(treeCommands_);
        menu.exec(tree_->viewport()->mapToGlobal(at));
    });
}

void CVolumeExploreView::SetAllChecked(bool checked) {
    if (menuOfTree_)
        tree_->Model()->SetAllChecked(checked);
    else
        list_->Model()->SetAllChecked(checked);
    emit FilesChanged();
}

std::vector<CFoundObject*> CVolumeExploreView::SelectedFiles() const {
    std::vector<CFoundObject*> selected;
    if (tree_->Model()->IsVolumeNode(tree_->currentIndex())) return selected;  // the fixed nodes
    QModelIndexList rows = list_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& row : rows)
        if (CFoundObject* record = list_->Model()->RecordAt(row.row())) selected.push_back(record);
    return selected;
}

bool CVolumeExploreView::HasSelectedFiles() const {
    return !tree_->Model()->IsVolumeNode(tree_->currentIndex()) && list_->selectionModel()->hasSelection();
}

std::vector<CFoundObject*> CVolumeExploreView::FilesToRecover() const {
    // The checked folders of the tree, and the checked rows that no checked folder holds already.
    std::vector<CFoundObject*> chosen = tree_->Model()->CheckedFolders();
    const std::size_t folders = chosen.size();
    for (CFoundObject* record : list_->Model()->Checked()) {
        bool inside = false;
        for (std::size_t i = 0; i < folders && !inside; ++i) inside = IsBelow(*record, *chosen[i]);
        if (!inside) chosen.push_back(record);
    }
    if (!chosen.empty()) return chosen;
    for (const QModelIndex& row : list_->selectionModel()->selectedRows())
        if (CFoundObject* record = list_->Model()->RecordAt(row.row())) chosen.push_back(record);
    if (!chosen.empty()) return chosen;
    const QModelIndex folder = tree_->currentIndex();
    if (CFoundObject* record = tree_->Model()->RecordOf(folder); record && !tree_->Model()->IsVolumeNode(folder))
        chosen.push_back(record);
    return chosen;
}

CFoundObject* CVolumeExploreView::CurrentFile() const {
    if (!Volume() || tree_->Model()->IsVolumeNode(tree_->currentIndex())) return nullptr;
    return list_->Model()->RecordAt(list_->currentIndex().row());
}

bool CVolumeExploreView::HasFilesToRecover() const {
    if (!Volume()) return false;
    return list_->Model()->HasChecked() || list_->selectionModel()->hasSelection() ||
           !tree_->Model()->CheckedFolders().empty();
}

// Whether `record` lies in `folder` at any depth, by the folder chain its tree keeps.
bool CVolumeExploreView::IsBelow(const CFoundObject& record, const CFoundObject& folder) const {
    const CFoundTree* tree = tree_->Model()->Tree();
    if (!tree) return false;
    if (&folder == tree->Root()) return true;
    for (const auto& [chainFolder, name] : tree->GetFolderChain(record))
        if (chainFolder == &folder) return true;
    return false;
}

CVolume* CVolumeExploreView::Volume() const { return tree_->Model()->Volume(); }

const std::shared_ptr<CVolume>& CVolumeExploreView::SharedVolume() const { return tree_->Model()->SharedVolume(); }

void CVolumeExploreView::ShowResults(std::vector<CFoundObject*> results) {
    list_->Model()->ShowResults(tree_->Model()->SharedVolume(), std::move(results));
    if (list_->Model()->rowCount() > 0) list_->setCurrentIndex(list_->Model()->index(0, 0));
}

void CVolumeExploreView::Refill() {
    std::shared_ptr<CVolume> volume = tree_->Model()->SharedVolume();
    ExploreVolume(nullptr);
    ExploreVolume(std::move(volume));
}

void CVolumeExploreView::ExploreVolume(std::shared_ptr<CVolume> volume) {
    if (volume.get() == Volume()) return;
    list_->Model()->Clear();
    tree_->Model()->SetVolume(std::move(volume));
    // The selection model is kept by the view across resets; follow it again.
    const QModelIndex top = tree_->Model()->index(0, 0);
    if (!top.isValid()) return;
    tree_->expand(top);
    const QModelIndex root = tree_->Model()->index(0, 0, top);
    tree_->setCurrentIndex(root.isValid() ? root : top);
    if (root.isValid()) tree_->expand(root);
}

void CVolumeExploreView::ShowSelectedFolder() {
    CFilesTreeModel* model = tree_->Model();
    const QModelIndex current = tree_->currentIndex();
    CFoundObject* record = model->RecordOf(current);
    if (!record) {
        list_->Model()->Clear();
        return;
    }
    // The volume node lists its fixed nodes; a folder its children.
    if (model->IsVolumeNode(current))
        list_->Model()->ShowFolder(model->SharedVolume(), record, model->FixedNodes());
    else
        list_->Model()->ShowFolder(model->SharedVolume(), record);
    if (list_->Model()->rowCount() > 0) list_->setCurrentIndex(list_->Model()->index(0, 0));
}

void CVolumeExploreView::TreeChanged(std::uint64_t wparam, std::int64_t lparam) {
    const FoundTreeChange change = CFoundTree::DecodeChange(wparam, lparam);
    CFilesTreeModel* model = tree_->Model();
    if (!model->Tree()) return;
    const bool cleared = (change.codes & msg::kTreeCodeCleared) != 0;
    model->FolderChanged(change.folderId, change.generation, change.codes);
    if (cleared) {
        // A fresh tree: its root again, once the model has it.
        const QModelIndex top = model->index(0, 0);
        if (top.isValid()) {
            tree_->expand(top);
            const QModelIndex root = model->index(0, 0, top);
            tree_->setCurrentIndex(root.isValid() ? root : top);
        }
        return;
    }
    list_->Model()->FolderChanged(change.folderId, change.generation, change.codes);
}

void CVolumeExploreView::Repaint() {
    list_->Model()->Refresh();
    tree_->viewport()->update();
    list_->viewport()->update();
}

// Enter on a folder row opens it in the tree; files are opened by the next
// dialogs' commands.
void CVolumeExploreView::OpenRow(CFoundObject* record) {
    if (!record) return;
    if (!record->IsFolder()) {
        emit FileActivated();
        return;
    }
    const QModelIndex current = tree_->currentIndex();
    CFilesTreeModel* model = tree_->Model();
    QModelIndex target;
    for (int row = 0; row < model->rowCount(current) && !target.isValid(); ++row)
        if (model->RecordOf(model->index(row, 0, current)) == record) target = model->index(row, 0, current);
    if (!target.isValid()) return;
    tree_->expand(current);
    tree_->setCurrentIndex(target);
    tree_->scrollTo(target);
}

void CVolumeExploreView::GoUp() {
    const QModelIndex up = tree_->currentIndex().parent();
    if (up.isValid()) tree_->setCurrentIndex(up);
}

}  // namespace tl::ui
