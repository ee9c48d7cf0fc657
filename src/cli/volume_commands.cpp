#include "cli/volume_commands.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>

#include "app/app.h"
#include "app/text_format.h"
#include "cli/exit_codes.h"
#include "platform/block_devices.h"
#include "storage/gpt_partition_table.h"
#include "storage/local_computer.h"
#include "storage/volume_info.h"

namespace tl::cli {
namespace {

struct Options {
    std::string format = "text";
    std::string source;
};

bool IsConfirmed(const CVolume& v) { return (v.Flags & FO_SIGNATURE_MATCH) != 0; }

// The type of a partition of a GUID partition table; empty for others.
std::string PartitionTypeText(const PartitionEntry& entry, const CLanguages* texts) {
    if (entry.PartitionStyle != kPartitionStyleGpt) return {};
    return CGptPartitionTable::TypeText(entry.PartitionTypeGuid, texts);
}

int Drives(CApp& app, const Options& o) {
    CLocalComputer& computer = app.Computer();
    computer.Volumes().Refresh(false);
    const CLanguages* texts = &app.Languages();
    if (o.format == "json") {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (CVolume* v : computer.Volumes().Snapshot()) {
            array.push_back({{"id", static_cast<std::int64_t>(v->Id)},
                             {"kind", CategoryText(v->Kind, texts)},
                             {"name", v->GetName()},
                             {"device_path", v->GetDevicePath()},
                             {"size", v->Size},
                             {"state", StateText(v->State.load(), texts)},
                             {"file_system", v->GetFileSystemName()},
                             {"label", v->Label},
                             {"drive_type", v->DriveType}});
        }
        std::cout << array.dump(2) << "\n";
        return kExitOk;
    }
    for (CVolume* v : computer.Volumes().Snapshot()) {
        std::printf("%-9s %-32s %-16s %-28s %-10s %-8s %s\n", CategoryText(v->Kind, texts).c_str(), EscapeControls(v->GetName()).c_str(),
                    v->GetDevicePath().c_str(), v->Size ? SizeText(v->Size, texts).c_str() : "-",
                    StateText(v->State.load(), texts).c_str(), v->GetFileSystemName().c_str(), v->Label.c_str());
    }
    if (computer.Volumes().GetCount() == 0) std::printf("no drives found\n");
    return kExitOk;
}

int Info(CApp& app, const Options& o) {
    CLocalComputer& computer = app.Computer();
    const CLanguages* texts = &app.Languages();
    CVolume* volume = OpenSourceVolume(app, o.source);
    if (!volume) return kExitFailure;
    const auto rows = VolumeInformationRows(*volume, texts);
    std::vector<CVolume*> found;
    for (CVolume* v : computer.Volumes().Snapshot())
        if (v != volume && v->Parent == volume && (v->Kind == VK_FOUND || v->Kind == VK_LOGICAL)) found.push_back(v);

    if (o.format == "json") {
        nlohmann::ordered_json j;
        j["name"] = volume->GetName();
        j["kind"] = CategoryText(volume->Kind, texts);
        j["device_path"] = volume->GetDevicePath();
        j["size"] = volume->Size;
        j["file_system"] = volume->GetFileSystemName();
        j["type_code"] = volume->FileSystem().TypeCode;
        j["total_sectors"] = volume->TotalSectors;
        j["sectors_per_cluster"] = volume->SectorsPerCluster;
        j["serial"] = volume->SerialNumber ? SerialText(volume->SerialNumberHigh, volume->SerialNumber) : std::string();
        j["label"] = volume->Label;
        j["rows"] = nlohmann::ordered_json::array();
        for (const auto& [label, value] : rows) j["rows"].push_back({label, value});
        j["found_volumes"] = nlohmann::ordered_json::array();
        for (CVolume* v : found) {
            const std::uint64_t offset = v->Kind == VK_FOUND ? v->VolumeOffset : v->Layout.Entries[0].StartingOffset;
            const PartitionEntry& entry = v->Layout.Entries[0];
            j["found_volumes"].push_back({{"name", v->GetName()},
                                          {"offset", offset},
                                          {"size", v->Size},
                                          {"type_code", v->FileSystem().TypeCode},
                                          {"file_system", v->GetFileSystemName()},
                                          {"confirmed", IsConfirmed(*v)},
                                          {"partition_number", entry.PartitionNumber},
                                          {"partition_name", entry.Name},
                                          {"partition_type", PartitionTypeText(entry, texts)}});
        }
        std::cout << j.dump(2) << "\n";
        return kExitOk;
    }
    PrintVolumeInformation(app, *volume);
    return kExitOk;
}

}  // namespace

CVolume* OpenSourceVolume(CApp& app, const std::string& source) {
    std::string error;
    CVolume* volume = app.Computer().OpenSource(source, error);
    if (!volume)
        std::fprintf(stderr, "tessa-loft-cli: cannot open %s: %s\n", EscapeControls(source).c_str(),
                     EscapeControls(error).c_str());
    return volume;
}

void PrintVolumeInformation(CApp& app, CVolume& volume) {
    const CLanguages* texts = &app.Languages();
    for (const auto& [label, value] : VolumeInformationRows(volume, texts)) {
        if (label.empty()) std::printf("\n");
        else std::printf("%-20s %s\n", label.c_str(), EscapeControls(value).c_str());
    }
    bool first = true;
    for (CVolume* v : app.Computer().Volumes().Snapshot()) {
        if (v == &volume || v->Parent != &volume || (v->Kind != VK_FOUND && v->Kind != VK_LOGICAL)) continue;
        if (first) std::printf("\nFound volumes:\n");
        first = false;
        const std::uint64_t offset = v->Kind == VK_FOUND ? v->VolumeOffset : v->Layout.Entries[0].StartingOffset;
        const std::string type = PartitionTypeText(v->Layout.Entries[0], texts);
        std::printf("  %-28s offset %-14llu %-8s %s%s%s\n", EscapeControls(v->GetName()).c_str(), static_cast<unsigned long long>(offset),
                    v->GetFileSystemName().c_str(), v->Size ? SizeText(v->Size, texts).c_str() : "",
                    type.empty() ? "" : "  ", type.c_str());
    }
}

VolumeCommands AddVolumeCommands(CLI::App& cli) {
    auto o = std::make_shared<Options>();
    auto* drives = cli.add_subcommand("drives", "List the disks, partitions and loaded images");
    drives->add_option("--format", o->format, "text or json")->check(CLI::IsMember({"text", "json"}));
    auto* info = cli.add_subcommand("info", "What a drive image or block device holds");
    info->add_option("SOURCE", o->source, "An image file or a block device (/dev/sdb)")->required();
    info->add_option("--format", o->format, "text or json")->check(CLI::IsMember({"text", "json"}));
    VolumeCommands commands;
    commands.opensDevice = [=] {
        return drives->parsed() || (info->parsed() && platform::DeviceNumberOf(o->source).has_value());
    };
    commands.run = [=](CApp& app) -> int {
        if (drives->parsed()) return Drives(app, *o);
        if (info->parsed()) return Info(app, *o);
        return -1;
    };
    return commands;
}

}  // namespace tl::cli
