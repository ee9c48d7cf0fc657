// The icons of found objects and volumes, shared by the drive pane, the
// legend and the found-files views. Each index names one kind of object; an
// icon is the desktop theme's picture of that kind, with the theme's emblem
// in its corner for what was deleted, lost or found by a signature.
#pragma once

#include <QIcon>

namespace tl {
class CVolume;
}

namespace tl::ui {

enum FoundIconIndex : int {
    kIconLiveFile = 0,
    kIconDeletedFile = 1,
    kIconFolder = 2,          // +1 expanded
    kIconFileSystemRoot = 3,  // also the expanded folder
    kIconFolderWithDeleted = 4,
    kIconDeletedFolder = 6,
    kIconLostFolder = 8,
    kIconSignatureFile = 10,
    kIconDeletedSignatureFile = 11,
    kIconComputer = 12,
    kIconLostFiles = 13,
    kIconPhysicalDisk = 14,
    kIconLogicalVolume = 15,
    kIconVolumeKind4 = 16,
    kIconImage = 17,
    kIconFoundVolume = 18,
    kIconRemovable = 19,
    kIconSignatureVolume = 20,
    kIconCount = 21,
};

// The icon of `index` (an unknown index gives the live file's).
QIcon FoundIcon(int index);

// A volume node's icon: by the volume's kind, then by its drive type.
int VolumeIconIndex(CVolume& volume);

}  // namespace tl::ui
