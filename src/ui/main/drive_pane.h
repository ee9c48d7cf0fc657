// The drive pane: the computer, its disks and partitions, the loaded drive
// images and the volumes found on disks as a tree, and the information list
// of the selected volume below it. Selecting a volume makes it the one the
// commands act on. The tree holds volume addresses only while the list
// holds the volumes: a volume leaving the list takes its item with it.
#pragma once

#include <QSplitter>
#include <QTreeWidget>

#include "app/app.h"

namespace tl {
class CVolume;
}

namespace tl::ui {

class CDrivePane : public QSplitter {
    Q_OBJECT
public:
    CDrivePane(CApp& app, QWidget* parent = nullptr);

    // Builds the tree again from the volume list, keeping the selection.
    void Rebuild();
    // A volume leaves the list (message 33279): its item goes at once.
    void Forget(const CVolume* volume);
    // The information list of the selected volume, read again.
    void RefreshInformation();
    // The selected volume, or null.
    CVolume* SelectedVolume() const;
    void Select(const CVolume* volume);
    // Adds a command of the window to the tree's context menu, after
    // "Select" and "Properties".
    void AddContextCommand(QAction* action);
    // The volume properties sheet of the selected volume.
    void ShowProperties();

signals:
    void SelectionChanged(CVolume* volume);

private:
    QTreeWidgetItem* ItemOf(const CVolume* volume) const;
    void ShowContextMenu(const QPoint& at);

    CApp& app_;
    QTreeWidget* tree_;
    QTreeWidget* information_;
    QList<QAction*> contextCommands_;
};

}  // namespace tl::ui
