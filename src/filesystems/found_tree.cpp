#include "filesystems/found_tree.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>

#include "app/app_messages.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/string_table.h"
#include "platform/notify.h"
#include "platform/text.h"
#include "platform/time.h"
#include "signatures/signature_database.h"
#include "storage/volume.h"

namespace tl {
namespace {

// Folder chains deeper than this are treated as broken (hostile identifiers).
constexpr std::size_t kMaxFolderDepth = 4096;

// Generations are drawn from one counter, so that a generation names one
// tree between two Clears in the whole process.
std::atomic<std::uint64_t> g_nextGeneration{1};
std::uint64_t NextGeneration() { return g_nextGeneration.fetch_add(1); }

// kFoundTreeChanged's second parameter: the generation above the codes.
constexpr int kCodeBits = 16;

// A signature group's folder is keyed by the group's 32-bit identifier
// zero-extended, apart from the synthetic ids (-65537 and down) of volumes
// and records: a group folder must never be mistaken for the volume's node
// in the tree.
std::uint64_t GroupFolderId(std::uint32_t groupId) { return groupId; }

bool IsFixedContainerId(std::uint64_t id) { return id == ID_LOST_FRAGMENTS || id == ID_LOST_FILES; }

// A folder this tree makes itself, with no data of its own. Its flags are
// exactly the given ones: the name is held without the naming flags, so
// the lists show no folder path for these folders.
CFoundObject MakeFolder(std::uint16_t flags, std::uint64_t id, std::uint64_t parentId, std::string name,
                        CVolume* volume) {
    CFoundObject folder;
    folder.Size = 0;
    folder.Flags = flags;
    folder.Id = id;
    folder.ParentId = parentId;
    folder.Name = std::move(name);
    folder.Volume = volume;
    return folder;
}

}  // namespace

CFoundTree::CFoundTree(CFoundObject* owner, SignatureDatabase* signatures, const CLanguages* texts)
    : owner_(owner), signatures_(signatures), texts_(texts), generation_(NextGeneration()) {
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

// A failure the tree recovers from (the record is not stored, the lookup
// answers nothing) still leaves a line in the volume's log.
void CFoundTree::LogFailure(const char* where) const noexcept {
    try {
        if (CVolume* volume = OwnerVolume())
            if (CEventLog* log = volume->Context().log) log->LogError(std::string("CFoundTree.") + where + ": failed");
    } catch (...) {
    }
}

const FileSignature* CFoundTree::SignatureOf(const CFoundObject& record) const {
    if (!signatures_) return nullptr;
    auto typeId = static_cast<std::uint16_t>(record.TypeId);
    return signatures_->FindForObject(typeId, record.Name);
}

void CFoundTree::CreateFixedNodes() {
    // Reset in place: the fixed nodes keep their addresses for the tree's life.
    *root_ = MakeFolder(FO_FOLDER, 0, 0, "Filesystem", OwnerVolume());
    *lostFragments_ = MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED, ID_LOST_FRAGMENTS, 0,
                                 Text(ids::kLostFragmentsNode), OwnerVolume());
    *lostFiles_ = MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED, ID_LOST_FILES, 0, Text(ids::kLostFilesNode),
                             OwnerVolume());
}

void CFoundTree::Clear() {
    std::lock_guard lock(mutex_);
    byId_.Clear();
    byOffset_.Clear();
    folders_.clear();
    pending_.clear();
    offsetIndexOn_ = false;
    blocks_.clear();
    lastBlockUsed_ = 0;
    changedSlots_.clear();
    signatureFiles_ = 0;
    generation_ = NextGeneration();
    try {
        CreateFixedNodes();
    } catch (...) {
        LogFailure("Clear");
    }
    // Told at once: what a receiver holds of the tree is gone.
    platform::PostAppMessage(0, msg::kFoundTreeChanged, 0,
                             static_cast<std::int64_t>((generation_.load() << kCodeBits) | msg::kTreeCodeCleared));
}

std::vector<CFoundObject*> CFoundTree::AllRecords() const {
    std::lock_guard lock(mutex_);
    std::vector<CFoundObject*> out;
    out.reserve(byId_.Size());
    byId_.ForEach([&](const RecordIndex::Entry& e) { out.push_back(e.record); });
    return out;
}

std::vector<CFoundObject*> CFoundTree::DeletedAndLostFiles() const {
    std::lock_guard lock(mutex_);
    std::vector<CFoundObject*> out;
    byId_.ForEach([&](const RecordIndex::Entry& e) {
        const std::uint16_t flags = e.record->Flags;
        if ((flags & FO_DELETED) && !(flags & (FO_FOLDER | FO_VOLUME | FO_LOST_FOLDER))) out.push_back(e.record);
    });
    return out;
}

std::size_t CFoundTree::Count() const {
    std::lock_guard lock(mutex_);
    return byId_.Size();
}

CFoundObject CFoundTree::Snapshot(const CFoundObject& record) const {
    std::lock_guard lock(mutex_);
    return record;
}

// ---------------------------------------------------------------- folders

std::size_t CFoundTree::ChildCount(std::uint64_t folderId) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(folderId);
    return it == folders_.end() ? 0 : it->second.children.size();
}

CFoundObject* CFoundTree::ChildAt(std::uint64_t folderId, std::size_t index) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(folderId);
    if (it == folders_.end() || index >= it->second.children.size()) return nullptr;
    return it->second.children[index];
}

std::size_t CFoundTree::IndexOfChild(const CFoundObject& record, std::size_t hint) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(record.ParentId);
    if (it == folders_.end()) return kNoRow;
    const auto& children = it->second.children;
    if (hint < children.size() && children[hint] == &record) return hint;
    const auto found = std::find(children.begin(), children.end(), &record);
    return found == children.end() ? kNoRow : static_cast<std::size_t>(found - children.begin());
}

std::uint64_t CFoundTree::CountBelow(std::uint64_t folderId) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(folderId);
    return it == folders_.end() ? 0 : static_cast<std::uint64_t>(std::max<std::int64_t>(0, it->second.below));
}

std::uint64_t CFoundTree::FolderChanges(std::uint64_t folderId) const {
    std::lock_guard lock(mutex_);
    const auto it = folders_.find(folderId);
    return it == folders_.end() ? 0 : it->second.changes;
}

// The top of a hierarchy: counts and marks go no higher.
bool CFoundTree::IsTopLocked(const CFoundObject& folder) const {
    return &folder == root_.get() || &folder == lostFragments_.get() || &folder == lostFiles_.get() ||
           folder.Id == root_->Id || IsFixedContainerId(folder.Id) || (folder.Flags & FO_VOLUME) != 0 ||
           folder.Id == folder.ParentId;
}

// What a record weighs in the counts of the folders above it: itself, and
// when it is the folder its children are listed under, everything below it.
std::int64_t CFoundTree::WeightLocked(const CFoundObject& record) const {
    if (!record.IsFolder() || IsTopLocked(record) || FirstFolderLocked(record.Id) != &record) return 1;
    const auto it = folders_.find(record.Id);
    return 1 + (it == folders_.end() ? 0 : std::max<std::int64_t>(0, it->second.below));
}

void CFoundTree::AddBelowLocked(std::uint64_t folderId, std::int64_t delta) {
    for (std::size_t depth = 0; depth < kMaxCountDepth; ++depth) {
        const auto it = folders_.find(folderId);
        if (it == folders_.end()) return;
        it->second.below += delta;
        const CFoundObject* folder = FirstFolderLocked(folderId);
        if (!folder || IsTopLocked(*folder)) return;
        folderId = folder->ParentId;
    }
}

void CFoundTree::ChangedLocked(std::uint64_t folderId, unsigned code) {
    Folder& folder = folders_[folderId];
    ++folder.changes;
    if (folder.pendingCodes == 0) pending_.push_back(folderId);
    folder.pendingCodes |= code;
    PostDueChanges();
}

void CFoundTree::PostChangesLocked() {
    const std::uint64_t generation = generation_.load();
    for (const std::uint64_t folderId : pending_) {
        const auto it = folders_.find(folderId);
        if (it == folders_.end() || it->second.pendingCodes == 0) continue;
        platform::PostAppMessage(0, msg::kFoundTreeChanged, folderId,
                                 static_cast<std::int64_t>((generation << kCodeBits) | it->second.pendingCodes));
        it->second.pendingCodes = 0;
    }
    pending_.clear();
    lastPostMs_ = platform::TickCountMs();
}

void CFoundTree::PostChanges() {
    try {
        std::lock_guard lock(mutex_);
        PostChangesLocked();
    } catch (...) {
        LogFailure("PostChanges");
    }
}

void CFoundTree::PostDueChanges() {
    // The scan's reader calls this between chunks: it never waits for a
    // tree that someone holds (who then posts what is due itself).
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock || pending_.empty()) return;
    if (platform::TickCountMs() - lastPostMs_ >= changePeriodMs_) PostChangesLocked();
}

void CFoundTree::SetChangePeriodMs(std::uint32_t ms) {
    std::lock_guard lock(mutex_);
    changePeriodMs_ = ms;
}

FoundTreeChange CFoundTree::DecodeChange(std::uint64_t wparam, std::int64_t lparam) {
    const auto bits = static_cast<std::uint64_t>(lparam);
    return {wparam, bits >> kCodeBits, static_cast<unsigned>(bits & ((1u << kCodeBits) - 1))};
}

// ---------------------------------------------------------------- indexes

CFoundObject* CFoundTree::StoreLocked(CFoundObject&& record) {
    if (blocks_.empty() || lastBlockUsed_ == kRecordsPerBlock) {
        blocks_.push_back(std::make_unique<CFoundObject[]>(kRecordsPerBlock));
        lastBlockUsed_ = 0;
    }
    CFoundObject* stored = &blocks_.back()[lastBlockUsed_++];
    *stored = std::move(record);
    return stored;
}

std::size_t CFoundTree::SlotCount() const {
    std::lock_guard lock(mutex_);
    return SlotCountLocked();
}

std::size_t CFoundTree::SlotCountLocked() const {
    return blocks_.empty() ? 0 : (blocks_.size() - 1) * kRecordsPerBlock + lastBlockUsed_;
}

bool CFoundTree::CopySlots(std::size_t from, std::size_t to, std::vector<CFoundObject>& out, std::uint64_t generation) const {
    std::lock_guard lock(mutex_);
    if (generation != 0 && generation != generation_.load()) return false;
    const std::size_t count = SlotCountLocked();
    for (std::size_t slot = from; slot < std::min(to, count); ++slot)
        out.push_back(blocks_[slot / kRecordsPerBlock][slot % kRecordsPerBlock]);
    return true;
}

std::optional<std::size_t> CFoundTree::SlotOf(const CFoundObject& record) const {
    std::lock_guard lock(mutex_);
    return SlotOfLocked(record);
}

void CFoundTree::NoteChangedSlots(bool on) {
    std::lock_guard lock(mutex_);
    noteChanges_ = on;
    changedSlots_.clear();
}

std::vector<std::size_t> CFoundTree::TakeChangedSlots() {
    std::lock_guard lock(mutex_);
    std::vector<std::size_t> slots = std::move(changedSlots_);
    changedSlots_.clear();
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return slots;
}

void CFoundTree::NoteChangeLocked(const CFoundObject& record) {
    if (!noteChanges_) return;
    if (const auto slot = SlotOfLocked(record)) changedSlots_.push_back(*slot);
}

std::optional<std::size_t> CFoundTree::SlotOfLocked(const CFoundObject& record) const {
    // Records stored lately are asked for most: the blocks are searched from the last.
    const std::less<const CFoundObject*> before;
    for (std::size_t b = blocks_.size(); b-- > 0;) {
        const CFoundObject* first = blocks_[b].get();
        if (!before(&record, first) && before(&record, first + kRecordsPerBlock))
            return b * kRecordsPerBlock + static_cast<std::size_t>(&record - first);
    }
    return std::nullopt;
}

CFoundObject* CFoundTree::AddToIndexes(std::unique_ptr<CFoundObject> record) {
    if (!record) return nullptr;
    try {
        std::lock_guard lock(mutex_);
        CFoundObject* stored = StoreLocked(std::move(*record));
        LinkLocked(*stored, msg::kTreeCodeObjectAdded);
        return stored;
    } catch (...) {
        LogFailure("AddToIndexes");
        return nullptr;
    }
}

void CFoundTree::AddToIndexes(CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        bool linked = false;
        byId_.ForEachEqual(record.Id, [&](CFoundObject* r) { return !(linked = r == &record); });
        if (!linked) LinkLocked(record, msg::kTreeCodeObjectAdded);
    } catch (...) {
        LogFailure("AddToIndexes");
    }
}

void CFoundTree::LinkLocked(CFoundObject& record, unsigned code) {
    if (!record.Volume) record.Volume = OwnerVolume();
    byId_.Insert(record.Id, &record);
    LinkParentLocked(record, code);
    if (offsetIndexOn_) InsertByOffsetLocked(record);
}

void CFoundTree::LinkParentLocked(CFoundObject& record, unsigned code) {
    folders_[record.ParentId].children.push_back(&record);
    AddBelowLocked(record.ParentId, WeightLocked(record));
    ChangedLocked(record.ParentId, code);
}

void CFoundTree::UnlinkParentLocked(CFoundObject& record, unsigned code) {
    const auto unlinkFrom = [&](std::uint64_t folderId, Folder& folder) {
        const auto it = std::find(folder.children.begin(), folder.children.end(), &record);
        if (it == folder.children.end()) return false;
        folder.children.erase(it);
        AddBelowLocked(folderId, -WeightLocked(record));
        ChangedLocked(folderId, code);
        return true;
    };
    if (const auto it = folders_.find(record.ParentId); it != folders_.end() && unlinkFrom(it->first, it->second))
        return;
    // Not under its current ParentId (changed behind the tree's back): look everywhere.
    for (auto& [folderId, folder] : folders_)
        if (unlinkFrom(folderId, folder)) return;
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
    byOffset_.Insert(record.DataOffset, &record);
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
        const auto next = byOffset_.UpperBound(offset);
        if (next != byOffset_.End()) record.Size = std::min(record.Size, byOffset_.At(next).key - offset);
    }
    const auto first = byOffset_.LowerBound(offset);
    if (first == byOffset_.Begin()) return;
    const std::uint64_t previousOffset = byOffset_.At(byOffset_.Prev(first)).key;
    for (auto it = byOffset_.LowerBound(previousOffset); it != first; it = byOffset_.Next(it)) {
        CFoundObject& previous = *byOffset_.At(it).record;
        if ((previous.Flags & FO_BY_SIGNATURE) && !(previous.Flags & FO_ENCLOSING) &&
            previous.Size > offset - previousOffset) {
            previous.Size = offset - previousOffset;
            NoteChangeLocked(previous);
            ChangedLocked(previous.ParentId, msg::kTreeCodeSizeChanged);
        }
    }
}

void CFoundTree::SetContentSize(CFoundObject& record, std::uint64_t size, bool encloses) {
    try {
        std::lock_guard lock(mutex_);
        if (offsetIndexOn_ && !encloses) {
            const auto next = byOffset_.UpperBound(record.DataOffset);
            if (next != byOffset_.End()) size = std::min(size, byOffset_.At(next).key - record.DataOffset);
        }
        record.Size = size;
        record.Flags |= encloses ? FO_CONTENT_SIZE | FO_ENCLOSING : FO_CONTENT_SIZE;
        NoteChangeLocked(record);
        ChangedLocked(record.ParentId, msg::kTreeCodeSizeChanged);
    } catch (...) {
        LogFailure("SetContentSize");
    }
}

void CFoundTree::SetSize(CFoundObject& record, std::uint64_t size) {
    try {
        std::lock_guard lock(mutex_);
        record.Size = size;
        NoteChangeLocked(record);
        ChangedLocked(record.ParentId, msg::kTreeCodeSizeChanged);
    } catch (...) {
        LogFailure("SetSize");
    }
}

std::uint64_t CFoundTree::EnclosingEnd(const CFoundObject& record) const {
    // Files found inside a container lie between it and the offset: the walk
    // back passes at most so many of them.
    constexpr int kMaxSteps = 4096;
    std::lock_guard lock(mutex_);
    std::uint64_t end = ~std::uint64_t{0};
    auto it = byOffset_.LowerBound(record.DataOffset);
    for (int steps = 0; steps < kMaxSteps && it != byOffset_.Begin(); ++steps) {
        it = byOffset_.Prev(it);
        const CFoundObject& before = *byOffset_.At(it).record;
        if ((before.Flags & FO_ENCLOSING) && before.Size > record.DataOffset - before.DataOffset)
            end = std::min(end, before.DataOffset + std::min(before.Size, ~before.DataOffset));
    }
    return end;
}

void CFoundTree::BuildOffsetIndex() {
    try {
        std::lock_guard lock(mutex_);
        offsetIndexOn_ = true;
        std::vector<RecordIndex::Entry> entries;
        entries.reserve(byId_.Size());
        byId_.ForEach([&](const RecordIndex::Entry& e) {
            if (HasDataPosition(*e.record)) entries.push_back({e.record->DataOffset, e.record});
        });
        byOffset_.Assign(std::move(entries));
    } catch (...) {
        LogFailure("BuildOffsetIndex");
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
        byId_.ForEachEqual(id, [&](CFoundObject* r) {
            out.push_back(r);
            return true;
        });
    } catch (...) {
        LogFailure("FindById");
    }
    return out;
}

CFoundObject* CFoundTree::FindFirstById(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    return byId_.FindFirst(id);
}

std::vector<CFoundObject*> CFoundTree::FindChildren(std::uint64_t parentId) const {
    std::vector<CFoundObject*> out;
    ListChildren(parentId, out);
    return out;
}

void CFoundTree::ListChildren(std::uint64_t parentId, std::vector<CFoundObject*>& out) const {
    try {
        std::lock_guard lock(mutex_);
        const auto it = folders_.find(parentId);
        if (it != folders_.end()) out.insert(out.end(), it->second.children.begin(), it->second.children.end());
    } catch (...) {
        LogFailure("ListChildren");
    }
}

CFoundObject* CFoundTree::FindByOffset(std::uint64_t offset) const {
    std::lock_guard lock(mutex_);
    return byOffset_.FindFirst(offset);
}

CFoundObject* CFoundTree::FindAfterOffset(std::uint64_t offset) const {
    std::lock_guard lock(mutex_);
    const auto it = byOffset_.UpperBound(offset);
    return it == byOffset_.End() ? nullptr : byOffset_.At(it).record;
}

// Identifiers are not unique (a FAT file and a folder may start at the same
// cluster): a parent is the first folder with the identifier.
CFoundObject* CFoundTree::FirstFolderLocked(std::uint64_t id) const {
    CFoundObject* folder = nullptr;
    byId_.ForEachEqual(id, [&](CFoundObject* r) {
        if (r->IsFolder()) folder = r;
        return folder == nullptr;
    });
    return folder;
}

// ---------------------------------------------------------------- adding

CFoundObject* CFoundTree::AddObject(const CFoundObject& record) {
    try {
        CFoundObject copy = record;
        std::lock_guard lock(mutex_);
        if (const FileSignature* signature = SignatureOf(copy))
            copy.TypeId = static_cast<std::int16_t>(signature->Id & 0xFFFF);

        // Only a folder takes over a placeholder: a file with the same
        // identifier would hide the placeholder's children, which are only
        // ever listed below folders.
        CFoundObject* placeholder = nullptr;
        if (copy.IsFolder())
            byId_.ForEachEqual(copy.Id, [&](CFoundObject* r) {
                if (r->ParentId == ID_LOST_FRAGMENTS && (r->Flags & FO_LOST_FOLDER)) placeholder = r;
                return placeholder == nullptr;
            });
        if (placeholder) UnlinkParentLocked(*placeholder, msg::kTreeCodeLostFolderReplaced);

        const CFoundObject* parent = FirstFolderLocked(copy.ParentId);
        if (!parent && copy.ParentId != 0 && copy.Id != 0 && copy.Id != root_->Id && copy.ParentId != root_->Id &&
            !IsFixedContainerId(copy.ParentId))
            CreateLostFolderLocked(copy);

        if (placeholder) {
            // The real folder takes over the placeholder's record, so that the
            // children and every pointer handed out stay valid. The interface's
            // item stays with the record: it learns of the move from the
            // notification of the lost-fragments node.
            const std::uint32_t treeItem = placeholder->TreeItem;
            *placeholder = std::move(copy);
            placeholder->TreeItem = treeItem;
            if (!placeholder->Volume) placeholder->Volume = OwnerVolume();
            NoteChangeLocked(*placeholder);
            LinkParentLocked(*placeholder, msg::kTreeCodeObjectAdded);
            if (offsetIndexOn_) InsertByOffsetLocked(*placeholder);
            // The placeholder's mark of deleted content is gone with its flags:
            // set it again when a child calls for it.
            if (const auto it = folders_.find(placeholder->Id); it != folders_.end())
                for (const CFoundObject* child : it->second.children)
                    if (child != placeholder && (child->IsDeleted() || child->HasDeleted())) {
                        MarkHasDeletedLocked(*placeholder);
                        break;
                    }
            return placeholder;
        }
        CFoundObject* stored = StoreLocked(std::move(copy));
        LinkLocked(*stored, msg::kTreeCodeObjectAdded);
        // The folders above a deleted object hold something deleted: marked
        // here, once per object, as the views' notifications no longer name
        // each object that came.
        if (stored->IsDeleted()) MarkHasDeletedLocked(*stored);
        return stored;
    } catch (...) {
        LogFailure("AddObject");
        return nullptr;
    }
}

CFoundObject* CFoundTree::CreateLostFolder(const CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        return CreateLostFolderLocked(record);
    } catch (...) {
        LogFailure("CreateLostFolder");
        return nullptr;
    }
}

CFoundObject* CFoundTree::CreateLostFolderLocked(const CFoundObject& record) {
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(record.ParentId));
    CFoundObject* stored =
        StoreLocked(MakeFolder(FO_DELETED | FO_FOLDER | FO_HAS_DELETED | FO_LOST_FOLDER, record.ParentId,
                               ID_LOST_FRAGMENTS, FormatMessageText(texts_, ids::kLostFolderName, low), OwnerVolume()));
    LinkLocked(*stored, msg::kTreeCodeLostFolderCreated);
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
                NoteChangeLocked(*existing);
                ChangedLocked(existing->ParentId, msg::kTreeCodeSignatureMatch);
            }
            record.Flags = FO_REFUSED;
            return &record;
        }
        if (signature && signature->SearchEnable == 0) return nullptr;

        CFoundObject copy = record;
        // A file of a type the database does not know goes to the "Unknown"
        // group, so that it is listed under "Lost files" like the others.
        copy.ParentId = GroupFolderId(signature ? signature->GroupId : SignatureDatabase::kUnknownGroupId);
        if (signature) copy.TypeId = static_cast<std::int16_t>(signature->Id & 0xFFFF);
        if (!(copy.Flags & FO_NAMED)) NameSignatureFile(copy, signature);
        copy.Flags |= FO_SIGNATURE_MATCH;
        CFoundObject* stored = StoreLocked(std::move(copy));
        LinkLocked(*stored, msg::kTreeCodeSignatureFileAdded);
        EnsureGroupFolderLocked(*stored, signature);
        ++signatureFiles_;
        return stored;
    } catch (...) {
        LogFailure("AddSignatureFile");
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
        LogFailure("EnsureGroupFolder");
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
    bool made = false;
    byId_.ForEachEqual(id, [&](CFoundObject* r) { return !(made = r->IsFolder() && r->ParentId == ID_LOST_FILES); });
    if (made) return;

    std::string name = "Unknown";
    if (signatures_) {
        const auto& groups = signatures_->Groups();
        const auto group = groups.find(groupId);
        if (group != groups.end() && !group->second->Title.empty()) name = group->second->Title;
    }
    CFoundObject* stored = StoreLocked(MakeFolder(FO_FOLDER | FO_HAS_DELETED, id, ID_LOST_FILES, std::move(name), OwnerVolume()));
    LinkLocked(*stored, msg::kTreeCodeSignatureFileAdded);
}

// ---------------------------------------------------------------- walks

void CFoundTree::MarkHasDeleted(CFoundObject& record) {
    try {
        std::lock_guard lock(mutex_);
        MarkHasDeletedLocked(record);
    } catch (...) {
        LogFailure("MarkHasDeleted");
    }
}

void CFoundTree::MarkHasDeletedLocked(CFoundObject& record) {
    const auto mark = [this](CFoundObject& folder) {
        if (folder.HasDeleted()) return;
        folder.Flags |= FO_HAS_DELETED;
        ChangedLocked(folder.ParentId, msg::kTreeCodeObjectChanged);
    };
    if (record.IsFolder()) mark(record);
    std::vector<const CFoundObject*> seen{&record};
    CFoundObject* folder = FirstFolderLocked(record.ParentId);
    while (folder && seen.size() < kMaxFolderDepth) {
        if (std::find(seen.begin(), seen.end(), folder) != seen.end()) return;  // a cycle of identifiers
        seen.push_back(folder);
        mark(*folder);
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
        LogFailure("GetFolderChain");
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
