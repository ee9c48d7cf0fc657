#include "filesystems/found_tree.h"

#include <algorithm>
#include <iterator>

#include "app/app_messages.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/string_table.h"
#include "platform/notify.h"
#include "platform/text.h"
#include "signatures/signature_database.h"

namespace tl {
namespace {

// Folder chains deeper than this are treated as broken (hostile identifiers).
constexpr std::size_t kMaxFolderDepth = 4096;

// A signature group's folder is keyed by the group's 32-bit identifier
// zero-extended, apart from the synthetic ids (-65537 and down) of volumes
// and records: a group folder must never be mistaken for the volume's node
// in the tree.
std::uint64_t GroupFolderId(std::uint32_t groupId) { return groupId; }

void Notify(CFoundObject* record, unsigned code) {
    platform::PostAppMessage(0, msg::kFoundTreeChanged, reinterpret_cast<std::uintptr_t>(record), code);
}

bool IsFixedContainerId(std::uint64_t id) { return id == ID_LOST_FRAGMENTS || id == ID_LOST_FILES; }

// A folder this tree makes itself, with no data of its own. Its flags are
// exactly the given ones: the name is held without the naming flags, so
// the lists show no folder path for these folders.
std::unique_ptr<CFoundObject> MakeFolder(std::uint16_t flags, std::uint64_t id, std::uint64_t parentId,
                                         std::string name, CVolume* volume) {
    auto folder = std::make_unique<CFoundObject>();
    folder->Size = 0;
    folder->Flags = flags;
    folder->Id = id;
    folder->ParentId = parentId;
    folder->Name = std::move(name);
    folder->Volume = volume;
    return folder;
}

}  // namespace

CFoundTree::CFoundTree(CFoundObject* owner, SignatureDatabase* signatures, const CLanguages* texts)
    : owner_(owner), signatures_(signatures), texts_(texts) {
    root_ = std::make_unique<CFoundObject>();
    lostFragments_ = std::make_unique<CFoundObject>();
    lostFiles_ = std::make_unique<CFoundObject>();
    CreateFixedNodes();
}

CFoundTree::~CFoundTree() = default;

std::string CFoundTree::Text(unsigned id) const { return texts_ ? texts_->GetString(id) : std::string(BuiltinString(id)); }

// The owner's Volume is read when needed: the volume sets it after its tree
// was constructed.
CVolume* CFoundTree::OwnerVolume() const { return owner_ ? owner_->Volume : nullptr; }

const FileSignature* CFoundTree::SignatureOf(const CFoundObject& record) const {
    if (!signatures_) return nullptr;
    auto typeId = static_cast<std::uint16_t>(record.TypeId);
    return signatures_->FindForObject(typeId, record.Name);
}

void CFoundTree::CreateFixedNodes() {
    // Reset in place: the fixed nodes keep their addresses for the tree's life.
    *root_ = *MakeFolder(FO_FOLDER, 0, 0, "Filesystem", OwnerVolume());
    *lostFragments_ = *MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED, ID_LOST_FRAGMENTS, 0,
                                  Text(ids::kLostFragmentsNode), OwnerVolume());
    *lostFiles_ = *MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED, ID_LOST_FILES, 0, Text(ids::kLostFilesNode),
                              OwnerVolume());
}

void CFoundTree::Clear() {
    std::lock_guard lock(mutex_);
    byId_.clear();
    byParent_.clear();
    byOffset_.clear();
    offsetIndexOn_ = false;
    owned_.clear();
    groupFolders_.clear();
    signatureFiles_ = 0;
    ++generation_;
    try {
        CreateFixedNodes();
    } catch (...) {
    }
}

std::vector<CFoundObject*> CFoundTree::AllRecords() const {
    std::lock_guard lock(mutex_);
    std::vector<CFoundObject*> out;
    out.reserve(byId_.size());
    for (const auto& [id, record] : byId_) out.push_back(record);
    return out;
}

std::size_t CFoundTree::Count() const {
    std::lock_guard lock(mutex_);
    return byId_.size();
}

CFoundObject CFoundTree::Snapshot(const CFoundObject& record) const {
    std::lock_guard lock(mutex_);
    return record;
}

// ---------------------------------------------------------------- indexes

CFoundObject* CFoundTree::AddToIndexes(std::unique_ptr<CFoundObject> record) {
    if (!record) return nullptr;
    try {
        std::lock_guard lock(mutex_);
        CFoundObject* stored = record.get();
        owned_.push_back(std::move(record));  // owned first: nothing leaks if linking fails
        LinkLocked(*stored);
        return stored;
    } catch (...) {
        return nullptr;
    }
}

void CFoundTree::AddToIndexes(CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        auto [it, end] = byId_.equal_range(record.Id);
        for (; it != end; ++it)
            if (it->second == &record) return;  // linked already
        LinkLocked(record);
    } catch (...) {
    }
}

void CFoundTree::LinkLocked(CFoundObject& record) {
    if (!record.Volume) record.Volume = OwnerVolume();
    byId_.emplace(record.Id, &record);
    byParent_.emplace(record.ParentId, &record);
    if (offsetIndexOn_) InsertByOffsetLocked(record);
}

void CFoundTree::UnlinkParentLocked(CFoundObject& record) {
    auto [it, end] = byParent_.equal_range(record.ParentId);
    for (; it != end; ++it)
        if (it->second == &record) {
            byParent_.erase(it);
            return;
        }
    // Not under its current ParentId (changed behind the tree's back): look everywhere.
    for (it = byParent_.begin(); it != byParent_.end(); ++it)
        if (it->second == &record) {
            byParent_.erase(it);
            return;
        }
}

// Volume nodes and the folders made here (fixed nodes, placeholders, group
// folders) lie nowhere on the volume: in the offset index their DataOffset 0
// would stand for an object at the volume's first byte, refuse a file found
// there and cut the size of its neighbours.
bool CFoundTree::HasDataPosition(const CFoundObject& record) const {
    if (record.Flags & (FO_VOLUME | FO_LOST_FOLDER)) return false;
    if (&record == root_.get() || &record == lostFragments_.get() || &record == lostFiles_.get()) return false;
    if (record.IsFolder() && IsFixedContainerId(record.ParentId)) return false;
    return true;
}

void CFoundTree::InsertByOffsetLocked(CFoundObject& record) {
    if (!HasDataPosition(record)) return;
    byOffset_.emplace(record.DataOffset, &record);
    ApplySizeRuleLocked(record);
}

// A signature-found file never extends past the next object that has a
// position: its size is cut to the distance to the next greater offset.
// Sizes are only ever cut (a size the content gave that is already smaller
// stays), and records at the same offset do not cut each other. A length
// the file's own structure gave (FO_ENCLOSING) holds what is found inside
// it: a picture stored in an ISO image does not cut the image.
void CFoundTree::ApplySizeRuleLocked(CFoundObject& record) {
    const std::uint64_t offset = record.DataOffset;
    if ((record.Flags & FO_BY_SIGNATURE) && !(record.Flags & FO_ENCLOSING)) {
        const auto next = byOffset_.upper_bound(offset);
        if (next != byOffset_.end()) record.Size = std::min(record.Size, next->first - offset);
    }
    auto first = byOffset_.lower_bound(offset);
    if (first == byOffset_.begin()) return;
    const std::uint64_t previousOffset = std::prev(first)->first;
    for (auto it = byOffset_.lower_bound(previousOffset); it != first; ++it) {
        CFoundObject& previous = *it->second;
        if ((previous.Flags & FO_BY_SIGNATURE) && !(previous.Flags & FO_ENCLOSING))
            previous.Size = std::min(previous.Size, offset - previousOffset);
    }
}

void CFoundTree::SetContentSize(CFoundObject& record, std::uint64_t size, bool encloses) {
    try {
        std::lock_guard lock(mutex_);
        if (offsetIndexOn_ && !encloses) {
            const auto next = byOffset_.upper_bound(record.DataOffset);
            if (next != byOffset_.end()) size = std::min(size, next->first - record.DataOffset);
        }
        record.Size = size;
        record.Flags |= encloses ? FO_CONTENT_SIZE | FO_ENCLOSING : FO_CONTENT_SIZE;
        Notify(&record, msg::kTreeCodeSizeChanged);
    } catch (...) {
    }
}

std::uint64_t CFoundTree::EnclosingEnd(const CFoundObject& record) const {
    // Files found inside a container lie between it and the offset: the walk
    // back passes at most so many of them.
    constexpr int kMaxSteps = 4096;
    std::lock_guard lock(mutex_);
    std::uint64_t end = ~std::uint64_t{0};
    auto it = byOffset_.lower_bound(record.DataOffset);
    for (int steps = 0; steps < kMaxSteps && it != byOffset_.begin(); ++steps) {
        const CFoundObject& before = *(--it)->second;
        if ((before.Flags & FO_ENCLOSING) && before.Size > record.DataOffset - before.DataOffset)
            end = std::min(end, before.DataOffset + std::min(before.Size, ~before.DataOffset));
    }
    return end;
}

void CFoundTree::BuildOffsetIndex() {
    try {
        std::lock_guard lock(mutex_);
        offsetIndexOn_ = true;
        byOffset_.clear();
        for (const auto& [id, record] : byId_)
            if (HasDataPosition(*record)) byOffset_.emplace(record->DataOffset, record);
    } catch (...) {
    }
}

bool CFoundTree::OffsetIndexOn() const {
    std::lock_guard lock(mutex_);
    return offsetIndexOn_;
}

// ---------------------------------------------------------------- lookups

std::vector<CFoundObject*> CFoundTree::FindById(std::uint64_t id) const {
    std::vector<CFoundObject*> out;
    try {
        std::lock_guard lock(mutex_);
        auto [it, end] = byId_.equal_range(id);
        for (; it != end; ++it) out.push_back(it->second);
    } catch (...) {
    }
    return out;
}

CFoundObject* CFoundTree::FindFirstById(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

std::vector<CFoundObject*> CFoundTree::FindChildren(std::uint64_t parentId) const {
    std::vector<CFoundObject*> out;
    ListChildren(parentId, out);
    return out;
}

void CFoundTree::ListChildren(std::uint64_t parentId, std::vector<CFoundObject*>& out) const {
    try {
        std::lock_guard lock(mutex_);
        auto [it, end] = byParent_.equal_range(parentId);
        for (; it != end; ++it) out.push_back(it->second);
    } catch (...) {
    }
}

CFoundObject* CFoundTree::FindByOffset(std::uint64_t offset) const {
    std::lock_guard lock(mutex_);
    const auto it = byOffset_.find(offset);
    return it == byOffset_.end() ? nullptr : it->second;
}

CFoundObject* CFoundTree::FindAfterOffset(std::uint64_t offset) const {
    std::lock_guard lock(mutex_);
    const auto it = byOffset_.upper_bound(offset);
    return it == byOffset_.end() ? nullptr : it->second;
}

// Identifiers are not unique (a FAT file and a folder may start at the same
// cluster): a parent is the first folder with the identifier.
CFoundObject* CFoundTree::FirstFolderLocked(std::uint64_t id) const {
    auto [it, end] = byId_.equal_range(id);
    for (; it != end; ++it)
        if (it->second->IsFolder()) return it->second;
    return nullptr;
}

// ---------------------------------------------------------------- adding

CFoundObject* CFoundTree::AddObject(const CFoundObject& record) {
    try {
        auto copy = std::make_unique<CFoundObject>(record);
        std::lock_guard lock(mutex_);
        if (const FileSignature* signature = SignatureOf(*copy))
            copy->TypeId = static_cast<std::int16_t>(signature->Id & 0xFFFF);

        // Only a folder takes over a placeholder: a file with the same
        // identifier would hide the placeholder's children, which are only
        // ever listed below folders.
        CFoundObject* placeholder = nullptr;
        if (copy->IsFolder()) {
            auto [it, end] = byId_.equal_range(copy->Id);
            for (; it != end; ++it)
                if (it->second->ParentId == ID_LOST_FRAGMENTS && (it->second->Flags & FO_LOST_FOLDER)) {
                    placeholder = it->second;
                    break;
                }
        }
        if (placeholder) {
            UnlinkParentLocked(*placeholder);
            Notify(placeholder, msg::kTreeCodeLostFolderReplaced);
        }

        const CFoundObject* parent = FirstFolderLocked(copy->ParentId);
        if (!parent && copy->ParentId != 0 && copy->Id != 0 && copy->Id != root_->Id &&
            copy->ParentId != root_->Id && !IsFixedContainerId(copy->ParentId))
            CreateLostFolderLocked(*copy);

        CFoundObject* result = nullptr;
        if (placeholder) {
            // The real folder takes over the placeholder's record, so that the
            // children and every pointer handed out stay valid. The interface's
            // item stays with the record: it learns of the move from the
            // notification posted above.
            const std::uint32_t treeItem = placeholder->TreeItem;
            *placeholder = *copy;
            placeholder->TreeItem = treeItem;
            if (!placeholder->Volume) placeholder->Volume = OwnerVolume();
            byParent_.emplace(placeholder->ParentId, placeholder);
            if (offsetIndexOn_) InsertByOffsetLocked(*placeholder);
            // The placeholder's mark of deleted content is gone with its flags:
            // set it again when a child calls for it.
            auto [it, end] = byParent_.equal_range(placeholder->Id);
            for (; it != end; ++it)
                if (it->second != placeholder && (it->second->IsDeleted() || it->second->HasDeleted())) {
                    MarkHasDeletedLocked(*placeholder);
                    break;
                }
            result = placeholder;
        } else {
            result = copy.get();
            owned_.push_back(std::move(copy));
            LinkLocked(*result);
        }
        Notify(result, msg::kTreeCodeObjectAdded);
        return result;
    } catch (...) {
        return nullptr;
    }
}

CFoundObject* CFoundTree::CreateLostFolder(const CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        return CreateLostFolderLocked(record);
    } catch (...) {
        return nullptr;
    }
}

CFoundObject* CFoundTree::CreateLostFolderLocked(const CFoundObject& record) {
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(record.ParentId));
    auto folder = MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED | FO_LOST_FOLDER, record.ParentId,
                             ID_LOST_FRAGMENTS, FormatMessageText(texts_, ids::kLostFolderName, low), OwnerVolume());
    CFoundObject* stored = folder.get();
    owned_.push_back(std::move(folder));
    LinkLocked(*stored);
    Notify(stored, msg::kTreeCodeLostFolderCreated);
    return stored;
}

CFoundObject* CFoundTree::AddSignatureFile(CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        const FileSignature* signature = SignatureOf(record);

        if (CFoundObject* existing = FindByOffset(record.DataOffset)) {
            // A block that matches two types: the file found first keeps its type.
            if (!(existing->Flags & FO_BY_SIGNATURE)) {
                existing->Flags |= FO_SIGNATURE_MATCH;
                if (signature) existing->TypeId = static_cast<std::int16_t>(signature->Id & 0xFFFF);
                Notify(existing, msg::kTreeCodeSignatureMatch);
            }
            record.Flags = FO_REFUSED;
            return &record;
        }
        if (signature && signature->SearchEnable == 0) return nullptr;

        auto copy = std::make_unique<CFoundObject>(record);
        // A file of a type the database does not know goes to the "Unknown"
        // group, so that it is listed under "Lost files" like the others.
        copy->ParentId = GroupFolderId(signature ? signature->GroupId : SignatureDatabase::kUnknownGroupId);
        if (signature) copy->TypeId = static_cast<std::int16_t>(signature->Id & 0xFFFF);
        if (!(copy->Flags & FO_NAMED)) NameSignatureFile(*copy, signature);
        copy->Flags |= FO_SIGNATURE_MATCH;
        CFoundObject* stored = copy.get();
        owned_.push_back(std::move(copy));
        LinkLocked(*stored);
        EnsureGroupFolderLocked(*stored, signature);
        ++signatureFiles_;
        Notify(stored, msg::kTreeCodeSignatureFileAdded);
        return stored;
    } catch (...) {
        return nullptr;
    }
}

// The type's part of the name is its recovered-name prefix when the user set
// one, else its title. A type without extension gets no trailing dot.
void CFoundTree::NameSignatureFile(CFoundObject& record, const FileSignature* signature) const {
    const auto offset = static_cast<std::int64_t>(record.DataOffset);
    if (!signature) {
        record.SetName(FormatMessageText(texts_, ids::kLostFileName, offset));
        return;
    }
    std::string name = signature->Prefix.empty() ? signature->DisplayTitle() : signature->Prefix;
    name += '_';
    name += std::to_string(offset);
    const std::string extension = signature->GetFirstExtension();
    if (!extension.empty()) name += '.' + extension;
    record.SetName(name);
}

void CFoundTree::EnsureGroupFolder(const CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        EnsureGroupFolderLocked(record, SignatureOf(record));
    } catch (...) {
    }
}

void CFoundTree::EnsureGroupFolderLocked(const CFoundObject& record, const FileSignature* signature) {
    std::uint32_t groupId = 0;
    if (signature)
        groupId = signature->GroupId;
    else if (record.ParentId == GroupFolderId(SignatureDatabase::kUnknownGroupId))
        groupId = SignatureDatabase::kUnknownGroupId;
    else
        return;
    const std::uint64_t id = GroupFolderId(groupId);
    auto [it, end] = byId_.equal_range(id);
    for (; it != end; ++it)
        if (it->second->IsFolder() && it->second->ParentId == ID_LOST_FILES) return;

    std::string name = "Unknown";
    if (signatures_) {
        const auto& groups = signatures_->Groups();
        const auto group = groups.find(groupId);
        if (group != groups.end() && !group->second->Title.empty()) name = group->second->Title;
    }
    // Group folders are not among the owned records; they have a list of
    // their own that Clear releases as well.
    auto folder = MakeFolder(FO_FOLDER | FO_HAS_DELETED, id, ID_LOST_FILES, std::move(name), OwnerVolume());
    CFoundObject* stored = folder.get();
    groupFolders_.push_back(std::move(folder));
    LinkLocked(*stored);
}

// ---------------------------------------------------------------- walks

void CFoundTree::MarkHasDeleted(CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        MarkHasDeletedLocked(record);
    } catch (...) {
    }
}

void CFoundTree::MarkHasDeletedLocked(CFoundObject& record) {
    if (record.IsFolder()) record.Flags |= FO_HAS_DELETED;
    std::vector<const CFoundObject*> seen{&record};
    CFoundObject* folder = FirstFolderLocked(record.ParentId);
    while (folder && seen.size() < kMaxFolderDepth) {
        if (std::find(seen.begin(), seen.end(), folder) != seen.end()) return;  // a cycle of identifiers
        seen.push_back(folder);
        folder->Flags |= FO_HAS_DELETED;
        // Root and the fixed containers are the top of their hierarchies.
        if (folder == root_.get() || folder->Id == root_->Id || IsFixedContainerId(folder->Id)) return;
        folder = FirstFolderLocked(folder->ParentId);
    }
}

std::vector<std::string> CFoundTree::GetFolderNames(const CFoundObject& record, bool* belowRoot) const {
    std::vector<std::string> names;
    for (auto& [folder, name] : GetFolderChain(record, belowRoot)) names.push_back(std::move(name));
    return names;
}

std::vector<std::pair<const CFoundObject*, std::string>> CFoundTree::GetFolderChain(const CFoundObject& record,
                                                                                    bool* belowRoot) const {
    std::vector<std::pair<const CFoundObject*, std::string>> names;
    if (belowRoot) *belowRoot = false;
    try {
        std::lock_guard lock(mutex_);
        if (&record == root_.get()) {
            if (belowRoot) *belowRoot = true;
            return names;
        }
        std::vector<const CFoundObject*> chain;  // from the record's parent upwards
        bool complete = false;
        const CFoundObject* folder = FirstFolderLocked(record.ParentId);
        while (folder && chain.size() < kMaxFolderDepth) {
            if (folder == root_.get() || folder->Id == root_->Id || folder->Id == folder->ParentId) {
                complete = true;
                break;
            }
            if (static_cast<std::int64_t>(folder->Id) < 0) break;  // a fixed node: not part of the path
            if (std::find(chain.begin(), chain.end(), folder) != chain.end()) break;
            chain.push_back(folder);
            folder = FirstFolderLocked(folder->ParentId);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) names.emplace_back(*it, (*it)->GetName());
        if (belowRoot) *belowRoot = complete;
        return names;
    } catch (...) {
        return {};
    }
}

std::string CFoundTree::GetFullPath(const CFoundObject& record) const {
    bool belowRoot = false;
    const std::vector<std::string> names = GetFolderNames(record, &belowRoot);
    std::string path = belowRoot ? "\\" : "";
    for (const std::string& name : names) {
        path += name;
        path += '\\';
    }
    return path;
}

std::string CFoundTree::GetTypeName(const CFoundObject& record) const {
    std::unique_lock lock(mutex_);
    if (record.IsFolder()) return Text(ids::kFolder);
    const std::string name = record.Name;
    lock.unlock();
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "File";
    return platform::AsciiUpper(std::string_view(name).substr(dot + 1)) + " File";
}

}  // namespace tl
