// The process-wide counter of synthetic object identifiers: identifiers for
// records that have none on disk (placeholder folders, empty FAT files),
// for signature groups and for volumes. One counter, so no two of them meet.
// It starts at -65536 and is decremented before each use, so the first
// identifier handed out is -65537. Safe from every thread.
#pragma once

#include <cstdint>

namespace tl {

std::int64_t NextSyntheticId();

}  // namespace tl
