// What an independent tool, The Sleuth Kit's fls, lists on a FAT image: the
// entries the FAT parser must find, live and deleted, to compare with.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <vector>

namespace tl::test {

struct OracleEntry {
    std::string path;  // "Docs/Reports/q1.pdf": no leading slash, '/' between names
    bool deleted = false;
    bool folder = false;
    std::uint64_t size = 0;  // the directory entry's size: 0 for folders
};

namespace fat_oracle_detail {

inline std::filesystem::path FindFls() {
    const char* env = std::getenv("PATH");
    std::string dirs = env ? env : "";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (end > start) {
            std::filesystem::path p = std::filesystem::path(dirs.substr(start, end - start)) / "fls";
            std::error_code ec;
            if (std::filesystem::is_regular_file(p, ec)) return p;
        }
        start = end + 1;
    }
    return {};
}

inline std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

// One line of `fls -r -p -l`:
//   "r/r * 843:\tDocs/Draft.txt\tMTIME\tATIME\tCTIME\tCRTIME\tSIZE\tUID\tGID"
// The first field is the name type and metadata type, '*' for a deleted
// entry, and the metadata address, perhaps followed by "(realloc)".
// False for the entries fls makes up ($MBR, $FAT1, $FAT2, $OrphanFiles and
// what it found in unallocated space) and for the volume label.
inline bool ParseLine(std::string_view line, OracleEntry& out) {
    std::vector<std::string_view> f = SplitTabs(line);
    if (f.size() < 7) return false;
    std::string_view head = f[0];
    if (head.size() < 3 || head[1] != '/') return false;
    const char nameType = head[0];
    const char metaType = head[2];
    if (nameType == 'v' || nameType == 'V' || metaType == 'v' || metaType == 'V') return false;
    const std::string_view path = f[1];
    if (path.empty() || path.front() == '$') return false;
    if (path.ends_with("(Volume Label Entry)")) return false;
    out.path = std::string(path);
    out.deleted = head.find(" * ") != std::string_view::npos;
    out.folder = nameType == 'd' || metaType == 'd';
    out.size = out.folder ? 0 : std::strtoull(std::string(f[6]).c_str(), nullptr, 10);
    return true;
}

}  // namespace fat_oracle_detail

// Every file and folder fls finds by walking the directories of the FAT
// volume in `image`, in its order (each directory's entries, then those of
// its subfolders, recursively). Deleted folders are walked too, so their
// entries are listed, deleted, under the folder's path. A deleted entry
// without a long name shows '_' for its lost first character.
// Empty with the reason in `why` when fls is not installed or fails.
inline std::vector<OracleEntry> FlsListing(const std::filesystem::path& image, std::string* why = nullptr) {
    std::vector<OracleEntry> entries;
    auto fail = [&](const std::string& reason) {
        if (why) *why = reason;
        entries.clear();
        return entries;
    };
    const std::filesystem::path fls = fat_oracle_detail::FindFls();
    if (fls.empty()) return fail("fls (The Sleuth Kit, Debian package sleuthkit) not installed");
    auto quote = [](const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    // -l prints the size; TZ fixes the printed times, which are not used.
    const std::string cmd = "TZ=UTC " + quote(fls.string()) + " -r -p -l -f fat " + quote(image.string()) + " 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return fail("cannot run " + fls.string());
    std::string line;
    std::array<char, 4096> chunk{};
    auto take = [&] {
        OracleEntry e;
        if (fat_oracle_detail::ParseLine(line, e)) entries.push_back(std::move(e));
        line.clear();
    };
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) {
        line += chunk.data();
        if (line.back() != '\n') continue;
        line.pop_back();
        take();
    }
    if (!line.empty()) take();
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("fls failed on " + image.string());
    if (why) why->clear();
    return entries;
}

}  // namespace tl::test
