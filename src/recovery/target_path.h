// Where a found file is written below the destination folder. Names come
// from the disk and are hostile: each one is made a safe single path
// segment before it touches the file system, and the final path is checked
// to lie below the destination.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tl {

class CFoundTree;
struct CFoundObject;

// One path segment from a name on the disk: '/', NUL and the other control
// characters become '_'; "", "." and ".." become "_", "_." and "_.."; at
// most 255 bytes (cut at a character boundary, the extension kept).
std::string SafeSegment(std::string_view name);

// The folder chain of `record` (as far as it is known) and its name, every
// segment made safe: where recovery writes it, relative to the destination.
std::vector<std::string> RecoverySegments(const CFoundTree& tree, const CFoundObject& record);
// The same segments, each with the stored record it stands for (the
// folders of the chain, then `record` itself).
std::vector<std::pair<std::string, const CFoundObject*>> RecoveryChain(const CFoundTree& tree, const CFoundObject& record);
// The same joined with '/' ("Docs/Reports/q1.pdf", "lost_folder_17/a.txt").
std::string RecoveryPath(const CFoundTree& tree, const CFoundObject& record);

// `destination` followed by `segments`; nullopt when the result, taken
// lexically, would not lie below `destination`.
std::optional<std::filesystem::path> TargetInside(const std::filesystem::path& destination,
                                                  const std::vector<std::string>& segments);

// `path` when nothing exists there, else the first free "name (2).ext",
// "name (3).ext", ... in the same folder.
std::filesystem::path UniqueTarget(const std::filesystem::path& path);

}  // namespace tl
