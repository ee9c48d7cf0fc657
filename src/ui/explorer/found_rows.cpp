#include "ui/explorer/found_rows.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <utility>

#include "app/app.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "ui/main/found_icons.h"

namespace tl::ui {

QString SizeText(const CFoundObject& record, const CApp& app) {
    if (record.IsFolder()) return {};
    if (record.Size == CFoundObject::kUnknownSize) return QString::fromStdString(app.GetString(ids::kUnknown));
    // Signed, as the size is compared: an absurd size shows as it is.
    const auto s = static_cast<std::int64_t>(record.Size);
    if (s > 0x40000000) return QStringLiteral("%1 GB").arg(s / 0x40000000);
    if (s > 0x100000) return QStringLiteral("%1 MB").arg(s / 0x100000);
    if (s <= 1024) return QString::number(s);
    return QStringLiteral("%1 KB").arg(s / 1024);
}

QString FileTimeText(std::uint64_t fileTime) {
    if (fileTime == 0) return {};
    // 100 ns units from 1601 to 1970.
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
    constexpr std::int64_t kMaxMs = 253402300799999;  // the end of year 9999
    const std::int64_t ms =
        fileTime >= kUnixEpoch ? static_cast<std::int64_t>((fileTime - kUnixEpoch) / 10000)
                               : -static_cast<std::int64_t>((kUnixEpoch - fileTime) / 10000);
    if (ms > kMaxMs) return {};
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toLocalTime();
    const QLocale locale;
    return locale.toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(local.time(), QLocale::ShortFormat);
}

int RecordIconIndex(const CFoundObject& record, bool isRoot, bool expanded) {
    if (!record.IsFolder()) {
        const int icon = record.IsDeleted() ? kIconDeletedFile : kIconLiveFile;
        return (record.Flags & FO_SIGNATURE_MATCH) ? icon + kIconSignatureFile : icon;
    }
    if (isRoot) return kIconFileSystemRoot;
    const int open = expanded ? 1 : 0;
    if (record.ParentId == ID_LOST_FILES) return kIconDeletedFolder;  // a signature group: never opened
    if (record.ParentId == ID_LOST_FRAGMENTS || record.Id == ID_LOST_FRAGMENTS) return kIconLostFolder + open;
    if (record.IsDeleted()) return kIconDeletedFolder + open;
    if (record.HasDeleted()) return kIconFolderWithDeleted + open;
    return kIconFolder + open;
}

QString ShownName(const std::string& name) {
    QString text = QString::fromStdString(name);
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029;
        const bool bidiOverride = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        if (control || bidiOverride) c = QChar::ReplacementCharacter;
    }
    return text;
}

namespace {

// The key of one row in the sorted column.
struct Keyed {
    CFoundObject* record;
    bool folder;
    std::int64_t number;  // size or creation time
    QString text;         // name, type or folder path
};

}  // namespace

void SortRows(std::vector<CFoundObject*>& rows, const CFoundTree& tree, const RowOrder& order) {
    std::vector<Keyed> keyed;
    keyed.reserve(rows.size());
    tree.WithLock([&] {
        for (CFoundObject* r : rows) {
            Keyed k{r, r->IsFolder(), 0, {}};
            switch (order.column) {
            case kColumnSize: k.number = static_cast<std::int64_t>(r->Size); break;
            case kColumnDate: k.number = static_cast<std::int64_t>(r->CreationTime); break;
            case kColumnType: k.text = QString::fromStdString(tree.GetTypeName(*r)); break;
            case kColumnFolder: k.text = QString::fromStdString(tree.GetFullPath(*r)); break;
            default: k.text = QString::fromStdString(r->Name); break;
            }
            // Folded once here, the texts compare as plain code units below:
            // a comparison without case would fold both at every step.
            if (!k.text.isEmpty()) k.text = std::move(k.text).toCaseFolded();
            keyed.push_back(std::move(k));
        }
    });
    const bool numeric = order.column == kColumnSize || order.column == kColumnDate;
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        if (order.foldersFirst && a.folder != b.folder) return a.folder;
        // Numbers: the larger first while the flag is clear. Texts: A to Z.
        if (numeric) return order.descending ? a.number < b.number : a.number > b.number;
        const int c = a.text.compare(b.text, Qt::CaseSensitive);
        return order.descending ? c > 0 : c < 0;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) rows[i] = keyed[i].record;
}

int TypeAheadRow(const std::vector<CFoundObject*>& rows, const CFoundTree& tree, int current, QChar typed) {
    const int n = static_cast<int>(rows.size());
    if (n == 0) return -1;
    const QChar wanted = typed.toCaseFolded();
    return tree.WithLock([&] {
        for (int step = 1; step <= n; ++step) {
            const int row = ((current < 0 ? -1 : current) + step) % n;
            const QString name = QString::fromStdString(rows[static_cast<std::size_t>(row)]->Name);
            if (!name.isEmpty() && name.front().toCaseFolded() == wanted) return row;
        }
        return -1;
    });
}

}  // namespace tl::ui
