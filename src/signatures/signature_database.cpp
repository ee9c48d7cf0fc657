#include "signatures/signature_database.h"

#include <charconv>

#include "app/event_log.h"
#include "app/ini_file.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/string_table.h"
#include "app/text_format.h"
#include "filesystems/synthetic_ids.h"
#include "platform/files.h"
#include "platform/notify.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr std::string_view kDwordNames[] = {"InternalProcessing", "SearchEnable", "ShowFilesThisType", "Enable",
                                            "View",               "DefaultSize",  "SearchOrder"};
constexpr std::string_view kStringNames[] = {"Title", "Description", "FileExtensions", "Prefix", "Group", "LastUpdate"};

std::optional<std::uint32_t> ParseDword(std::string_view s) {
    int base = 10;
    if (s.starts_with("0x") || s.starts_with("0X")) {
        s.remove_prefix(2);
        base = 16;
    }
    std::uint32_t v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace

SignatureDatabase::SignatureDatabase(platform::SettingsStore& store, std::string root, const CLanguages* texts,
                                     CEventLog* log)
    : store_(store), root_(std::move(root)), texts_(texts), log_(log) {}

std::string SignatureDatabase::Text(unsigned id) const {
    return texts_ ? texts_->GetString(id) : std::string(BuiltinString(id));
}

template <class... Args>
std::string SignatureDatabase::Format(unsigned id, const Args&... args) const {
    return FormatMessageText(texts_, id, args...);
}

int SignatureDatabase::Load() {
    const std::string key = SignaturesKey();
    // Subkeys are enumerated by index below 32767, names of up to 255 characters.
    constexpr std::size_t kMaxKeys = 32767;
    std::size_t index = 0;
    for (const auto& name : store_.SubKeys(key)) {
        if (index++ >= kMaxKeys) break;
        if (name.size() > 255) continue;
        FileSignature sig;
        sig.LoadFromKey(store_, key, name);
        AddSignature(std::move(sig));
    }
    RebuildGroups();
    RebuildExtensions();
    if (log_) log_->LogInfo(Format(ids::kSignaturesLoaded, static_cast<int>(signatures_.size()),
                                   static_cast<int>(groups_.size())));
    return 0;
}

int SignatureDatabase::SaveAll() {
    platform::SettingsStore::Batch batch(store_);
    int result = 1;
    for (const auto& sig : signatures_) result = sig->SaveToStore(store_, root_) ? 1 : 0;
    return result;
}

std::vector<std::filesystem::path> SignatureDatabase::FirstSetFiles() {
    return {platform::ExecutableFolder() / "data" / "signatures.ini",
            platform::InstalledDataFolder() / "signatures.ini"};
}

int SignatureDatabase::InstallFirstSet(const std::filesystem::path& setFile) {
    if (store_.KeyExists(SignaturesKey())) return 0;
    const auto bytes = platform::ReadWholeFile(setFile);
    const auto text = bytes ? IniFile::DecodeText(*bytes) : std::nullopt;
    if (!text) {
        if (log_) log_->LogWarning(Format(ids::kFirstSetMissing, setFile.string()));
        return 0;
    }
    const IniFile ini = IniFile::Parse(*text);
    platform::SettingsStore::Batch batch(store_);
    int written = 0;
    for (const auto& section : ini.SectionNames()) {
        const auto id = ParseDword(section);
        if (!id) continue;
        const std::string key = SignaturesKey() + "\\" + SignatureKeyName(*id);
        store_.CreateKey(key);
        for (auto name : kDwordNames)
            if (auto v = ini.Get(section, name); v && ParseDword(*v)) store_.SetDword(key, name, *ParseDword(*v));
        for (auto name : kStringNames)
            if (auto v = ini.Get(section, name)) store_.SetString(key, name, *v);
        for (int n = 1; n <= FileSignature::kMaxPatternTexts; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "Signature%.2d", n);
            const auto v = ini.Get(section, name);
            if (!v) break;
            store_.SetString(key, name, *v);
        }
        ++written;
    }
    if (log_) log_->LogInfo(Format(ids::kFirstSetInstalled, setFile.string(), written));
    return written;
}

FileSignature* SignatureDatabase::FindById(std::uint32_t id) {
    for (auto& sig : signatures_)
        if (sig->Id == id) return sig.get();
    return nullptr;
}

bool SignatureDatabase::ChangeId(FileSignature& type, std::uint32_t id) {
    if (type.Id == id) return true;
    if (FindById(id)) return false;
    store_.DeleteKey(SignaturesKey() + "\\" + SignatureKeyName(type.Id));
    type.Id = id;
    return true;
}

const FileSignature* SignatureDatabase::FindById(std::uint32_t id) const {
    return const_cast<SignatureDatabase*>(this)->FindById(id);
}

const FileSignature* SignatureDatabase::FindForObject(std::uint16_t& typeId, std::string_view name) const {
    if (typeId != 0) {
        if (const auto* sig = FindById(typeId)) return sig;
    }
    if (name.empty()) return nullptr;  // no default record in this program
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return nullptr;
    std::string_view ext = name.substr(dot);
    while (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
    const auto it = extensions_.find(platform::AsciiUpper(ext));
    if (it == extensions_.end()) return nullptr;
    typeId = static_cast<std::uint16_t>(it->second->Id & 0xFFFF);
    return it->second;
}

FileSignature& SignatureDatabase::AddSignature(FileSignature signature) {
    signatures_.push_back(std::make_unique<FileSignature>(std::move(signature)));
    return *signatures_.back();
}

FileSignature& SignatureDatabase::MakeGroup(std::uint32_t id, std::string name, std::uint32_t value) {
    auto group = std::make_unique<FileSignature>();
    group->Id = 0;
    group->GroupId = id;
    group->IsGroup = 1;
    group->ShowFilesThisType = 1;
    group->Title = std::move(name);
    group->GroupValue = value;
    auto& slot = groups_[id];
    slot = std::move(group);
    return *slot;
}

void SignatureDatabase::RebuildGroups() {
    groups_.clear();
    std::map<std::string, std::uint32_t> byName{{"Unknown", kUnknownGroupId}};
    for (auto& sig : signatures_) {
        auto it = byName.find(sig->Group);
        if (it == byName.end()) {
            const auto id = static_cast<std::uint32_t>(NextSyntheticId() & 0xFFFFFFFF);
            it = byName.emplace(sig->Group, id).first;
            MakeGroup(id, sig->Group);
        }
        sig->GroupId = it->second;
    }
}

void SignatureDatabase::RebuildExtensions() {
    extensions_.clear();
    for (auto& sig : signatures_) {
        // Upper-case keys make the comparison case-blind; the first claim wins.
        for (const std::string_view extension : sig->ExtensionList())
            extensions_.try_emplace(platform::AsciiUpper(extension), sig.get());
    }
}

const FileSignature* SignatureDatabase::GroupOf(const FileSignature& type) const {
    const auto it = groups_.find(type.GroupId);
    return it == groups_.end() ? nullptr : it->second.get();
}

FileSignature* SignatureDatabase::ImportFile(std::string path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
    // One byte more than a signature file may hold tells an oversized file apart.
    const auto bytes = platform::ReadWholeFile(path, FileSignature::kMaxFileBytes + 1);
    if (!bytes) {
        const std::string text =
            std::filesystem::exists(path) && std::filesystem::is_regular_file(path)
                ? Format(ids::kSignatureFileRefused, path,
                         "it is longer than " + std::to_string(FileSignature::kMaxFileBytes) + " bytes")
                : Format(ids::kSignatureFileCantOpen, path);
        if (log_) log_->LogError(text);
        platform::ShowMessageBox(0, text, Text(ids::kErrorCaption), platform::kMbOk | platform::kMbIconError);
        return nullptr;
    }
    std::string error;
    auto imported = FileSignature::Deserialize(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()), error);
    if (!imported) {
        const std::string text = Format(ids::kSignatureFileRefused, path, error);
        if (log_) log_->LogError(text);
        platform::ShowMessageBox(0, text, Text(ids::kErrorCaption), platform::kMbOk | platform::kMbIconError);
        return nullptr;
    }
    imported->IsGroup = 0;  // a file describes a type, never a group
    FileSignature* record = FindById(imported->Id);
    std::string text;
    if (record) {
        record->Patterns = std::move(imported->Patterns);
        record->DefaultSize = imported->DefaultSize;
        record->Coincidence = imported->Coincidence;
        record->SearchOrder = imported->SearchOrder;
        record->Reserved24 = imported->Reserved24;
        record->Reserved28 = imported->Reserved28;
        record->Reserved32 = imported->Reserved32;
        record->Reserved44 = imported->Reserved44;
        record->Reserved52 = imported->Reserved52;
        text = Format(ids::kSignatureFileUpdated, path);
    } else {
        record = &AddSignature(std::move(*imported));
        RebuildGroups();
        RebuildExtensions();
        text = Format(ids::kSignatureFileAdded, path);
    }
    if (log_) log_->LogInfo(text);
    platform::ShowMessageBox(0, text, Text(ids::kOkCaption), platform::kMbOk | platform::kMbIconInformation);
    SaveAll();
    return record;
}

bool SignatureDatabase::ExportFile(const FileSignature& signature, const std::filesystem::path& path,
                                   std::string& error) const {
    const auto image = signature.Serialize();
    if (image.size() > FileSignature::kMaxFileBytes) {
        error = "the type's patterns need " + std::to_string(image.size()) + " bytes, more than the " +
                std::to_string(FileSignature::kMaxFileBytes) + " a signature file may hold";
        return false;
    }
    if (!platform::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()))) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}  // namespace tl
