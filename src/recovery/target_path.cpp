#include "recovery/target_path.h"

#include <system_error>

#include "filesystems/found_tree.h"

namespace tl {
namespace {

constexpr std::size_t kMaxSegmentBytes = 255;

// The length of the longest prefix of `s` of at most `n` bytes that does not
// end inside a UTF-8 sequence.
std::size_t Utf8Cut(std::string_view s, std::size_t n) {
    if (n >= s.size()) return s.size();
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace

std::string SafeSegment(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (out.empty() || out == "." || out == "..") out.insert(out.begin(), '_');
    if (out.size() > kMaxSegmentBytes) {
        // Keep a short extension, cut the stem.
        const std::size_t dot = out.rfind('.');
        const std::string ext = dot != std::string::npos && dot > 0 && out.size() - dot <= 16 ? out.substr(dot) : "";
        const std::string stem = out.substr(0, out.size() - ext.size());
        out = stem.substr(0, Utf8Cut(stem, kMaxSegmentBytes - ext.size())) + ext;
    }
    return out;
}

std::vector<std::pair<std::string, const CFoundObject*>> RecoveryChain(const CFoundTree& tree, const CFoundObject& record) {
    std::vector<std::pair<std::string, const CFoundObject*>> chain;
    for (const auto& [folder, name] : tree.GetFolderChain(record)) chain.emplace_back(SafeSegment(name), folder);
    chain.emplace_back(SafeSegment(tree.Snapshot(record).GetName()), &record);
    return chain;
}

std::vector<std::string> RecoverySegments(const CFoundTree& tree, const CFoundObject& record) {
    std::vector<std::string> segments;
    for (auto& [segment, owner] : RecoveryChain(tree, record)) segments.push_back(std::move(segment));
    return segments;
}

std::string RecoveryPath(const CFoundTree& tree, const CFoundObject& record) {
    std::string path;
    for (const std::string& segment : RecoverySegments(tree, record)) {
        if (!path.empty()) path += '/';
        path += segment;
    }
    return path;
}

std::optional<std::filesystem::path> TargetInside(const std::filesystem::path& destination,
                                                  const std::vector<std::string>& segments) {
    if (segments.empty()) return std::nullopt;
    const std::filesystem::path base = destination.lexically_normal();
    std::filesystem::path target = base;
    for (const std::string& segment : segments) {
        if (segment.empty() || segment == "." || segment == ".." || segment.find('/') != std::string::npos ||
            segment.find('\0') != std::string::npos)
            return std::nullopt;
        target /= segment;
    }
    const std::filesystem::path relative = target.lexically_normal().lexically_relative(base);
    if (relative.empty() || *relative.begin() == "..") return std::nullopt;
    return target;
}

std::filesystem::path UniqueTarget(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return path;
    const std::string stem = path.stem().string(), ext = path.extension().string();
    for (int n = 2; n < 100000; ++n) {
        std::filesystem::path candidate = path.parent_path() / (stem + " (" + std::to_string(n) + ")" + ext);
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return candidate;
    }
    return path;
}

}  // namespace tl
