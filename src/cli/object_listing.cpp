#include "cli/object_listing.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <iostream>

#include "filesystems/found_tree.h"
#include "platform/time.h"
#include "recovery/target_path.h"

namespace tl::cli {

std::string IsoTime(std::uint64_t fileTime) {
    if (fileTime == 0) return {};
    const std::time_t t = static_cast<std::time_t>(platform::ToUnix(fileTime).seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool IsListed(const CFoundTree& tree, const CFoundObject& o) {
    if (o.Flags & FO_VOLUME) return false;
    return &o != tree.Root() && &o != tree.LostFragments() && &o != tree.LostFiles();
}

void PrintJsonLine(const CFoundTree& tree, const std::string& volumeName, const CFoundObject& r) {
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
    j["created"] = time(r.CreationTime);
    j["modified"] = time(r.ModificationTime);
    j["accessed"] = time(r.AccessTime);
    j["volume"] = volumeName;
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void PrintTsvLine(const CFoundTree& tree, const CFoundObject& r) {
    std::cout << (r.IsDeleted() ? "deleted" : "live") << '\t' << (r.IsFolder() ? "folder" : "file") << '\t'
              << (r.Size == CFoundObject::kUnknownSize ? std::string("-") : std::to_string(r.Size)) << '\t'
              << IsoTime(r.ModificationTime) << '\t' << RecoveryPath(tree, r) << '\n';
}

void PrintTextLine(const CFoundObject& r, const std::string& shown, int indent) {
    const std::string size = r.IsFolder() ? "" : r.Size == CFoundObject::kUnknownSize ? "?" : std::to_string(r.Size);
    std::printf("%*s%s%s  %s%s%s\n", indent, "", shown.c_str(), r.IsFolder() ? "/" : "", size.c_str(),
                r.IsDeleted() ? "  [deleted]" : "", r.ModificationTime ? ("  " + IsoTime(r.ModificationTime)).c_str() : "");
}

}  // namespace tl::cli
