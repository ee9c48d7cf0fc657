// How the command line prints found objects, one line each: for people (the
// line of the analysis tree), as JSON (one object a line) or as tab-separated
// fields. "analyze" prints every object this way, "search" its matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tl {
class CFoundTree;
class CVolume;
struct CFoundObject;
}  // namespace tl

namespace tl::cli {

// "2024-03-01T08:00:00Z"; empty for an unknown time (0).
std::string IsoTime(std::uint64_t fileTime);
// False for the nodes that only hold found objects (root, fixed nodes, volumes).
bool IsListed(const CFoundTree& tree, const CFoundObject& o);

// `r` is a copy of a record of `v`'s tree (taken under its lock); a deleted
// file carries the verdict on its recovery.
// `volumeIndex` counts the source's volumes from 1 in the order they are
// printed ("VOLUME:ID" of recover's --id); 0 leaves it out.
void PrintJsonLine(CVolume& v, const std::string& volumeName, const CFoundObject& r, std::size_t volumeIndex = 0);
// One line for a volume: its place, its file system and whether it was read.
void PrintJsonVolume(CVolume& v, std::size_t volumeIndex);
// Why the file system of `v` was not read ("ext4 volume: its file system is
// not read; ..."), or "" when it was (or holds a partition table).
std::string NotReadReason(CVolume& v);
void PrintTsvLine(const CFoundTree& tree, const CFoundObject& r);
// "<shown>[/]  <size>  [deleted]  <modified>" after `indent` blanks.
void PrintTextLine(const CFoundObject& r, const std::string& shown, int indent);

}  // namespace tl::cli
