#include "ui/main/drive_pane.h"

#include <QHeaderView>
#include <QMenu>
#include <QTreeWidgetItemIterator>

#include <map>

#include "app/app_messages.h"
#include "app/string_ids.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "storage/volume_info.h"
#include "ui/dialogs/volume_properties_dlg.h"
#include "ui/main/found_icons.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr int kVolumeRole = Qt::UserRole + 1;

CVolume* VolumeOf(const QTreeWidgetItem* item) {
    return item ? reinterpret_cast<CVolume*>(item->data(0, kVolumeRole).value<quintptr>()) : nullptr;
}

}  // namespace

CDrivePane::CDrivePane(CApp& app, QWidget* parent) : QSplitter(Qt::Vertical, parent), app_(app) {
    tree_ = new QTreeWidget(this);
    tree_->setHeaderLabel(tr("Drives"));
    tree_->setHeaderHidden(true);
    tree_->setAccessibleName(tr("Drives"));
    information_ = new QTreeWidget(this);
    information_->setColumnCount(2);
    information_->setRootIsDecorated(false);
    information_->setAccessibleName(tr("Drive information"));
    information_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    information_->setHeaderLabels({Text(app_, ids::kColumnName), QString()});
    information_->setHeaderHidden(true);
    setStretchFactor(0, 3);
    setStretchFactor(1, 2);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree_, &QTreeWidget::customContextMenuRequested, this, &CDrivePane::ShowContextMenu);
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] {
        RefreshInformation();
        emit SelectionChanged(SelectedVolume());
    });
    Rebuild();
}

void CDrivePane::Rebuild() {
    const CVolume* selected = SelectedVolume();
    CLocalComputer& computer = app_.Computer();
    tree_->clear();
    // Named in the current language, which may have changed since the computer was made.
    auto* top = new QTreeWidgetItem(tree_, {Text(app_, ids::kMyComputer)});
    top->setIcon(0, FoundIcon(kIconComputer));
    // Parents come before their children in the list; a volume whose parent
    // is not listed goes under the computer.
    std::map<const CVolume*, QTreeWidgetItem*> items;
    for (CVolume* volume : computer.Volumes().Snapshot()) {
        const auto parent = items.find(volume->GetParent());
        auto* item = new QTreeWidgetItem(parent == items.end() ? top : parent->second,
                                         {QString::fromStdString(volume->GetName())});
        item->setIcon(0, FoundIcon(VolumeIconIndex(*volume)));
        item->setData(0, kVolumeRole, QVariant::fromValue(reinterpret_cast<quintptr>(volume)));
        items[volume] = item;
    }
    tree_->expandAll();
    Select(selected);
    RefreshInformation();
}

QTreeWidgetItem* CDrivePane::ItemOf(const CVolume* volume) const {
    if (!volume) return nullptr;
    for (QTreeWidgetItemIterator it(tree_); *it; ++it)
        if (VolumeOf(*it) == volume) return *it;
    return nullptr;
}

void CDrivePane::Forget(const CVolume* volume) {
    QTreeWidgetItem* item = ItemOf(volume);
    if (!item) return;
    // Its children leave with it: the list never keeps a volume whose disk left.
    const bool wasSelected = SelectedVolume() == volume;
    delete item;
    if (wasSelected) emit SelectionChanged(SelectedVolume());
}

void CDrivePane::AddContextCommand(QAction* action) { contextCommands_.push_back(action); }

void CDrivePane::ShowContextMenu(const QPoint& at) {
    QTreeWidgetItem* item = tree_->itemAt(at);
    QMenu menu(this);
    QAction* select = menu.addAction(tr("Select"));
    select->setData(static_cast<int>(cmd::kDriveSelect));
    connect(select, &QAction::triggered, this, [this, item] {
        if (item) tree_->setCurrentItem(item);
    });
    QAction* properties = menu.addAction(tr("Properties"));
    properties->setData(static_cast<int>(cmd::kDriveProperties));
    connect(properties, &QAction::triggered, this, [this, item] {
        if (item) tree_->setCurrentItem(item);
        ShowProperties();
    });
    select->setEnabled(VolumeOf(item) != nullptr);
    properties->setEnabled(VolumeOf(item) != nullptr);
    if (!contextCommands_.isEmpty()) menu.addSeparator();
    for (QAction* command : contextCommands_) menu.addAction(command);
    menu.exec(tree_->viewport()->mapToGlobal(at));
}

void CDrivePane::ShowProperties() {
    CVolume* volume = SelectedVolume();
    if (!volume) return;
    CVolumePropertiesDlg sheet(app_, *volume, this);
    sheet.exec();
}

CVolume* CDrivePane::SelectedVolume() const { return VolumeOf(tree_->currentItem()); }

void CDrivePane::Select(const CVolume* volume) {
    if (QTreeWidgetItem* item = ItemOf(volume)) tree_->setCurrentItem(item);
}

void CDrivePane::RefreshInformation() {
    information_->clear();
    CVolume* volume = SelectedVolume();
    if (!volume) return;
    for (const auto& [label, value] : VolumeInformationRows(*volume, &app_.Languages()))
        new QTreeWidgetItem(information_, {QString::fromStdString(label), QString::fromStdString(value)});
}

}  // namespace tl::ui
