#include "ui/main/legend_pane.h"

#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <utility>

#include "app/string_ids.h"
#include "ui/main/found_icons.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr std::pair<int, unsigned> kEntries[] = {
    {kIconLiveFile, ids::kLegendLiveFile},
    {kIconDeletedFile, ids::kLegendDeletedFile},
    {kIconDeletedSignatureFile, ids::kLegendSignatureFile},
    {kIconFolder, ids::kLegendFolder},
    {kIconFolderWithDeleted, ids::kLegendFolderWithDeleted},
    {kIconDeletedFolder, ids::kLegendDeletedFolder},
    {kIconLostFolder, ids::kLegendLostFolder},
    {kIconPhysicalDisk, ids::kLegendDisk},
    {kIconLogicalVolume, ids::kLegendPartition},
    {kIconRemovable, ids::kLegendRemovable},
    {kIconImage, ids::kLegendImage},
    {kIconFoundVolume, ids::kLegendFoundVolume},
};

}  // namespace

CLegendPane::CLegendPane(CApp& app, QWidget* parent) : QWidget(parent), app_(app) {
    title_ = PaneTitle();
    entries_ = new QListWidget;
    // The entries flow in rows as wide as the pane; nothing to select.
    entries_->setViewMode(QListView::ListMode);
    entries_->setFlow(QListView::LeftToRight);
    entries_->setWrapping(true);
    entries_->setResizeMode(QListView::Adjust);
    entries_->setSelectionMode(QAbstractItemView::NoSelection);
    entries_->setFocusPolicy(Qt::NoFocus);
    entries_->setIconSize(QSize(16, 16));
    entries_->setSpacing(2);
    for (const auto& [icon, text] : kEntries) new QListWidgetItem(FoundIcon(icon), QString(), entries_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title_);
    layout->addWidget(entries_);
    Retranslate();
}

void CLegendPane::ShowTitle(bool shown) { title_->setVisible(shown); }

void CLegendPane::Retranslate() {
    title_->setText(Text(app_, ids::kLegend));
    setAccessibleName(title_->text());
    entries_->setAccessibleName(title_->text());
    int i = 0;
    for (const auto& entry : kEntries) entries_->item(i++)->setText(Text(app_, entry.second));
}

int CLegendPane::PreferredHeight() const {
    return title_->sizeHint().height() + 5 * (entries_->sizeHintForRow(0) + 2 * entries_->spacing()) + 8;
}

}  // namespace tl::ui
