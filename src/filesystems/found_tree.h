// The found objects of one volume, linked into a folder hierarchy by their
// identifiers. The file-system parsers and the sector scan add records; the
// views and the recovery read them. Stored records never move and live until
// the next Clear: they are kept in blocks of records, not one allocation each.
//
// Besides the records it is given, the tree makes folders of its own:
// - three fixed nodes: Root ("Filesystem"), the lost-fragments node (Id -18)
//   that holds the placeholders, and "Lost files" (Id -19) that holds one
//   folder per signature group;
// - a placeholder folder for every parent that has not been found (yet);
//   when the real folder arrives it takes over the placeholder's record, at
//   the same address, and the children stay under it;
// - a group folder per signature group that has a signature-found file.
//
// Folders: the children of a folder are the records whose ParentId is the
// folder's identifier, kept in an array of their own in the order they were
// linked, so that a view reads a child count and the child at a row without
// a copy. Each folder also keeps the number of records below it (at any
// depth) and a counter of its changes: a view compares the counter to
// refresh only the folders that changed.
//
// Notifications: changes are gathered per folder and posted to the top-level
// window as kFoundTreeChanged at most once a period (ChangePeriodMs), each
// with the folder's identifier, the codes of what happened in it and the
// tree's generation (see FoundTreeChange). A receiver never follows an
// address from a notification: it reads the folder through the tree whose
// Generation() matches, and drops notifications of older generations.
// Changes still waiting are posted by PostChanges, which the analysis calls
// at the end of each stage and while it scans.
//
// Locking: one recursive mutex per tree. Every operation takes it, and
// notifications are posted while it is held (posting only queues, so the
// order of notifications is the order of the changes). Records themselves
// can still change after they are stored (a placeholder taken over, a size
// cut by the next object, a signature match, MarkHasDeleted): a reader on
// another thread that needs a consistent view of a record reads it inside
// WithLock, or takes a Snapshot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "filesystems/found_object.h"
#include "filesystems/record_index.h"

namespace tl {

class CLanguages;
class FileSignature;
class SignatureDatabase;

// What one kFoundTreeChanged notification tells.
struct FoundTreeChange {
    std::uint64_t folderId = 0;    // the identifier the changed folder's children carry as ParentId
    std::uint64_t generation = 0;  // the Generation() of the tree when the changes were made
    unsigned codes = 0;            // the kTreeCode values of the changes, or-ed
};

class CFoundTree {
public:
    // `owner` is the volume's own node (its Volume field names the volume
    // given to the records this tree makes); `signatures` gives file types
    // and groups; `texts` the names of the fixed nodes and lost objects.
    // Any of them may be null: no volume, no types, the built-in English texts.
    CFoundTree(CFoundObject* owner, SignatureDatabase* signatures, const CLanguages* texts);
    ~CFoundTree();
    CFoundTree(const CFoundTree&) = delete;
    CFoundTree& operator=(const CFoundTree&) = delete;

    // Unlinks every record, releases those the tree owns (the group folders
    // too), switches the offset index off, resets the fixed nodes in place
    // and the count of signature-found files. Records linked without
    // ownership (volume nodes, the fixed nodes) are only unlinked. Changes
    // not posted yet are dropped, the tree takes a new generation and posts
    // kTreeCodeCleared with it at once.
    void Clear();

    // The entry of the file-system parsers: stores a copy of `record` (its
    // type taken from the signature database), under its parent folder, a
    // placeholder for a missing parent, or as the real folder in place of
    // its placeholder. Returns the stored record, or null when it cannot be
    // stored.
    CFoundObject* AddObject(const CFoundObject& record);

    // The entry of the sector scan (`record` has FO_BY_SIGNATURE and its
    // DataOffset). Returns:
    // - `&record` itself with Flags = FO_REFUSED when an object already lies
    //   at that offset: nothing is stored, the object there is marked with
    //   FO_SIGNATURE_MATCH and the signature's type;
    // - null when the signature's search is switched off (or on failure);
    // - else the stored copy, named, in its group folder under "Lost files".
    // The caller keeps ownership of `record` in every case.
    CFoundObject* AddSignatureFile(CFoundObject& record);

    // A placeholder for the missing parent of `record` under the
    // lost-fragments node.
    CFoundObject* CreateLostFolder(const CFoundObject& record);
    // Names a signature-found file: "<type>_<offset>.<extension>", or
    // "lost_file_<offset>" when its type is not known.
    void NameSignatureFile(CFoundObject& record, const FileSignature* signature) const;
    // Makes the folder of the record's signature group once.
    void EnsureGroupFolder(const CFoundObject& record);

    // Links a record into the indexes. The first form stores the record (it
    // lives until Clear) and returns the stored one; the second links a
    // record that lives elsewhere (a volume's node, a fixed node), which
    // Clear only unlinks.
    CFoundObject* AddToIndexes(std::unique_ptr<CFoundObject> record);
    void AddToIndexes(CFoundObject& record);

    std::vector<CFoundObject*> FindById(std::uint64_t id) const;
    CFoundObject* FindFirstById(std::uint64_t id) const;
    std::vector<CFoundObject*> FindChildren(std::uint64_t parentId) const;
    // Appends the children of `parentId` to `out`.
    void ListChildren(std::uint64_t parentId, std::vector<CFoundObject*>& out) const;

    // The folder whose children carry `folderId` as ParentId, read without a
    // copy: its child count, the child at `index` (null past the end), in
    // the order the children were linked (a child that leaves moves the
    // ones after it up a row).
    std::size_t ChildCount(std::uint64_t folderId) const;
    CFoundObject* ChildAt(std::uint64_t folderId, std::size_t index) const;
    // The row of `record` among its folder's children (`hint` is tried
    // first), or kNoRow.
    static constexpr std::size_t kNoRow = ~std::size_t{0};
    std::size_t IndexOfChild(const CFoundObject& record, std::size_t hint = 0) const;
    // The records below the folder at any depth. Counts stop at Root, the
    // fixed nodes and volume nodes, and are not kept past kMaxCountDepth
    // levels (a hostile chain of folders).
    static constexpr std::size_t kMaxCountDepth = 256;
    std::uint64_t CountBelow(std::uint64_t folderId) const;
    // Counts the changes of the folder: a child linked or unlinked, or a
    // child's record changed in place.
    std::uint64_t FolderChanges(std::uint64_t folderId) const;

    // Posts the changes that wait now (PostDueChanges: only when a period
    // has passed since the last post, and only when the tree is not held
    // by another thread: it never waits).
    void PostChanges();
    void PostDueChanges();
    static constexpr std::uint32_t kDefaultChangePeriodMs = 250;
    void SetChangePeriodMs(std::uint32_t ms);
    // The parameters of a kFoundTreeChanged notification and back.
    static FoundTreeChange DecodeChange(std::uint64_t wparam, std::int64_t lparam);

    // The first record at `offset`, and the first one with a greater offset
    // (both only while the offset index is on).
    CFoundObject* FindByOffset(std::uint64_t offset) const;
    CFoundObject* FindAfterOffset(std::uint64_t offset) const;
    // A signature-found file's length learnt from its content after it was
    // stored (an end met further on): the size becomes that length. A length
    // that `encloses` what lies inside it (FO_ENCLOSING) stands as it is;
    // else it is cut at the next object, as every signature-found size is.
    void SetContentSize(CFoundObject& record, std::uint64_t size, bool encloses);
    // A size the user gave a found file (all ones: unknown again); the views
    // hear of it as a size change of its folder.
    void SetSize(CFoundObject& record, std::uint64_t size);
    // The end of the nearest signature-found file whose own structure holds
    // `record` (FO_ENCLOSING, reaching past its offset): a lost file found
    // inside another is most likely a part of it. All ones when none does.
    std::uint64_t EnclosingEnd(const CFoundObject& record) const;
    // Switches the offset index on and fills it with every linked record.
    void BuildOffsetIndex();
    bool OffsetIndexOn() const;

    // Marks `record` (when a folder) and the folders above it as holding
    // something deleted.
    void MarkHasDeleted(CFoundObject& record);
    // The folder chain that holds `record`, each folder followed by a
    // backslash: "\dir\sub\" below Root, "lost_folder_7\" below a
    // placeholder, "" when the chain breaks off (a missing parent, a cycle).
    std::string GetFullPath(const CFoundObject& record) const;
    // The names of the same folder chain, outermost first; `belowRoot` tells
    // whether it reaches Root.
    std::vector<std::string> GetFolderNames(const CFoundObject& record, bool* belowRoot = nullptr) const;
    // The same chain as the stored folder records (stable addresses),
    // outermost first, with their names.
    std::vector<std::pair<const CFoundObject*, std::string>> GetFolderChain(const CFoundObject& record,
                                                                            bool* belowRoot = nullptr) const;
    // "Folder" for folders; for files a plain name from the extension
    // ("PDF File"), or "File".
    std::string GetTypeName(const CFoundObject& record) const;

    // Nodes that hold found objects without being found themselves: the
    // lost-fragments and lost-files nodes, the group folders under lost
    // files, and volume nodes (the root is known by its address: Root()).
    // Identifiers do not tell them apart: real files carry negative ones too
    // (an empty FAT file, a file made from an MFT record).
    static bool IsContainerNode(const CFoundObject& record) {
        return record.Id == ID_LOST_FRAGMENTS || record.Id == ID_LOST_FILES || (record.Flags & FO_VOLUME) != 0 ||
               (record.IsFolder() && record.ParentId == ID_LOST_FILES);
    }

    CFoundObject* Root() const { return root_.get(); }
    CFoundObject* LostFragments() const { return lostFragments_.get(); }
    CFoundObject* LostFiles() const { return lostFiles_.get(); }

    // Signature-found files stored since the last Clear.
    std::uint32_t SignatureFileCount() const { return signatureFiles_.load(); }
    // Records linked into the identifier index.
    std::size_t Count() const;
    // Unique in the process to this tree and the stretch since its last
    // Clear: a reader that keeps record addresses across unlocked stretches
    // compares it under the lock before it uses them, and a notification
    // names its tree by it.
    std::uint64_t Generation() const { return generation_.load(); }
    // Every linked record, in identifier order.
    std::vector<CFoundObject*> AllRecords() const;
    // The files that are lost to their owner: deleted ones of the file
    // system and every file the sector scan found, in identifier order;
    // no folder, volume or placeholder.
    std::vector<CFoundObject*> DeletedAndLostFiles() const;

    // Runs `f` with the tree locked; tree operations may be called inside.
    template <class F>
    decltype(auto) WithLock(F&& f) const {
        std::lock_guard lock(mutex_);
        return f();
    }
    // Runs `f` with the locks of both trees held (the same tree twice is
    // locked once), taken so that two such calls, or one and a thread that
    // nests WithLock calls, cannot deadlock: for a record linked into two
    // trees, as a found volume's node is.
    template <class F>
    static decltype(auto) WithBothLocked(const CFoundTree& a, const CFoundTree& b, F&& f) {
        if (&a == &b) return a.WithLock(std::forward<F>(f));
        std::scoped_lock lock(a.mutex_, b.mutex_);
        return f();
    }
    // A copy of a stored record, taken under the lock.
    CFoundObject Snapshot(const CFoundObject& record) const;

    // The records the tree stored, by slot: slot n is the n-th record stored
    // since the last Clear (the tree's own folders too), for a reader that
    // keeps a copy of the tree elsewhere and adds only what is new.
    std::size_t SlotCount() const;
    // Copies of the records of slots [from, to) into `out`, under the lock;
    // false (nothing copied) when `generation` is given and is not the
    // tree's any more.
    bool CopySlots(std::size_t from, std::size_t to, std::vector<CFoundObject>& out, std::uint64_t generation = 0) const;
    // The slot of a stored record; nullopt for one the tree did not store.
    std::optional<std::size_t> SlotOf(const CFoundObject& record) const;
    // While on, the slots of stored records changed in place (a size cut or
    // learnt, a type matched, a placeholder taken over) are noted; Take
    // hands them over once each, in no order, and forgets them.
    void NoteChangedSlots(bool on);
    std::vector<std::size_t> TakeChangedSlots();

private:
    // The children of one folder, with what the views read of it.
    struct Folder {
        std::vector<CFoundObject*> children;
        std::int64_t below = 0;  // records below, at any depth (see CountBelow)
        std::uint64_t changes = 0;
        unsigned pendingCodes = 0;  // changes not posted yet
    };
    static constexpr std::size_t kRecordsPerBlock = 1024;

    void CreateFixedNodes();
    void LogFailure(const char* where) const noexcept;
    std::string Text(unsigned id) const;
    CVolume* OwnerVolume() const;
    const FileSignature* SignatureOf(const CFoundObject& record) const;

    CFoundObject* StoreLocked(CFoundObject&& record);
    CFoundObject* FirstFolderLocked(std::uint64_t id) const;
    bool IsTopLocked(const CFoundObject& folder) const;
    void LinkLocked(CFoundObject& record, unsigned code);
    void LinkParentLocked(CFoundObject& record, unsigned code);
    void UnlinkParentLocked(CFoundObject& record, unsigned code);
    std::int64_t WeightLocked(const CFoundObject& record) const;
    void AddBelowLocked(std::uint64_t folderId, std::int64_t delta);
    void ChangedLocked(std::uint64_t folderId, unsigned code);
    void PostChangesLocked();
    bool HasDataPosition(const CFoundObject& record) const;
    void InsertByOffsetLocked(CFoundObject& record);
    void ApplySizeRuleLocked(CFoundObject& record);
    CFoundObject* CreateLostFolderLocked(const CFoundObject& record);
    void EnsureGroupFolderLocked(const CFoundObject& record, const FileSignature* signature);
    void MarkHasDeletedLocked(CFoundObject& record);
    // Notes the slot of a stored record changed in place.
    void NoteChangeLocked(const CFoundObject& record);
    std::optional<std::size_t> SlotOfLocked(const CFoundObject& record) const;
    std::size_t SlotCountLocked() const;

    CFoundObject* owner_;
    SignatureDatabase* signatures_;
    const CLanguages* texts_;

    mutable std::recursive_mutex mutex_;
    std::unique_ptr<CFoundObject> root_;
    std::unique_ptr<CFoundObject> lostFragments_;
    std::unique_ptr<CFoundObject> lostFiles_;
    // The records the tree owns (group folders too), in blocks that never move.
    std::vector<std::unique_ptr<CFoundObject[]>> blocks_;
    std::size_t lastBlockUsed_ = 0;
    bool noteChanges_ = false;
    std::vector<std::size_t> changedSlots_;
    RecordIndex byId_;
    RecordIndex byOffset_;
    std::unordered_map<std::uint64_t, Folder> folders_;
    std::vector<std::uint64_t> pending_;  // folders with pendingCodes, in the order they changed
    std::uint64_t lastPostMs_ = 0;
    std::uint32_t changePeriodMs_ = kDefaultChangePeriodMs;
    bool offsetIndexOn_ = false;
    std::atomic<std::uint32_t> signatureFiles_{0};
    std::atomic<std::uint64_t> generation_;
};

}  // namespace tl
