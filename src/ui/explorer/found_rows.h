// What the found-files views show of a record: its texts, its icon, the
// order of a folder's rows and the row a typed letter jumps to. The views
// read records only through copies taken under the tree's lock.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {
class CApp;
class CFoundTree;
}

namespace tl::ui {

// A name or path read from a disk as the views show it, on one line: its
// control characters (a line break, a tab, an escape) and the bidirectional
// overrides and isolates that would make "gpj.exe" read as "exe.jpg" become
// U+FFFD. Right-to-left text and marks stay as they are.
QString ShownName(const std::string& name);

// The columns of the folder list; the search results add kColumnFolder.
enum FoundColumn : int { kColumnName = 0, kColumnSize, kColumnType, kColumnDate, kColumnFolder, kColumnCount };

// The size column: empty for folders, "unknown", or the size by integer
// division in GB, MB or KB (1024 bytes and less as they are).
QString SizeText(const CFoundObject& record, const CApp& app);
// A file time (100 ns since 1601, UTC) in the user's short date and time,
// local; empty for 0.
QString FileTimeText(std::uint64_t fileTime);
// The icon index of a row (see found_icons.h): `record` is a copy, `isRoot`
// tells whether it is the tree's "Filesystem" root; `expanded` for tree items.
int RecordIconIndex(const CFoundObject& record, bool isRoot, bool expanded = false);

// How a folder's rows are ordered: by one column, the direction flag that
// all columns share, and folders before files.
struct RowOrder {
    int column = kColumnName;
    bool descending = false;
    bool foldersFirst = true;
};
// Sorts `rows` (records of `tree`) in `order`. The keys are copied under
// the tree's lock first, so the records may change meanwhile.
void SortRows(std::vector<CFoundObject*>& rows, const CFoundTree& tree, const RowOrder& order);

// The row a typed character jumps to: the first row after `current`
// (wrapping round) whose name starts with `typed`, letters without regard
// to case; -1 when none.
int TypeAheadRow(const std::vector<CFoundObject*>& rows, const CFoundTree& tree, int current, QChar typed);

}  // namespace tl::ui
