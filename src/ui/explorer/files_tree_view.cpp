#include "ui/explorer/files_tree_view.h"

#include <QApplication>
#include <QPalette>

#include <algorithm>

#include "app/app.h"
#include "app/app_messages.h"
#include "filesystems/found_tree.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/explorer/found_rows.h"
#include "ui/main/found_icons.h"

namespace tl::ui {

struct CFilesTreeModel::Node {
    CFoundObject* record = nullptr;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    bool listed = false;
    bool expanded = false;
    int row = 0;
    std::uint64_t changesSeen = ~std::uint64_t{0};  // the folder's change count when hasFolders was learnt
    bool hasFolders = false;
    // The check mark: the checked bit, the count of checked items below, and
    // the state shown (1 unchecked, 2 checked, 3 partly checked).
    bool checked = false;
    int counter = 0;
    int state = 1;
};

CFilesTreeModel::CFilesTreeModel(CApp& app, QObject* parent) : QAbstractItemModel(parent), app_(app) {}
CFilesTreeModel::~CFilesTreeModel() = default;

void CFilesTreeModel::SetVolume(std::shared_ptr<CVolume> volume) {
    beginResetModel();
    listed_.clear();
    top_.reset();
    volume_ = std::move(volume);
    tree_ = volume_ ? &volume_->FoundTree() : nullptr;
    if (tree_) {
        generation_ = tree_->Generation();
        top_ = std::make_unique<Node>();
        top_->listed = true;
        auto node = std::make_unique<Node>();
        node->record = volume_.get();
        node->parent = top_.get();
        top_->children.push_back(std::move(node));
    }
    endResetModel();
}

std::vector<CFoundObject*> CFilesTreeModel::FixedNodes() const {
    std::vector<CFoundObject*> nodes;
    if (!tree_) return nodes;
    nodes.push_back(tree_->Root());
    // The lost-fragments node only while it holds something.
    if (tree_->ChildCount(ID_LOST_FRAGMENTS) > 0) nodes.push_back(tree_->LostFragments());
    nodes.push_back(tree_->LostFiles());
    return nodes;
}

std::vector<CFoundObject*> CFilesTreeModel::FoldersOf(const Node& node) const {
    if (!tree_) return {};
    if (node.record == volume_.get()) return FixedNodes();
    std::vector<CFoundObject*> folders;
    tree_->WithLock([&] {
        if (tree_->Generation() != generation_) return;
        const std::uint64_t id = node.record->Id;
        const std::size_t count = tree_->ChildCount(id);
        for (std::size_t i = 0; i < count; ++i) {
            CFoundObject* child = tree_->ChildAt(id, i);
            if (!child || !child->IsFolder() || child == node.record || child == tree_->Root() ||
                child == tree_->LostFragments() || child == tree_->LostFiles() || child->Id == id)
                continue;
            if (app_.Computer().Filter().IsHidden(child, &app_.Signatures())) continue;
            folders.push_back(child);
        }
    });
    SortRows(folders, *tree_, RowOrder{});
    return folders;
}

void CFilesTreeModel::List(Node& node) const {
    if (node.listed) return;
    node.listed = true;
    int row = 0;
    for (CFoundObject* folder : FoldersOf(node)) {
        auto child = std::make_unique<Node>();
        child->record = folder;
        child->parent = &node;
        child->row = row++;
        // The folders of a checked folder come checked.
        child->checked = node.checked;
        child->state = node.checked ? 2 : 1;
        node.children.push_back(std::move(child));
    }
    if (node.record) listed_.emplace(node.record == volume_.get() ? ~std::uint64_t{0} : node.record->Id, &node);
}

// Brings a listed node's folders up to date: the ones that left are taken
// away, the ones that came are put in their places.
void CFilesTreeModel::Update(Node& node) {
    const std::vector<CFoundObject*> now = FoldersOf(node);
    const QModelIndex parentIndex = IndexOfNode(&node);
    for (int i = static_cast<int>(node.children.size()) - 1; i >= 0; --i) {
        if (std::find(now.begin(), now.end(), node.children[static_cast<std::size_t>(i)]->record) != now.end()) continue;
        beginRemoveRows(parentIndex, i, i);
        // The listed nodes below it go with it.
        std::vector<Node*> gone{node.children[static_cast<std::size_t>(i)].get()};
        for (std::size_t k = 0; k < gone.size(); ++k)
            for (auto& c : gone[k]->children) gone.push_back(c.get());
        for (auto it = listed_.begin(); it != listed_.end();)
            it = std::find(gone.begin(), gone.end(), it->second) != gone.end() ? listed_.erase(it) : std::next(it);
        node.children.erase(node.children.begin() + i);
        endRemoveRows();
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
        const bool there = std::any_of(node.children.begin(), node.children.end(),
                                       [&](const auto& c) { return c->record == now[i]; });
        if (there) continue;
        const int at = static_cast<int>(std::min(i, node.children.size()));
        beginInsertRows(parentIndex, at, at);
        auto child = std::make_unique<Node>();
        child->record = now[i];
        child->parent = &node;
        child->checked = node.checked;
        child->state = node.checked ? 2 : 1;
        node.children.insert(node.children.begin() + at, std::move(child));
        endInsertRows();
    }
    for (std::size_t i = 0; i < node.children.size(); ++i) node.children[i]->row = static_cast<int>(i);
    if (!node.children.empty())
        emit dataChanged(index(0, 0, parentIndex), index(static_cast<int>(node.children.size()) - 1, 0, parentIndex));
}

void CFilesTreeModel::FolderChanged(std::uint64_t folderId, std::uint64_t generation, unsigned codes) {
    if (!tree_) return;
    if (codes & msg::kTreeCodeCleared) {
        if (generation != generation_) SetVolume(volume_);  // the analysis began again: a fresh tree
        return;
    }
    if (generation != generation_) return;
    // A folder of the volume's own level (the lost-fragments node comes and goes).
    if (folderId == ID_LOST_FRAGMENTS || folderId == ID_LOST_FILES || folderId == tree_->Root()->Id) {
        const auto range = listed_.equal_range(~std::uint64_t{0});
        for (auto it = range.first; it != range.second; ++it) Update(*it->second);
    }
    std::vector<Node*> nodes;
    const auto range = listed_.equal_range(folderId);
    for (auto it = range.first; it != range.second; ++it) nodes.push_back(it->second);
    for (Node* node : nodes) Update(*node);
}

CFilesTreeModel::Node* CFilesTreeModel::NodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : top_.get();
}

QModelIndex CFilesTreeModel::IndexOfNode(const Node* node) const {
    if (!node || node == top_.get() || !node->parent) return {};
    return createIndex(node->row, 0, const_cast<Node*>(node));
}

CFoundObject* CFilesTreeModel::RecordOf(const QModelIndex& index) const {
    const Node* node = index.isValid() ? NodeOf(index) : nullptr;
    return node ? node->record : nullptr;
}

bool CFilesTreeModel::IsVolumeNode(const QModelIndex& index) const {
    return index.isValid() && RecordOf(index) == volume_.get();
}

void CFilesTreeModel::Changed(Node& node) {
    const QModelIndex i = IndexOfNode(&node);
    if (i.isValid()) emit dataChanged(i, i, {Qt::CheckStateRole});
}

void CFilesTreeModel::ToggleCheck(const QModelIndex& index) {
    Node* node = index.isValid() ? NodeOf(index) : nullptr;
    if (!node || !node->record || node->record == volume_.get()) return;
    Node* parent = node->parent && node->parent->record ? node->parent : nullptr;
    if (!node->checked) {
        node->checked = true;
        node->state = 2;
        for (Node* up = parent; up && up->record; up = up->parent) {
            up->state = 3;
            ++up->counter;
            Changed(*up);
        }
        for (auto& child : node->children) {
            child->checked = true;
            child->state = 2;
            Changed(*child);
        }
        Changed(*node);
        return;
    }
    node->checked = false;
    node->state = 1;
    for (auto& child : node->children) {
        child->checked = false;
        child->state = 1;
        Changed(*child);
    }
    Changed(*node);
    if (!parent) return;
    int delta = -1;
    if (parent->checked) {
        // A checked parent is checked no more: what stays checked below it is
        // its children still checked.
        parent->checked = false;
        for (Node* up = parent->parent; up && up->record; up = up->parent) --up->counter;
        delta = 0;
        for (const auto& child : parent->children) delta += child->checked ? 1 : 0;
    } else if (parent->counter <= 0) {
        parent->counter = 0;
    }
    for (Node* up = parent; up && up->record; up = up->parent) {
        up->counter += delta;
        if (up->counter <= 0) {
            up->counter = 0;
            up->state = 1;
        } else {
            up->state = 3;
        }
        Changed(*up);
    }
}

void CFilesTreeModel::SetAllChecked(bool checked) {
    if (!top_) return;
    if (!checked) {
        std::vector<Node*> todo{top_.get()};
        for (std::size_t k = 0; k < todo.size(); ++k) {
            Node* n = todo[k];
            const bool marked = n->checked || n->state != 1;
            n->checked = false;
            n->counter = 0;
            n->state = 1;
            if (marked) Changed(*n);
            for (auto& c : n->children) todo.push_back(c.get());
        }
        return;
    }
    const QModelIndex volume = index(0, 0);
    for (int row = 0; row < rowCount(volume); ++row) {
        const QModelIndex fixed = index(row, 0, volume);
        if (const Node* n = NodeOf(fixed); n && !n->checked) ToggleCheck(fixed);
    }
}

std::vector<CFoundObject*> CFilesTreeModel::CheckedFolders() const {
    std::vector<CFoundObject*> folders;
    if (!top_) return folders;
    std::vector<const Node*> todo{top_.get()};
    for (std::size_t k = 0; k < todo.size(); ++k) {
        const Node* n = todo[k];
        if (n->checked && !(n->parent && n->parent->checked)) {
            folders.push_back(n->record);
            continue;  // everything below comes with it
        }
        for (const auto& c : n->children) todo.push_back(c.get());
    }
    return folders;
}

Qt::ItemFlags CFilesTreeModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractItemModel::flags(index);
    if (index.isValid() && !IsVolumeNode(index)) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool CFilesTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || IsVolumeNode(index)) return false;
    ToggleCheck(index);
    return true;
}

void CFilesTreeModel::SetExpanded(const QModelIndex& index, bool expanded) {
    if (Node* node = index.isValid() ? NodeOf(index) : nullptr) {
        node->expanded = expanded;
        emit dataChanged(index, index, {Qt::DecorationRole});
    }
}

QModelIndex CFilesTreeModel::index(int row, int column, const QModelIndex& parent) const {
    Node* node = NodeOf(parent);
    if (!node || column != 0 || row < 0) return {};
    List(*node);
    if (row >= static_cast<int>(node->children.size())) return {};
    return createIndex(row, 0, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex CFilesTreeModel::parent(const QModelIndex& child) const {
    const Node* node = child.isValid() ? NodeOf(child) : nullptr;
    return node ? IndexOfNode(node->parent) : QModelIndex();
}

int CFilesTreeModel::rowCount(const QModelIndex& parent) const {
    Node* node = NodeOf(parent);
    if (!node) return 0;
    List(*node);
    return static_cast<int>(node->children.size());
}

// An expand button while any child is a folder: asked of the records
// themselves, not by listing them, and asked again only when the folder changed.
bool CFilesTreeModel::hasChildren(const QModelIndex& parent) const {
    Node* node = NodeOf(parent);
    if (!node || !tree_) return false;
    if (node == top_.get() || node->record == volume_.get()) return true;
    if (node->listed) return !node->children.empty();
    const std::uint64_t id = node->record->Id;
    return tree_->WithLock([&] {
        if (tree_->Generation() != generation_) return false;
        const std::uint64_t changes = tree_->FolderChanges(id);
        if (changes == node->changesSeen) return node->hasFolders;
        node->changesSeen = changes;
        node->hasFolders = false;
        const std::size_t count = tree_->ChildCount(id);
        for (std::size_t i = 0; i < count && !node->hasFolders; ++i) {
            const CFoundObject* child = tree_->ChildAt(id, i);
            node->hasFolders = child && child->IsFolder() && child != node->record && child->Id != id;
        }
        return node->hasFolders;
    });
}

QVariant CFilesTreeModel::data(const QModelIndex& index, int role) const {
    const Node* node = index.isValid() ? NodeOf(index) : nullptr;
    if (!node || !node->record || !tree_) return {};
    if (node->record == volume_.get()) {
        if (role == Qt::DisplayRole) return QString::fromStdString(volume_->GetName());
        if (role == Qt::DecorationRole) return FoundIcon(VolumeIconIndex(*volume_));
        return {};
    }
    CFoundObject r;
    const bool copied = tree_->WithLock([&] {
        if (tree_->Generation() != generation_ && node->record != tree_->Root() && node->record != tree_->LostFragments() &&
            node->record != tree_->LostFiles())
            return false;
        r = *node->record;
        return true;
    });
    if (!copied) return {};
    switch (role) {
    case Qt::CheckStateRole:
        return node->state == 2 ? Qt::Checked : node->state == 3 ? Qt::PartiallyChecked : Qt::Unchecked;
    case Qt::DisplayRole: return ShownName(r.Name);
    case Qt::DecorationRole: return FoundIcon(RecordIconIndex(r, node->record == tree_->Root(), node->expanded));
    case Qt::ForegroundRole:
        if (r.IsDeleted() && !CFoundTree::IsContainerNode(r)) return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
        return {};
    default: return {};
    }
}

CFilesTreeView::CFilesTreeView(CApp& app, QWidget* parent) : QTreeView(parent) {
    model_ = new CFilesTreeModel(app, this);
    setModel(model_);
    setHeaderHidden(true);
    setAccessibleName(tr("Folders"));
    setUniformRowHeights(true);
    setIconSize(QSize(16, 16));
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) { model_->SetExpanded(i, true); });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) { model_->SetExpanded(i, false); });
}

}  // namespace tl::ui
