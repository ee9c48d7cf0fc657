// The list of a folder's found objects: the folder's children (as the view
// filter lets them through) in the order of the shared sort settings, as an
// array of record pointers. Texts and icons are made when a row is drawn,
// from a copy of the record taken under its tree's lock; nothing else of the
// records is kept.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>

#include <memory>
#include <unordered_set>
#include <vector>

#include "ui/explorer/found_rows.h"

namespace tl {
class CApp;
class CFoundTree;
class CVolume;
}

namespace tl::ui {

class CFilesListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CFilesListModel(CApp& app, QObject* parent = nullptr);

    // Shows the children of `folder` (a record of `volume`'s tree, or the
    // volume's own node: then `rows` are its fixed nodes). `volume` is held
    // while it is shown.
    void ShowFolder(std::shared_ptr<CVolume> volume, CFoundObject* folder, std::vector<CFoundObject*> fixedRows = {});
    // Shows the search's results, with the column of their folders.
    void ShowResults(std::shared_ptr<CVolume> volume, std::vector<CFoundObject*> results);
    bool ShowsResults() const { return results_; }
    // Empties the list (the tree it showed was cleared, or is gone).
    void Clear();
    // The folder's children changed: the rows that came are added and the
    // rows sorted again; when some left, the list is filled again.
    void FolderChanged(std::uint64_t folderId, std::uint64_t generation, unsigned codes);
    // Puts the rows that came since the last sort in their places.
    void Refresh();
    // Sorts by `column`: the direction flag is shared by every column and
    // toggled by each click.
    void SortBy(int column);
    const RowOrder& Order() const { return order_; }

    CFoundObject* RecordAt(int row) const;
    const std::vector<CFoundObject*>& Rows() const { return rows_; }
    const CFoundTree* Tree() const { return tree_; }
    CVolume* Volume() const { return volume_.get(); }
    std::uint64_t FolderId() const { return folderId_; }
    // A copy of the record of `row`, taken while its tree still holds it.
    bool Copy(int row, CFoundObject& out) const;

    // Check marks of files and folders, kept across folders until the tree
    // is cleared or another volume is shown.
    std::vector<CFoundObject*> Checked() const { return {checked_.begin(), checked_.end()}; }
    bool HasChecked() const { return !checked_.empty(); }
    void SetAllChecked(bool checked);

    int rowCount(const QModelIndex& parent = {}) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    bool Accepts(const CFoundObject& record) const;
    void Fill();
    void Resort();
    void Reorder();

    CApp& app_;
    std::shared_ptr<CVolume> volume_;
    CFoundTree* tree_ = nullptr;
    std::uint64_t generation_ = 0;
    CFoundObject* folder_ = nullptr;
    std::uint64_t folderId_ = 0;
    std::vector<CFoundObject*> fixedRows_;
    std::size_t childrenSeen_ = 0;  // the folder's children already looked at
    std::vector<CFoundObject*> rows_;
    std::unordered_set<CFoundObject*> checked_;
    RowOrder order_;
    bool dirty_ = false;  // rows came after the last sort
    bool results_ = false;  // the rows are a search's results
};

class CFilesListView : public QTableView {
    Q_OBJECT
public:
    CFilesListView(CApp& app, QWidget* parent = nullptr);
    CFilesListModel* Model() const { return model_; }

signals:
    // The checked rows changed.
    void CheckedChanged();
    // Enter or a double click on a row; Backspace.
    void RowActivated(CFoundObject* record);
    void BackRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyboardSearch(const QString& search) override;

private:
    CFilesListModel* model_;
};

}  // namespace tl::ui
