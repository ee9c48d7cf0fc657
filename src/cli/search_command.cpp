#include "cli/search_command.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "app/app.h"
#include "app/text_format.h"
#include "app/find_criteria.h"
#include "app/finder.h"
#include "app/string_ids.h"
#include "cli/analyze_command.h"
#include "cli/exit_codes.h"
#include "cli/object_listing.h"
#include "recovery/target_path.h"
#include "filesystems/found_tree.h"
#include "platform/block_devices.h"
#include "platform/notify.h"
#include "platform/text.h"
#include "platform/time.h"
#include "storage/volume.h"

namespace tl::cli {
namespace {

struct Options : Selection {
    std::string source;
    std::string format = "text";
};

}  // namespace

FindCriteria CriteriaOf(const Selection& o) {
    FindCriteria c;
    c.SetPattern(o.name);
    c.DeletedOnly = o.deletedOnly ? 1 : 0;
    c.FilesOnly = o.filesOnly ? 1 : 0;
    const auto size = [&](std::int32_t compare, std::uint64_t bytes) {
        c.SetSize(FindCriteria::kSpecifiedSize, 0, FindCriteria::kUnitB, compare);  // files only, as the bar does
        c.SizeBytes = bytes;  // in bytes, beyond the 2^31 the bar's number field holds
    };
    if (o.sizeLess) size(FindCriteria::kLess, *o.sizeLess);
    if (o.sizeGreater) size(FindCriteria::kGreater, *o.sizeGreater);
    if (o.sizeEqual) size(FindCriteria::kEqual, *o.sizeEqual);
    if (o.sinceDays) {
        constexpr platform::FileTime kDay = 24ull * 3600 * platform::kFileTimeTicksPerSecond;
        const platform::FileTime now = platform::Now();
        const platform::FileTime back = static_cast<platform::FileTime>(*o.sinceDays) * kDay;
        // Up to no end: a file dated a little ahead of this clock is still "since".
        c.SetDates(FindCriteria::kDateRange, now, now > back ? now - back : 0, ~platform::FileTime{0});
    }
    return c;
}

namespace {

int Run(CApp& app, const Options& o) {
    const std::vector<CVolume*> volumes = AnalyseSource(app, o.source);
    if (volumes.empty()) return kExitFailure;
    CFinder finder(&app.Log(), &app.Languages());
    TreeCounts counts;
    for (std::size_t index = 0; index < volumes.size(); ++index) {
        CVolume* v = volumes[index];
        CFoundTree& tree = v->FoundTree();
        finder.Criteria() = CriteriaOf(o);
        // One "No files found" for the whole source, said below.
        if (!finder.Start(tree, false)) return kExitFailure;
        while (!finder.Wait(1000)) {
        }
        if (o.format == "text") std::cout << EscapeControls(v->GetName()) << "  (" << EscapeControls(v->GetFileSystemName()) << ")\n";
        const std::string volumeName = v->GetName();
        for (CFoundObject* match : finder.Results()) {
            const CFoundObject r = tree.Snapshot(*match);
            r.IsFolder() ? ++counts.folders : ++counts.files;
            if (r.IsDeleted()) ++counts.deleted;
            if (o.format == "json") PrintJsonLine(*v, volumeName, r, index + 1);
            else if (o.format == "tsv") PrintTsvLine(tree, r);
            else PrintTextLine(r, RecoveryPath(tree, r), 2);
        }
    }
    const std::uint64_t found = counts.folders + counts.files;
    if (o.format == "text")
        std::printf("\n%llu found: %llu folder(s), %llu file(s), %llu deleted\n", static_cast<unsigned long long>(found),
                    static_cast<unsigned long long>(counts.folders), static_cast<unsigned long long>(counts.files),
                    static_cast<unsigned long long>(counts.deleted));
    if (found == 0)
        platform::ShowMessageBox(0, app.GetString(ids::kNoFilesFound), app.GetString(ids::kSearch), platform::kMbOk);
    return kExitOk;
}

}  // namespace

SearchCommand AddSearchCommand(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* search = cli.add_subcommand("search", "Find live and deleted files by name, size and date in an image or "
                                                "block device");
    search->add_option("SOURCE", o->source, "An image file or a block device")->required();
    search->add_option("--name", o->name, "Name pattern: * any run of characters, ? one character; case is ignored")
        ->required()
        ->check([](const std::string& pattern) {
            return platform::Utf8ToUtf16(pattern).size() > FindCriteria::kPatternUnits
                       ? std::string("the pattern holds at most 2048 UTF-16 units")
                       : std::string();
        });
    search->add_option("--format", o->format, "text, json or tsv")->check(CLI::IsMember({"text", "json", "tsv"}));
    search->add_flag("--deleted-only", o->deletedOnly, "Only deleted files and folders");
    search->add_flag("--files-only", o->filesOnly, "No folders (implied by a size test)");
    auto* lt = search->add_option("--size-lt", o->sizeLess, "Only files of fewer than N bytes (unknown sizes pass)");
    auto* gt = search->add_option("--size-gt", o->sizeGreater, "Only files of more than N bytes (unknown sizes pass)");
    auto* eq = search->add_option("--size-eq", o->sizeEqual, "Only files of exactly N bytes (unknown sizes pass)");
    lt->excludes(gt)->excludes(eq);
    gt->excludes(lt)->excludes(eq);
    eq->excludes(lt)->excludes(gt);
    search->add_option("--since", o->sinceDays, "Only objects created in the last DAYS days (24-hour days)")
        ->type_name("DAYS");
    SearchCommand command;
    command.opensDevice = [=] { return search->parsed() && platform::DeviceNumberOf(o->source).has_value(); };
    command.run = [=](CApp& app) { return search->parsed() ? Run(app, *o) : -1; };
    return command;
}

}  // namespace tl::cli
