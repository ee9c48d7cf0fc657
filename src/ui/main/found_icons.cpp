#include "ui/main/found_icons.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

#include <array>

#include "filesystems/found_tree.h"
#include "storage/volume.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

enum class Emblem { None, Deleted, Lost, Signature, DeletedBySignature };

struct IconSpec {
    const char* theme;
    QStyle::StandardPixmap fallback;
    Emblem emblem;
    bool grey;  // deleted folders look faded
};

constexpr std::array<IconSpec, kIconCount> kSpecs{{
    {"text-x-generic", QStyle::SP_FileIcon, Emblem::None, false},                     // 0 live file
    {"text-x-generic", QStyle::SP_FileIcon, Emblem::Deleted, false},                  // 1 deleted file
    {"folder", QStyle::SP_DirClosedIcon, Emblem::None, false},                        // 2 folder
    {"folder-open", QStyle::SP_DirOpenIcon, Emblem::None, false},                     // 3 root, open folder
    {"folder", QStyle::SP_DirClosedIcon, Emblem::Deleted, false},                     // 4 holds deleted files
    {"folder-open", QStyle::SP_DirOpenIcon, Emblem::Deleted, false},                  // 5 the same, open
    {"folder", QStyle::SP_DirClosedIcon, Emblem::Deleted, true},                      // 6 deleted folder
    {"folder-open", QStyle::SP_DirOpenIcon, Emblem::Deleted, true},                   // 7 the same, open
    {"folder", QStyle::SP_DirClosedIcon, Emblem::Lost, false},                        // 8 lost fragments
    {"folder-open", QStyle::SP_DirOpenIcon, Emblem::Lost, false},                     // 9 the same, open
    {"text-x-generic", QStyle::SP_FileIcon, Emblem::Signature, false},                // 10 live, by signature
    {"text-x-generic", QStyle::SP_FileIcon, Emblem::DeletedBySignature, false},       // 11 found by signature
    {"computer", QStyle::SP_ComputerIcon, Emblem::None, false},                       // 12 the computer
    {"folder-saved-search", QStyle::SP_DirLinkIcon, Emblem::None, false},             // 13 lost files
    {"drive-harddisk", QStyle::SP_DriveHDIcon, Emblem::None, false},                  // 14 disk
    {"drive-multidisk", QStyle::SP_DriveHDIcon, Emblem::None, false},                 // 15 partition
    {"drive-multidisk", QStyle::SP_DriveHDIcon, Emblem::None, false},                 // 16 region of a disk
    {"media-optical", QStyle::SP_DriveCDIcon, Emblem::None, false},                   // 17 image
    {"drive-multidisk", QStyle::SP_DriveNetIcon, Emblem::Lost, false},                // 18 found volume
    {"drive-removable-media", QStyle::SP_DriveFDIcon, Emblem::None, false},           // 19 removable
    {"drive-multidisk", QStyle::SP_DriveHDIcon, Emblem::Signature, false},            // 20 confirmed partition
}};

QIcon EmblemIcon(Emblem emblem) {
    switch (emblem) {
    case Emblem::Deleted: return ThemeIcon("edit-delete", QStyle::SP_DialogDiscardButton);
    case Emblem::Lost: return ThemeIcon("dialog-question", QStyle::SP_MessageBoxQuestion);
    case Emblem::Signature:
    case Emblem::DeletedBySignature: return ThemeIcon("edit-find", QStyle::SP_FileDialogContentsView);
    case Emblem::None: break;
    }
    return {};
}

// The theme's picture at `size` with the emblem over its lower right quarter.
QPixmap Compose(const IconSpec& spec, int size) {
    QPixmap base = ThemeIcon(spec.theme, spec.fallback).pixmap(size, size);
    if (base.isNull()) return base;
    if (spec.grey) base = QPixmap::fromImage(GreyCopy(base.toImage()));
    if (spec.emblem == Emblem::None) return base;
    QPixmap result(base.size());
    result.setDevicePixelRatio(base.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.drawPixmap(0, 0, base);
    const int half = size / 2 + size / 8;
    const QPixmap emblem = EmblemIcon(spec.emblem).pixmap(half, half);
    painter.drawPixmap(size - half, size - half, emblem);
    if (spec.emblem == Emblem::DeletedBySignature) {
        const QPixmap deleted = EmblemIcon(Emblem::Deleted).pixmap(half, half);
        painter.drawPixmap(0, size - half, deleted);
    }
    return result;
}

}  // namespace

QIcon FoundIcon(int index) {
    static std::array<QIcon, kIconCount> cache;
    if (index < 0 || index >= kIconCount) index = kIconLiveFile;
    QIcon& icon = cache[static_cast<std::size_t>(index)];
    if (icon.isNull())
        for (const int size : {16, 24, 32, 48}) icon.addPixmap(Compose(kSpecs[static_cast<std::size_t>(index)], size));
    return icon;
}

int VolumeIconIndex(CVolume& volume) {
    switch (volume.Kind) {
    case VK_PHYSICAL: return volume.DriveType == 2 ? kIconRemovable : kIconPhysicalDisk;
    case VK_VIRTUAL: return kIconVolumeKind4;
    case VK_IMAGE: return kIconImage;
    case VK_FOUND: return kIconFoundVolume;
    case VK_PSEUDO: return kIconComputer;
    default: break;
    }
    if (volume.DriveType == 2) return kIconRemovable;
    // The record's flags change under the tree's lock: read a copy.
    const CFoundObject record = volume.FoundTree().Snapshot(volume);
    return (record.Flags & FO_SIGNATURE_MATCH) ? kIconSignatureVolume : kIconLogicalVolume;
}

}  // namespace tl::ui
