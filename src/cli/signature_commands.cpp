#include "cli/signature_commands.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "app/app.h"
#include "cli/exit_codes.h"
#include "platform/text.h"
#include "signatures/signature_matcher.h"

namespace tl::cli {
namespace {

int Complain(int code, const std::string& message) {
    std::fprintf(stderr, "tessa-loft-cli: %s\n", message.c_str());
    return code;
}

std::string GroupName(const SignatureDatabase& db, const FileSignature& sig) {
    const FileSignature* group = db.GroupOf(sig);
    return group ? group->Title : std::string("Unknown");
}

std::optional<std::uint32_t> ParseId(const std::string& text) {
    std::uint32_t id = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return id;
}

std::string DescribeElement(const PatternElement& e) {
    std::ostringstream out;
    out << "kind 0x" << std::hex << e.Kind << std::dec << " at offset " << e.Offset << ", length " << e.Length;
    if (e.Repeat) out << ", repeated " << e.Repeat << " more times";
    return out.str();
}

int List(CApp& app, const SignatureCommandOptions& o) {
    const auto& db = app.Signatures();
    if (o.format == "json") {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& sig : db.Signatures()) {
            array.push_back({{"id", sig->Id},
                             {"group", GroupName(db, *sig)},
                             {"title", sig->DisplayTitle()},
                             {"extensions", sig->FileExtensions},
                             {"search_enable", sig->SearchEnable != 0},
                             {"default_size_kb", sig->DefaultSize},
                             {"patterns", sig->Patterns.size()}});
        }
        std::cout << array.dump(2) << "\n";
        return kExitOk;
    }
    std::printf("%6s  %-16s  %-40s  %-24s  %-7s  %9s  %s\n", "Id", "Group", "Title", "Extensions", "Enabled",
                "Size (KB)", "Patterns");
    for (const auto& sig : db.Signatures()) {
        std::printf("%6u  %-16s  %-40s  %-24s  %-7s  %9u  %zu\n", sig->Id, GroupName(db, *sig).c_str(),
                    sig->DisplayTitle().c_str(), sig->FileExtensions.c_str(), sig->SearchEnable ? "yes" : "no",
                    sig->DefaultSize, sig->Patterns.size());
    }
    return kExitOk;
}

int Show(CApp& app, const SignatureCommandOptions& o) {
    const auto id = ParseId(o.id);
    const FileSignature* sig = id ? app.Signatures().FindById(*id) : nullptr;
    if (!sig) return Complain(kExitUsage, "no file type with the Id '" + o.id + "' (see 'signatures list')");
    std::cout << "Id:              " << sig->Id << "\n"
              << "Title:           " << sig->Title << "\n"
              << "Description:     " << sig->Description << "\n"
              << "Group:           " << GroupName(app.Signatures(), *sig) << "\n"
              << "Extensions:      " << sig->FileExtensions << "\n"
              << "Name prefix:     " << sig->Prefix << "\n"
              << "Default size:    " << sig->DefaultSize << " KB\n"
              << "Search enabled:  " << (sig->SearchEnable ? "yes" : "no") << "\n"
              << "Shown in filter: " << (sig->View ? "yes" : "no") << "\n"
              << "Search order:    " << sig->SearchOrder << "\n"
              << "Coincidence:     " << sig->Coincidence << " %\n"
              << "Last update:     " << sig->LastUpdate << "\n"
              << "Patterns:        " << sig->Patterns.size() << "\n";
    int n = 0;
    for (const auto& p : sig->Patterns) {
        ++n;
        if (p.SourceText) {
            std::cout << "  " << n << ": " << *p.SourceText << "\n";
            continue;
        }
        std::cout << "  " << n << ":";
        for (const auto& e : p.Elements) std::cout << " [" << DescribeElement(e) << "]";
        std::cout << "\n";
    }
    return kExitOk;
}

int SetEnabled(CApp& app, const SignatureCommandOptions& o, bool enable) {
    auto& db = app.Signatures();
    std::vector<FileSignature*> targets;
    if (const auto id = ParseId(o.id)) {
        if (FileSignature* sig = db.FindById(*id)) targets.push_back(sig);
    } else {
        for (const auto& sig : db.Signatures())
            if (platform::EqualsIgnoreAsciiCase(GroupName(db, *sig), o.id)) targets.push_back(sig.get());
    }
    if (targets.empty()) return Complain(kExitUsage, "no file type or group called '" + o.id + "'");
    for (FileSignature* sig : targets) sig->SearchEnable = enable ? 1 : 0;
    if (db.SaveAll() != 1) return Complain(kExitFailure, "the signature database could not be saved");
    for (const FileSignature* sig : targets)
        std::cout << sig->Id << " " << sig->DisplayTitle() << ": " << (enable ? "enabled" : "disabled") << "\n";
    return kExitOk;
}

int Match(CApp& app, const SignatureCommandOptions& o) {
    std::ifstream in(o.file, std::ios::binary);
    if (!in) return Complain(kExitFailure, "cannot open " + o.file);
    in.seekg(static_cast<std::streamoff>(o.offset));
    std::vector<std::uint8_t> block(kBlockBytes, 0);
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0));
    if (got == 0) return Complain(kExitFailure, "nothing to read at offset " + std::to_string(o.offset) + " of " + o.file);

    const auto& db = app.Signatures();
    std::vector<const FileSignature*> types;
    for (const auto& sig : db.Signatures())
        if (o.all || sig->SearchEnable) types.push_back(sig.get());
    const SignatureMatcher matcher(std::move(types));
    std::vector<std::uint32_t> hits;
    matcher.Match(block.data(), got, hits);

    if (o.format == "json") {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (std::uint32_t i : hits) {
            const FileSignature& sig = matcher.Type(i);
            array.push_back({{"id", sig.Id}, {"title", sig.DisplayTitle()}, {"group", GroupName(db, sig)}});
        }
        std::cout << array.dump(2) << "\n";
        return kExitOk;
    }
    if (hits.empty()) std::cout << "no type matches\n";
    for (std::uint32_t i : hits) {
        const FileSignature& sig = matcher.Type(i);
        std::cout << sig.Id << "  " << sig.DisplayTitle() << "  (" << GroupName(db, sig) << ")\n";
    }
    return kExitOk;
}

}  // namespace

std::function<int(CApp&)> AddSignatureCommands(CLI::App& cli) {
    auto o = std::make_shared<SignatureCommandOptions>();
    auto* sigs = cli.add_subcommand("signatures", "The file types the sector scan recognises");
    sigs->require_subcommand(1);

    auto* list = sigs->add_subcommand("list", "List every file type");
    list->add_option("--format", o->format, "text or json")->check(CLI::IsMember({"text", "json"}));
    auto* show = sigs->add_subcommand("show", "Show one file type with its patterns");
    show->add_option("ID", o->id, "Id of the type")->required();
    auto* import = sigs->add_subcommand("import", "Add or update a type from a .filesig file");
    import->add_option("FILE", o->file, "Signature file")->required();
    auto* exportCmd = sigs->add_subcommand("export", "Write a type as a .filesig file");
    exportCmd->add_option("ID", o->id, "Id of the type")->required();
    exportCmd->add_option("FILE", o->file, "Signature file to write")->required();
    auto* enable = sigs->add_subcommand("enable", "Search for a type, or every type of a group");
    enable->add_option("ID_OR_GROUP", o->id, "Id of a type, or a group name")->required();
    auto* disable = sigs->add_subcommand("disable", "Stop searching for a type, or every type of a group");
    disable->add_option("ID_OR_GROUP", o->id, "Id of a type, or a group name")->required();
    auto* match = sigs->add_subcommand("match", "Which types match the 512-byte block at an offset of a file");
    match->add_option("FILE", o->file, "Any file or image")->required();
    match->add_option("--offset", o->offset, "Byte offset of the block (default 0)");
    match->add_option("--format", o->format, "text or json")->check(CLI::IsMember({"text", "json"}));
    match->add_flag("--all", o->all, "Also test types whose search is disabled");

    return [=](CApp& app) -> int {
        if (list->parsed()) return List(app, *o);
        if (show->parsed()) return Show(app, *o);
        if (import->parsed()) return app.Signatures().ImportFile(o->file) ? kExitOk : kExitFailure;
        if (exportCmd->parsed()) {
            const auto id = ParseId(o->id);
            const FileSignature* sig = id ? app.Signatures().FindById(*id) : nullptr;
            if (!sig) return Complain(kExitUsage, "no file type with the Id '" + o->id + "'");
            std::string error;
            if (!app.Signatures().ExportFile(*sig, o->file, error)) return Complain(kExitFailure, error);
            std::cout << "wrote " << o->file << "\n";
            return kExitOk;
        }
        if (enable->parsed()) return SetEnabled(app, *o, true);
        if (disable->parsed()) return SetEnabled(app, *o, false);
        if (match->parsed()) return Match(app, *o);
        return -1;
    };
}

}  // namespace tl::cli
