// The "analyze" command: the file-system analysis of an image or block
// device (and of every volume its partition table lists), printed as a tree
// for people or as one JSON object a line.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tl {
enum class AnalysisStages : std::uint8_t;
class CApp;
class CLocalComputer;
class CVolume;
}

namespace tl::cli {

class CliSink;

struct AnalyzeCommand {
    std::function<bool()> opensDevice;
    // -1 when the command was not given; the sink carries the stage
    // notifications its progress lines are drawn from.
    std::function<int(CApp&, CliSink&)> run;
};

AnalyzeCommand AddAnalyzeCommand(CLI::App& cli);

// Where a command's analysis is kept, and whether it goes on from an
// earlier run.
struct ScanFileChoice {
    std::string file;     // the scan file; empty: the source's own in the settings folder
    bool resume = false;  // go on with the file's unfinished run
    bool keep = true;     // false: the analysis is kept in memory only
};
// Adds --session, --resume and --no-session to `command`.
void AddScanFileOptions(CLI::App& command, ScanFileChoice& choice);

// Analyses `source` (an image file or a listed block device) with `stages`,
// kept in a scan file as `keep` says, and waits for the end. Without a
// source, the scan file `keep.file` is opened again instead: its source is
// read, nothing is scanned. The volumes analysed (or loaded), empty when the
// source or the scan file could not be read (the reason on standard error).
// With `progressSink` each stage's progress is drawn on standard error.
// `ran` receives the stages that ran (a resumed run's own).
std::vector<CVolume*> RunAnalysis(CApp& app, const std::string& source, AnalysisStages stages, const ScanFileChoice& keep,
                                  CliSink* progressSink = nullptr, AnalysisStages* ran = nullptr);

// Analyses `source` (an image file or a listed block device) and every
// volume of its partition table, waiting for the end. The volumes analysed,
// empty when the source could not be read (the reason on standard error).
// With `progressSink` (the sink the engine's notifications reach), each
// stage's progress is drawn on standard error.
std::vector<CVolume*> AnalyseSource(CApp& app, const std::string& source, CliSink* progressSink = nullptr,
                                    bool sectors = false, bool freeSpaceOnly = false);

// The sector stage alone on `source`, waited for; the volume, or null when
// the source could not be read.
CVolume* ScanSourceSectorsOnly(CApp& app, const std::string& source, CliSink* progressSink);

// Prints a volume's tree for people; counts what it printed.
struct TreeCounts {
    std::uint64_t folders = 0, files = 0, deleted = 0;
};
void PrintTree(CVolume& volume, bool deletedOnly, TreeCounts& counts);

}  // namespace tl::cli
