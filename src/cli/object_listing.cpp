#include "cli/object_listing.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

#include "app/text_format.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "storage/volume.h"
#include "platform/time.h"
#include "recovery/recoverability.h"
#include "recovery/target_path.h"

namespace tl::cli {

std::string IsoTime(std::uint64_t fileTime) {
    if (fileTime == 0) return {};
    return platform::FormatUtcIso8601(fileTime);
}

bool IsListed(const CFoundTree& tree, const CFoundObject& o) {
    if (o.Flags & FO_VOLUME) return false;
    return &o != tree.Root() && &o != tree.LostFragments() && &o != tree.LostFiles();
}

void PrintJsonLine(CVolume& v, const std::string& volumeName, const CFoundObject& r, std::size_t volumeIndex) {
    const CFoundTree& tree = v.FoundTree();
    const auto time = [](std::uint64_t t) { return t ? nlohmann::json(IsoTime(t)) : nlohmann::json(nullptr); };
    nlohmann::ordered_json j;
    j["id"] = static_cast<std::int64_t>(r.Id);
    j["parent_id"] = static_cast<std::int64_t>(r.ParentId);
    j["name"] = r.GetName();
    j["path"] = RecoveryPath(tree, r);
    j["size"] = r.Size == CFoundObject::kUnknownSize ? nlohmann::json(nullptr) : nlohmann::json(r.Size);
    j["data_offset"] = r.DataOffset;
    j["start_pos"] = r.StartPos;
    j["type_id"] = r.TypeId;
    j["flags"] = r.Flags;
    j["deleted"] = r.IsDeleted();
    j["folder"] = r.IsFolder();
    j["by_signature"] = (r.Flags & FO_BY_SIGNATURE) != 0;
    j["size_from_content"] = (r.Flags & FO_CONTENT_SIZE) != 0;
    j["size_estimated"] = r.HasEstimatedSize();
    j["created"] = time(r.CreationTime);
    j["modified"] = time(r.ModificationTime);
    j["accessed"] = time(r.AccessTime);
    const std::string verdict = ExplainRecoverability(v, r);
    j["verdict"] = verdict.empty() ? nlohmann::json(nullptr) : nlohmann::json(verdict);
    j["volume"] = volumeName;
    if (volumeIndex) j["volume_index"] = volumeIndex;
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

std::string NotReadReason(CVolume& v) {
    switch (v.FileSystemOutcome.load()) {
    case CVolume::FsOutcome::NotRead:
        return FormatMessageText(v.Context().texts, ids::kFileSystemNotRead, v.ProbedFileSystem);
    case CVolume::FsOutcome::NoFileSystem:
        return FormatMessageText(v.Context().texts, ids::kNoFileSystemDetected);
    default:
        return {};
    }
}

void PrintJsonVolume(CVolume& v, std::size_t volumeIndex) {
    nlohmann::ordered_json j;
    j["record"] = "volume";
    j["volume_index"] = volumeIndex;
    j["volume"] = v.GetName();
    j["offset"] = v.VolumeOffset;
    j["size"] = v.Size;
    const CVolume::FsOutcome outcome = v.FileSystemOutcome.load();
    switch (outcome) {
    case CVolume::FsOutcome::Read: j["file_system"] = v.GetFileSystemName(); break;
    case CVolume::FsOutcome::PartitionTable: j["file_system"] = "partition table"; break;
    case CVolume::FsOutcome::NotRead: j["file_system"] = v.ProbedFileSystem; break;
    default: j["file_system"] = nullptr; break;
    }
    j["read"] = outcome == CVolume::FsOutcome::Read || outcome == CVolume::FsOutcome::PartitionTable;
    const std::string why = NotReadReason(v);
    j["reason"] = why.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(why);
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void PrintTsvLine(const CFoundTree& tree, const CFoundObject& r) {
    std::cout << (r.IsDeleted() ? "deleted" : "live") << '\t' << (r.IsFolder() ? "folder" : "file") << '\t'
              << (r.Size == CFoundObject::kUnknownSize ? std::string("-") : std::to_string(r.Size)) << '\t'
              << IsoTime(r.ModificationTime) << '\t' << RecoveryPath(tree, r) << '\n';
}

void PrintTextLine(const CFoundObject& r, const std::string& shown, int indent) {
    // An estimated size is shown as one: "~" before it.
    const std::string size = r.IsFolder()                            ? ""
                             : r.Size == CFoundObject::kUnknownSize ? "?"
                             : r.HasEstimatedSize()                 ? "~" + std::to_string(r.Size)
                                                                    : std::to_string(r.Size);
    // A name from the disk reaches the terminal with its control characters escaped.
    std::printf("%*s%s%s  %s%s%s\n", indent, "", EscapeControls(shown).c_str(), r.IsFolder() ? "/" : "", size.c_str(),
                r.IsDeleted() ? "  [deleted]" : "", r.ModificationTime ? ("  " + IsoTime(r.ModificationTime)).c_str() : "");
}

}  // namespace tl::cli
