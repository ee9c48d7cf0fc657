// The identity of the source an analysis reads, as a scan file keeps it: a
// disk by its size, sector size, model and serial number; an image by its
// size, time of last change and the hashes of its first and last MiB.
#pragma once

#include "session/scan_file.h"

namespace tl {

class CVolume;

// Reads what identifies `source` (an image file or a disk or partition
// opened by the program); the hashes are read through the volume.
SourceIdentity IdentifySource(CVolume& source);

}  // namespace tl
