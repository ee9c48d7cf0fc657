// A volume image analysed the way the programs analyse it, and a found
// file read the way recovery reads it: shared by the tests of the parsers.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"

namespace tl {

struct AnalysedImage {
    explicit AnalysedImage(const std::filesystem::path& image) {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
        v.DevicePath = image.string();
        v.QueryInformation();
        AnalysisBusy() = 1;
        v.AnalyseFileSystem();
        AnalysisBusy() = 0;
    }
    // The path fls prints for a record ("Docs/Report.txt", "Notes.txt:big").
    std::string PathOf(const CFoundObject& o) const {
        std::string path;
        for (const std::string& name : v.FoundTree().GetFolderNames(o)) path += name + "/";
        return path + o.GetName();
    }
    std::vector<CFoundObject*> Named(const std::string& path) const {
        std::vector<CFoundObject*> out;
        for (CFoundObject* o : v.FoundTree().AllRecords())
            if (o != &v && !(o->Flags & FO_VOLUME) && !o->IsFolder() && PathOf(*o) == path) out.push_back(o);
        return out;
    }
    bool LogHas(const std::string& a, const std::string& b) const {
        for (const auto& line : log.Lines())
            if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
        return false;
    }
    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
    mutable CVolume v{VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}}};
};

struct ReadResult {
    bool opened = false;
    std::string content;
    std::string problem;
};

// Reads `record` the way recovery does, in small pieces, taking the zeros
// the reader announces without reading them.
inline ReadResult ReadThroughReader(const CFoundObject& record) {
    ReadResult r;
    CFoundFileReader reader;
    r.opened = reader.Open(record);
    r.problem = reader.Problem;
    if (!r.opened) return r;
    std::vector<char> buffer(4096);
    while (r.content.size() < record.Size) {
        const std::uint64_t left = record.Size - r.content.size();
        if (const std::uint64_t zeros = std::min(reader.SparseBytesAhead(), left) / 512 * 512) {
            reader.SkipSparse(zeros);
            r.content.append(zeros, '\0');
            continue;
        }
        const std::uint64_t got = reader.ReadNext(buffer.data(), std::min<std::uint64_t>(buffer.size(), left));
        if (got == 0) break;
        r.content.append(buffer.data(), std::min(got, left));
    }
    r.problem = reader.Problem;
    return r;
}

}  // namespace tl
