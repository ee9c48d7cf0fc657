// The tree of the explored volume's folders: the volume node, its
// "Filesystem" root, the lost-fragments node while it holds something and
// "Lost files". A node lists its folders (sorted by name) the first time it
// is asked, and follows the changes its tree reports for it; files are the
// list's.
#pragma once

#include <QAbstractItemModel>
#include <QTreeView>

#include <memory>
#include <unordered_map>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {
class CApp;
class CFoundTree;
class CVolume;
}

namespace tl::ui {

class CFilesTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit CFilesTreeModel(CApp& app, QObject* parent = nullptr);
    ~CFilesTreeModel() override;

    // Explores `volume` (null: nothing), held while it is shown.
    void SetVolume(std::shared_ptr<CVolume> volume);
    CVolume* Volume() const { return volume_.get(); }
    const std::shared_ptr<CVolume>& SharedVolume() const { return volume_; }
    CFoundTree* Tree() const { return tree_; }
    // The tree reported a change of the folder `folderId`.
    void FolderChanged(std::uint64_t folderId, std::uint64_t generation, unsigned codes);

    CFoundObject* RecordOf(const QModelIndex& index) const;
    bool IsVolumeNode(const QModelIndex& index) const;
    // The records shown under the volume node (its fixed nodes).
    std::vector<CFoundObject*> FixedNodes() const;
    void SetExpanded(const QModelIndex& index, bool expanded);
    // The check mark of a folder: checking one checks its listed folders and
    // makes every folder above it partly checked; unchecking returns the
    // folders above with nothing checked below them to unchecked.
    void ToggleCheck(const QModelIndex& index);
    // "Check All" checks each of the volume's fixed nodes (and so everything
    // found); "Uncheck All" clears every mark.
    void SetAllChecked(bool checked);
    // The checked folders whose parent is not checked: each brings every
    // file below it.
    std::vector<CFoundObject*> CheckedFolders() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    int columnCount(const QModelIndex& = {}) const override { return 1; }
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Node;
    Node* NodeOf(const QModelIndex& index) const;
    QModelIndex IndexOfNode(const Node* node) const;
    // The folders to show under `node`, sorted by name.
    std::vector<CFoundObject*> FoldersOf(const Node& node) const;
    void List(Node& node) const;
    void Update(Node& node);
    void Changed(Node& node);

    CApp& app_;
    std::shared_ptr<CVolume> volume_;
    CFoundTree* tree_ = nullptr;
    std::uint64_t generation_ = 0;
    std::unique_ptr<Node> top_;  // the invisible root; its one child is the volume node
    mutable std::unordered_multimap<std::uint64_t, Node*> listed_;  // folder id -> listed node
};

class CFilesTreeView : public QTreeView {
    Q_OBJECT
public:
    CFilesTreeView(CApp& app, QWidget* parent = nullptr);
    CFilesTreeModel* Model() const { return model_; }

private:
    CFilesTreeModel* model_;
};

}  // namespace tl::ui
