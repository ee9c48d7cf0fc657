// The identity of the source an analysis reads, as a scan file keeps it: a
// disk by its size, sector size, model and serial number; an image by its
// size, time of last change and the hashes of its first and last MiB.
#pragma once

#include <string>

#include "session/scan_file.h"

namespace tl {

class CVolume;

// The path of a source made absolute and plain ("a/../card.img" from
// /home/ann is /home/ann/card.img); the path as given when it cannot be.
std::string AbsoluteSourcePath(const std::string& path);

// Reads what identifies `source` (an image file or a disk or partition
// opened by the program); the hashes are read through the volume.
SourceIdentity IdentifySource(CVolume& source);

}  // namespace tl
