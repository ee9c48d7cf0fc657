// The explorer: the explored volume's folder tree beside the list of the
// selected folder. It follows the changes the volume's tree reports, and
// moves between tree and list as a file manager does (Enter opens a folder,
// Backspace goes up, Tab switches sides).
#pragma once

#include <QSplitter>

#include <QList>

#include <memory>
#include <vector>

class QAction;

namespace tl {
class CApp;
class CVolume;
struct CFoundObject;
}

namespace tl::ui {

class CFilesListView;
class CFilesTreeView;

class CVolumeExploreView : public QSplitter {
    Q_OBJECT
public:
    explicit CVolumeExploreView(CApp& app, QWidget* parent = nullptr);

    // Shows `volume`'s found objects (null: nothing), its "Filesystem" root selected.
    void ExploreVolume(std::shared_ptr<CVolume> volume);
    CVolume* Volume() const;
    // The explored volume, held while it is shown (for work that must keep it).
    const std::shared_ptr<CVolume>& SharedVolume() const;
    // Fills the tree and the list again (the view filter changed).
    void Refill();
    // The list shows the search's results; ShowFolder brings the selected
    // folder's content back.
    void ShowResults(std::vector<CFoundObject*> results);
    void ShowFolder() { ShowSelectedFolder(); }
    // A kFoundTreeChanged notification.
    void TreeChanged(std::uint64_t wparam, std::int64_t lparam);
    // Sorts the rows that came into their places and draws the rows again,
    // for objects whose records changed in place.
    void Repaint();

    // What "Recover..." takes: the checked objects, else the selected rows,
    // else the folder selected in the tree.
    std::vector<CFoundObject*> FilesToRecover() const;
    bool HasFilesToRecover() const;
    // The selected rows' objects, in row order.
    std::vector<CFoundObject*> SelectedFiles() const;
    // Whether SelectedFiles has any, without listing them.
    bool HasSelectedFiles() const;
    // The found object of the list's current row (not a fixed node), or null.
    CFoundObject* CurrentFile() const;
    // The commands of the list's and of the tree's context menus.
    void SetContextCommands(QList<QAction*> commands) { contextCommands_ = std::move(commands); }
    void SetTreeContextCommands(QList<QAction*> commands) { treeCommands_ = std::move(commands); }
    // "Check All" / "Uncheck All" of the side whose context menu was opened last.
    void SetAllChecked(bool checked);

    CFilesTreeView* TreeView() const { return tree_; }
    CFilesListView* ListView() const { return list_; }

signals:
    // The selection or the check marks changed: the file commands follow.
    void FilesChanged();
    // Enter or a double click on a file row.
    void FileActivated();

private:
    void ShowSelectedFolder();
    void OpenRow(CFoundObject* record);
    void GoUp();
    bool IsBelow(const CFoundObject& record, const CFoundObject& folder) const;

    CApp& app_;
    CFilesTreeView* tree_;
    CFilesListView* list_;
    QList<QAction*> contextCommands_;
    QList<QAction*> treeCommands_;
    bool menuOfTree_ = false;
};

}  // namespace tl::ui
