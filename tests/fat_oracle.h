// What an independent tool, The Sleuth Kit's fls, lists on a FAT or NTFS
// image: the entries the file-system parsers must find, live and deleted, to
// compare with.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
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
    std::uint64_t address = 0;  // fls' metadata address: the MFT record number on NTFS
    bool realloc = false;       // a deleted name whose metadata now belongs to another file
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

// NTFS metadata files: the first name of a path that fls lists but that is
// not the user's.
inline bool IsNtfsMetadata(std::string_view path) {
    const std::string_view first = path.substr(0, path.find('/'));
    for (std::string_view name : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap", "$Boot",
                                  "$BadClus", "$Secure", "$UpCase", "$Extend", "$OrphanFiles"}) {
        if (first == name || (first.starts_with(name) && first[name.size()] == ':')) return true;
    }
    return false;
}

// One line of `fls -r -p -l`:
//   "r/r * 843:\tDocs/Draft.txt\tMTIME\tATIME\tCTIME\tCRTIME\tSIZE\tUID\tGID"
// The first field is the name type and metadata type, '*' for a deleted
// entry, and the metadata address (on NTFS "RECORD-TYPE-ID", as in
// "78-128-2"), perhaps followed by "(realloc)".
// False for the volume label and for the entries fls makes up: on FAT,
// those whose path begins with '$' ($MBR, $FAT1, $FAT2, $OrphanFiles); on
// NTFS the metadata files, $Extend with what it holds, $OrphanFiles (records
// whose name was lost), and the named data streams, which fls lists as
// "file:stream" beside the file.
inline bool ParseLine(std::string_view line, bool ntfs, OracleEntry& out) {
    std::vector<std::string_view> f = SplitTabs(line);
    if (f.size() < 7) return false;
    std::string_view head = f[0];
    if (head.size() < 3 || head[1] != '/') return false;
    const char nameType = head[0];
    const char metaType = head[2];
    if (nameType == 'v' || nameType == 'V' || metaType == 'v' || metaType == 'V') return false;
    const std::string_view path = f[1];
    if (path.empty()) return false;
    if (ntfs) {
        if (IsNtfsMetadata(path)) return false;
        const std::size_t slash = path.rfind('/');
        if (path.find(':', slash == std::string_view::npos ? 0 : slash + 1) != std::string_view::npos) return false;
    } else {
        if (path.front() == '$') return false;
        if (path.ends_with("(Volume Label Entry)")) return false;
    }
    out.path = std::string(path);
    out.deleted = head.find(" * ") != std::string_view::npos;
    out.folder = nameType == 'd' || metaType == 'd';
    out.size = out.folder ? 0 : std::strtoull(std::string(f[6]).c_str(), nullptr, 10);
    const std::size_t addr = head.find_first_of("0123456789", 3);
    out.address = addr == std::string_view::npos ? 0 : std::strtoull(std::string(head.substr(addr)).c_str(), nullptr, 10);
    out.realloc = head.find("(realloc)") != std::string_view::npos;
    return true;
}

}  // namespace fat_oracle_detail

inline bool FlsInstalled() { return !fat_oracle_detail::FindFls().empty(); }

// What 'analyze' lists on a volume made by mkntfs that fls does not: the
// metadata files without an unnamed $DATA, which fls lists only by their
// named streams ("$Secure:$SDS", "$Extend/$Quota:$Q"), not as files.
inline const std::map<std::string, std::string> kNtfsFilesFlsListsOnlyByTheirStreams = {
    {"$Secure", "only its streams $SDS, $SDH, $SII"},
    {"$Extend/$ObjId", "only its index stream $O"},
    {"$Extend/$Quota", "only its index streams $O, $Q"},
    {"$Extend/$Reparse", "only its index stream $R"},
};

// Expects every path of `ours` (a map from path to a listing with a `deleted`
// member) to be one of `flsPaths` (every path fls printed), or one of
// `beyondFls` (path -> why fls does not list it), which must all be ours
// alone. A deleted entry of `oracle` that we list under another folder (a
// placeholder of its lost one) counts by its name.
template <class Listing>
void ExpectNothingBeyondFls(const std::map<std::string, Listing>& ours, const std::set<std::string>& flsPaths,
                            const std::vector<OracleEntry>& oracle, const std::map<std::string, std::string>& beyondFls) {
    std::set<std::string> deletedNames;
    for (const auto& o : oracle)
        if (o.deleted) deletedNames.insert(o.path.substr(o.path.rfind('/') + 1));
    for (const auto& [path, l] : ours) {
        if (flsPaths.count(path) || beyondFls.count(path)) continue;
        if (l.deleted && deletedNames.count(path.substr(path.rfind('/') + 1))) continue;
        ADD_FAILURE() << path << (l.deleted ? " (deleted)" : "") << " is listed, but fls does not list it";
    }
    for (const auto& [path, why] : beyondFls)
        EXPECT_TRUE(ours.count(path) && !flsPaths.count(path)) << path << " (" << why << ") should be listed by us alone";
}

// Every file and folder fls finds by walking the directories of the volume
// in `image`, of type `fsType` ("fat" or "ntfs", as fls -f names them), in
// its order (each directory's entries, then those of its subfolders,
// recursively). Deleted folders are walked too, so their entries are listed,
// deleted, under the folder's path.
// FAT: a deleted entry without a long name shows '_' for its lost first
// character.
// NTFS: a deleted file or folder is listed under the folder its $FILE_NAME
// names, so the content of a deleted folder keeps its path; a file with a
// short name is listed once, by its long name; a deleted record whose
// $FILE_NAME is gone (as when it was kept in an extension record) is an
// orphan and left out. The size is that of the unnamed $DATA.
// `offsetSectors` is where the volume begins in the image, in 512-byte sectors.
// Empty with the reason in `why` when fls is not installed or fails.
// `everyPath`, when given, gets every path fls prints, those left out of the
// entries included (metadata files, named streams, the volume label).
inline std::vector<OracleEntry> FlsListing(const std::filesystem::path& image, std::string* why = nullptr,
                                           const std::string& fsType = "fat", std::uint64_t offsetSectors = 0,
                                           std::set<std::string>* everyPath = nullptr) {
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
    const std::string cmd =
        "TZ=UTC " + quote(fls.string()) + " -r -p -l -f " + quote(fsType) + " -o " + std::to_string(offsetSectors) + " " +
        quote(image.string()) + " 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return fail("cannot run " + fls.string());
    const bool ntfs = fsType == "ntfs";
    std::string line;
    std::array<char, 4096> chunk{};
    auto take = [&] {
        OracleEntry e;
        if (fat_oracle_detail::ParseLine(line, ntfs, e)) entries.push_back(std::move(e));
        if (const auto fields = fat_oracle_detail::SplitTabs(line); everyPath && fields.size() > 1)
            everyPath->insert(std::string(fields[1]));
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

// The data streams fls lists on the NTFS volume in `image`, named and
// unnamed, live and deleted, the metadata files' too: path ("Docs/a.txt",
// "Notes.txt:big") -> the icat address of the stream ("71-128-5"). Index
// streams are left out, and so is the second listing fls gives a folder's
// stream ("Docs/.:info" beside "Docs:info"). Empty when fls fails.
inline std::map<std::string, std::string> FlsDataStreams(const std::filesystem::path& image) {
    std::map<std::string, std::string> out;
    const std::filesystem::path fls = fat_oracle_detail::FindFls();
    if (fls.empty()) return out;
    std::string quoted = "'";
    for (char c : image.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE* pipe = ::popen(("'" + fls.string() + "' -r -p -f ntfs " + quoted + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    std::string text;
    std::array<char, 4096> chunk{};
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) text.append(chunk.data(), n);
    ::pclose(pipe);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        // "r/r 71-128-5:\tNotes.txt:big", "-/r * 74-128-4:\tRemoved.txt:extra"
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 4 || line[2] != 'r') continue;
        const std::size_t digits = line.find_first_of("0123456789", 3);
        const std::size_t colon = line.rfind(':', tab);
        if (digits == std::string::npos || colon == std::string::npos || colon < digits) continue;
        const std::string address = line.substr(digits, colon - digits);
        if (address.find("-128-") == std::string::npos) continue;
        const std::string path = line.substr(tab + 1);
        if (path.find("/.:") != std::string::npos) continue;
        out[path] = address;
    }
    return out;
}

}  // namespace tl::test
