#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app/app_messages.h"
#include "app/recording_sink.h"
#include "filesystems/found_object.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"

namespace tl {
namespace {

constexpr const char* kRoot = "Software\\Tessa-Loft\\Documents\\1.0";
constexpr std::uint64_t kRootId = 2;  // as for FAT32

std::string TypeKey(const char* id) { return std::string(kRoot) + "\\Signatures\\" + id; }

CFoundObject Entry(std::uint64_t id, std::uint64_t parentId, const char* name, std::uint16_t flags = 0,
                   std::uint64_t dataOffset = 0) {
    CFoundObject o;
    o.Id = id;
    o.ParentId = parentId;
    o.Flags = flags;
    o.DataOffset = dataOffset;
    if (name) o.SetName(name);
    return o;
}

// A record as the sector scan hands it over.
CFoundObject Hit(std::int16_t typeId, std::uint64_t dataOffset) {
    CFoundObject o;
    o.TypeId = typeId;
    o.DataOffset = dataOffset;
    o.Flags = FO_BY_SIGNATURE | FO_DELETED;
    return o;
}

// One kFoundTreeChanged notification: the folder and the codes.
struct Posted {
    std::uint64_t folder;
    unsigned codes;
    bool operator==(const Posted&) const = default;
};

class FoundTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.SetString(TypeKey("01000"), "Title", "PDF Document");
        store.SetString(TypeKey("01000"), "Group", "Documents");
        store.SetString(TypeKey("01000"), "FileExtensions", "pdf");
        store.SetString(TypeKey("01000"), "Prefix", "pdfdoc");
        store.SetString(TypeKey("01001"), "Title", "Word");
        store.SetString(TypeKey("01001"), "Group", "Documents");
        store.SetString(TypeKey("01001"), "FileExtensions", "doc;dot");
        store.SetString(TypeKey("01002"), "Title", "JPEG");
        store.SetString(TypeKey("01002"), "Group", "Pictures");
        store.SetString(TypeKey("01002"), "FileExtensions", "jpg");
        store.SetDword(TypeKey("01002"), "SearchEnable", 0);
        store.SetString(TypeKey("01003"), "Title", "Text");
        store.SetString(TypeKey("01003"), "Group", "Texts");
        store.SetString(TypeKey("01003"), "FileExtensions", "txt");
        db.Load();
        tree.SetChangePeriodMs(0);  // each change told at once, unless a test asks otherwise
        tree.Root()->Id = kRootId;
        tree.AddToIndexes(*tree.Root());
        sink->posted.clear();
    }

    // The tree's notifications, each checked to carry the tree's generation.
    std::vector<Posted> TreeMessages() const {
        std::vector<Posted> out;
        for (const auto& m : sink->posted) {
            if (m.id != msg::kFoundTreeChanged || m.target != 0) continue;
            const FoundTreeChange change = CFoundTree::DecodeChange(m.wparam, m.lparam);
            EXPECT_EQ(change.generation, tree.Generation());
            out.push_back({change.folderId, change.codes});
        }
        return out;
    }

    std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>();
    test::SinkGuard guard{sink};
    platform::SettingsStore store;
    SignatureDatabase db{store, kRoot};
    CFoundTree tree{nullptr, &db, nullptr};
};

TEST(FoundObject, InitialStateNamesAndBounds) {
    CFoundObject o;
    o.Id = 5;
    o.Flags = FO_FOLDER;
    o.TreeItem = 3;
    o.SetName("x");
    o.Init();
    EXPECT_EQ(o.Size, CFoundObject::kUnknownSize);
    EXPECT_EQ(o.TreeItem, 0xFFFFFFFFu);
    EXPECT_EQ(o.Id, 0u);
    EXPECT_EQ(o.Flags, 0);
    EXPECT_EQ(o.GetName(), "Unknown");

    o.SetName("report.pdf");
    EXPECT_EQ(o.Flags, FO_NAMED | FO_NAME_OWNED);
    o.SetName(static_cast<const char*>(nullptr));
    EXPECT_EQ(o.GetName(), "report.pdf");
    CFoundObject copy = o;  // records are values
    copy.SetName("other");
    EXPECT_EQ(o.GetName(), "report.pdf");

    o.Size = 100;
    o.DataOffset = 1000;
    EXPECT_EQ(o.CheckBounds(1000), 0);
    EXPECT_EQ(o.CheckBounds(999), kFoundObjectOutOfBounds);
    o.DataOffset = 0;
    o.Size = CFoundObject::kUnknownSize;
    EXPECT_EQ(o.CheckBounds(1u << 30), kFoundObjectOutOfBounds);
}

TEST_F(FoundTreeTest, FixedNodesKeepTheirAddressesThroughClear) {
    CFoundObject* root = tree.Root();
    EXPECT_EQ(root->GetName(), "Filesystem");
    EXPECT_EQ(root->Flags, FO_FOLDER);
    EXPECT_EQ(tree.LostFragments()->Id, ID_LOST_FRAGMENTS);
    EXPECT_EQ(tree.LostFragments()->Flags, 0x15);
    EXPECT_EQ(tree.LostFragments()->GetName(), "Filesystem (lost fragments)");
    EXPECT_EQ(tree.LostFiles()->Id, static_cast<std::uint64_t>(-19));
    EXPECT_EQ(tree.LostFiles()->Flags, 0x15);
    EXPECT_EQ(tree.LostFiles()->GetName(), "Lost files");

    root->Flags |= FO_HAS_DELETED;
    tree.AddObject(Entry(10, kRootId, "a.txt"));
    tree.Clear();
    EXPECT_EQ(tree.Root(), root);
    EXPECT_EQ(root->Flags, FO_FOLDER);
    EXPECT_EQ(root->Id, 0u);
    EXPECT_EQ(tree.Count(), 0u);
    EXPECT_TRUE(tree.FindById(10).empty());
    EXPECT_FALSE(tree.OffsetIndexOn());
}

TEST_F(FoundTreeTest, PlaceholderIsSharedBySiblingsAndTakenOverByTheRealFolder) {
    CFoundObject* a = tree.AddObject(Entry(10, 7, "a.txt", FO_DELETED));
    CFoundObject* b = tree.AddObject(Entry(11, 7, "b.txt"));
    ASSERT_TRUE(a && b);
    const auto lost = tree.FindChildren(ID_LOST_FRAGMENTS);
    ASSERT_EQ(lost.size(), 1u);
    CFoundObject* placeholder = lost[0];
    EXPECT_EQ(placeholder->Id, 7u);
    EXPECT_EQ(placeholder->Flags, 0x215);
    EXPECT_EQ(placeholder->GetName(), "lost_folder_7");
    EXPECT_EQ(tree.GetFullPath(*a), "lost_folder_7\\");
    EXPECT_EQ(TreeMessages(), (std::vector<Posted>{{ID_LOST_FRAGMENTS, msg::kTreeCodeLostFolderCreated},
                                                   {7, msg::kTreeCodeObjectAdded},
                                                   {7, msg::kTreeCodeObjectAdded}}));
    placeholder->TreeItem = 42;  // the interface's item
    sink->posted.clear();

    CFoundObject* docs = tree.AddObject(Entry(7, kRootId, "docs", FO_FOLDER));
    EXPECT_EQ(docs, placeholder);  // same record, same address
    EXPECT_EQ(docs->GetName(), "docs");
    EXPECT_EQ(docs->ParentId, kRootId);
    EXPECT_EQ(docs->Flags & (FO_LOST_FOLDER | FO_DELETED), 0);
    EXPECT_TRUE(docs->HasDeleted());  // a.txt below it is deleted
    EXPECT_EQ(docs->TreeItem, 42u);
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FRAGMENTS).empty());
    EXPECT_EQ(tree.FindChildren(kRootId), std::vector<CFoundObject*>{docs});
    EXPECT_EQ(tree.FindChildren(7), (std::vector<CFoundObject*>{a, b}));
    EXPECT_EQ(tree.FindById(7), std::vector<CFoundObject*>{docs});
    EXPECT_EQ(tree.GetFullPath(*a), "\\docs\\");
    // Root gains the folder and both are marked as holding a deleted file.
    EXPECT_EQ(TreeMessages(), (std::vector<Posted>{{ID_LOST_FRAGMENTS, msg::kTreeCodeLostFolderReplaced},
                                                   {kRootId, msg::kTreeCodeObjectAdded},
                                                   {kRootId, msg::kTreeCodeObjectChanged},
                                                   {0, msg::kTreeCodeObjectChanged}}));

    // A later sibling goes straight to the real folder.
    tree.AddObject(Entry(12, 7, "c.txt"));
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FRAGMENTS).empty());
    EXPECT_EQ(tree.FindChildren(7).size(), 3u);
}

TEST_F(FoundTreeTest, FoldersAreReadByRowCountedAndToldOncePerPeriod) {
    tree.PostChanges();
    tree.SetChangePeriodMs(3'600'000);  // nothing is told until asked
    CFoundObject* dir = tree.AddObject(Entry(10, kRootId, "dir", FO_FOLDER));
    std::vector<CFoundObject*> inRoot;
    for (int i = 0; i < 3; ++i) inRoot.push_back(tree.AddObject(Entry(100 + i, kRootId, "f.txt")));
    for (int i = 0; i < 200; ++i) tree.AddObject(Entry(1000 + i, 10, "g.txt"));
    // Files of a folder not found yet wait under a placeholder.
    for (int i = 0; i < 5; ++i) tree.AddObject(Entry(2000 + i, 20, "h.txt"));
    EXPECT_TRUE(TreeMessages().empty());

    EXPECT_EQ(tree.ChildCount(kRootId), 4u);
    EXPECT_EQ(tree.ChildAt(kRootId, 0), dir);
    EXPECT_EQ(tree.ChildAt(kRootId, 3), inRoot[2]);
    EXPECT_EQ(tree.ChildAt(kRootId, 4), nullptr);
    EXPECT_EQ(tree.IndexOfChild(*inRoot[1]), 2u);
    EXPECT_EQ(tree.IndexOfChild(*inRoot[1], 7), 2u) << "a wrong hint is only a hint";
    EXPECT_EQ(tree.ChildCount(10), 200u);
    EXPECT_EQ(tree.CountBelow(kRootId), 204u);
    EXPECT_EQ(tree.CountBelow(ID_LOST_FRAGMENTS), 6u);
    const std::uint64_t rootChanges = tree.FolderChanges(kRootId);
    const std::uint64_t dirChanges = tree.FolderChanges(10);

    // The real folder arrives inside dir: the files under its placeholder
    // move with it, and the counts of every folder above follow.
    CFoundObject* sub = tree.AddObject(Entry(20, 10, "sub", FO_FOLDER));
    EXPECT_EQ(tree.ChildCount(ID_LOST_FRAGMENTS), 0u);
    EXPECT_EQ(tree.CountBelow(ID_LOST_FRAGMENTS), 0u);
    EXPECT_EQ(tree.CountBelow(10), 206u);
    EXPECT_EQ(tree.CountBelow(kRootId), 210u);
    EXPECT_EQ(tree.IndexOfChild(*sub), 200u);
    EXPECT_EQ(tree.FolderChanges(kRootId), rootChanges) << "nothing in root changed";
    EXPECT_GT(tree.FolderChanges(10), dirChanges);

    // One notification per changed folder, with every code it saw.
    tree.PostChanges();
    auto told = TreeMessages();
    std::sort(told.begin(), told.end(), [](const Posted& a, const Posted& b) { return a.folder < b.folder; });
    EXPECT_EQ(told, (std::vector<Posted>{{kRootId, msg::kTreeCodeObjectAdded},
                                         {10, msg::kTreeCodeObjectAdded},
                                         {20, msg::kTreeCodeObjectAdded},
                                         {ID_LOST_FRAGMENTS, msg::kTreeCodeLostFolderCreated |
                                                                 msg::kTreeCodeLostFolderReplaced}}));

    // A Clear is told at once, under a generation no tree had before.
    const std::uint64_t before = tree.Generation();
    sink->posted.clear();
    tree.Clear();
    EXPECT_NE(tree.Generation(), before);
    EXPECT_EQ(TreeMessages(), (std::vector<Posted>{{0, msg::kTreeCodeCleared}}));
    EXPECT_EQ(tree.ChildCount(10), 0u);
    EXPECT_EQ(tree.CountBelow(kRootId), 0u);
    CFoundTree other{nullptr, &db, nullptr};
    EXPECT_NE(other.Generation(), tree.Generation());
}

TEST_F(FoundTreeTest, AFileWithThePlaceholdersIdDoesNotHideItsChildren) {
    tree.AddObject(Entry(10, 7, "a.txt"));
    CFoundObject* placeholder = tree.FindFirstById(7);
    CFoundObject* file = tree.AddObject(Entry(7, kRootId, "same-cluster.bin", FO_DELETED));
    EXPECT_NE(file, placeholder);
    EXPECT_EQ(tree.FindChildren(ID_LOST_FRAGMENTS), std::vector<CFoundObject*>{placeholder});
    EXPECT_EQ(placeholder->Flags & FO_LOST_FOLDER, FO_LOST_FOLDER);
}

TEST_F(FoundTreeTest, RealFolderWhoseOwnParentIsMissingGetsAPlaceholderInTurn) {
    CFoundObject* a = tree.AddObject(Entry(10, 7, "a.txt"));
    CFoundObject* sub = tree.AddObject(Entry(7, 6, "sub", FO_FOLDER));
    EXPECT_EQ(sub->ParentId, 6u);
    const auto lost = tree.FindChildren(ID_LOST_FRAGMENTS);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0]->Id, 6u);
    EXPECT_EQ(tree.GetFullPath(*a), "lost_folder_6\\sub\\");
}

TEST_F(FoundTreeTest, NoPlaceholderForZeroOrRootIdentifiers) {
    tree.AddObject(Entry(10, 0, "parent zero"));
    tree.AddObject(Entry(0, 9, "id zero"));
    tree.AddObject(Entry(kRootId, 9, "id of root"));
    tree.AddObject(Entry(11, kRootId, "in root"));
    tree.AddObject(Entry(12, ID_LOST_FILES, "under a fixed container"));
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FRAGMENTS).empty());
    EXPECT_TRUE(tree.FindById(9).empty());
    EXPECT_EQ(tree.Count(), 6u);  // Root and the five
}

TEST_F(FoundTreeTest, LostFolderNameTakesTheLow32BitsOfTheId) {
    tree.AddObject(Entry(10, 0x100000005ull, "a"));
    tree.AddObject(Entry(11, static_cast<std::uint64_t>(-7), "b"));
    EXPECT_EQ(tree.FindFirstById(0x100000005ull)->GetName(), "lost_folder_5");
    EXPECT_EQ(tree.FindFirstById(static_cast<std::uint64_t>(-7))->GetName(), "lost_folder_-7");
}

TEST_F(FoundTreeTest, TypeComesFromTheExtensionOrTheGivenType) {
    EXPECT_EQ(tree.AddObject(Entry(10, kRootId, "Report.PDF"))->TypeId, 1000);
    EXPECT_EQ(tree.AddObject(Entry(11, kRootId, "notes.zzz"))->TypeId, 0);
    CFoundObject typed = Entry(12, kRootId, "no-extension");
    typed.TypeId = 1001;
    EXPECT_EQ(tree.AddObject(typed)->TypeId, 1001);
    CFoundTree untyped{nullptr, nullptr, nullptr};
    EXPECT_EQ(untyped.AddObject(Entry(10, 0, "Report.pdf"))->TypeId, 0);
}

TEST_F(FoundTreeTest, SignatureFilesAreNamedCountedAndFiledInTheirGroup) {
    CFoundObject hit = Hit(1000, 4096);
    CFoundObject* pdf = tree.AddSignatureFile(hit);
    ASSERT_TRUE(pdf);
    EXPECT_NE(pdf, &hit);  // a stored copy; the caller keeps its record
    EXPECT_EQ(pdf->GetName(), "pdfdoc_4096.pdf");  // the recovered-name prefix
    EXPECT_EQ(pdf->Flags, FO_BY_SIGNATURE | FO_DELETED | FO_SIGNATURE_MATCH | FO_NAMED | FO_NAME_OWNED);
    CFoundObject hit2 = Hit(1001, 8192);
    CFoundObject* doc = tree.AddSignatureFile(hit2);
    EXPECT_EQ(doc->GetName(), "Word_8192.doc");  // no prefix: the title
    EXPECT_EQ(doc->ParentId, pdf->ParentId);

    const std::uint32_t documents = db.FindById(1000)->GroupId;
    EXPECT_EQ(pdf->ParentId, std::uint64_t{documents});  // zero-extended
    const auto groups = tree.FindChildren(ID_LOST_FILES);
    ASSERT_EQ(groups.size(), 1u);  // made once for both files
    EXPECT_EQ(groups[0]->Id, std::uint64_t{documents});
    EXPECT_EQ(groups[0]->Flags, 0x14);
    EXPECT_EQ(groups[0]->GetName(), "Documents");
    EXPECT_EQ(tree.SignatureFileCount(), 2u);
    EXPECT_EQ(TreeMessages(), (std::vector<Posted>{{documents, msg::kTreeCodeSignatureFileAdded},
                                                   {ID_LOST_FILES, msg::kTreeCodeSignatureFileAdded},
                                                   {documents, msg::kTreeCodeSignatureFileAdded}}));
    EXPECT_EQ(tree.GetFullPath(*pdf), "Documents\\");

    // A type the database does not know, and a record named already.
    CFoundObject unknown = Hit(999, 12288);
    CFoundObject* lost = tree.AddSignatureFile(unknown);
    EXPECT_EQ(lost->GetName(), "lost_file_12288");
    EXPECT_EQ(lost->ParentId, std::uint64_t{SignatureDatabase::kUnknownGroupId});
    EXPECT_EQ(tree.FindFirstById(SignatureDatabase::kUnknownGroupId)->GetName(), "Unknown");
    CFoundObject named = Hit(1003, 16384);
    named.SetName("Root Entry.txt");
    EXPECT_EQ(tree.AddSignatureFile(named)->GetName(), "Root Entry.txt");
    EXPECT_EQ(tree.FindChildren(ID_LOST_FILES).size(), 3u);

    tree.Clear();  // the group folders are released (the leak checker watches)
    EXPECT_EQ(tree.SignatureFileCount(), 0u);
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FILES).empty());
    CFoundObject again = Hit(1000, 4096);
    ASSERT_TRUE(tree.AddSignatureFile(again));
    EXPECT_EQ(tree.FindChildren(ID_LOST_FILES).size(), 1u);
}

TEST_F(FoundTreeTest, DisabledSignatureStoresNothing) {
    CFoundObject hit = Hit(1002, 4096);
    EXPECT_EQ(tree.AddSignatureFile(hit), nullptr);
    EXPECT_EQ(tree.Count(), 1u);
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FILES).empty());
    EXPECT_EQ(tree.SignatureFileCount(), 0u);
    EXPECT_TRUE(TreeMessages().empty());
}

TEST_F(FoundTreeTest, SignatureHitWhereAnObjectLiesIsRefusedAndMarksIt) {
    CFoundObject* fsFile = tree.AddObject(Entry(10, kRootId, "report.bin", 0, 8192));
    tree.BuildOffsetIndex();
    sink->posted.clear();
    const std::size_t before = tree.Count();

    CFoundObject hit = Hit(1000, 8192);
    EXPECT_EQ(tree.AddSignatureFile(hit), &hit);
    EXPECT_EQ(hit.Flags, FO_REFUSED);
    EXPECT_EQ(fsFile->Flags & FO_SIGNATURE_MATCH, FO_SIGNATURE_MATCH);
    EXPECT_EQ(fsFile->TypeId, 1000);
    EXPECT_EQ(tree.Count(), before);
    EXPECT_EQ(TreeMessages(), (std::vector<Posted>{{kRootId, msg::kTreeCodeSignatureMatch}}));

    // A block matching two types: the file found first keeps its type.
    CFoundObject first = Hit(1000, 20480);
    CFoundObject* kept = tree.AddSignatureFile(first);
    CFoundObject second = Hit(1001, 20480);
    EXPECT_EQ(tree.AddSignatureFile(second), &second);
    EXPECT_EQ(second.Flags, FO_REFUSED);
    EXPECT_EQ(kept->TypeId, 1000);
    EXPECT_EQ(kept->GetName(), "pdfdoc_20480.pdf");
}

TEST_F(FoundTreeTest, NodesWithoutDataDoNotOccupyOffsetZero) {
    tree.AddObject(Entry(10, 7, "a.txt", 0, 4096));  // makes a placeholder at DataOffset 0
    tree.BuildOffsetIndex();
    CFoundObject first = Hit(1000, 0);
    CFoundObject* atZero = tree.AddSignatureFile(first);  // also makes a group folder
    ASSERT_NE(atZero, &first);
    ASSERT_TRUE(atZero);
    EXPECT_EQ(atZero->Size, 4096u);
    EXPECT_EQ(tree.FindByOffset(0), atZero);
    EXPECT_EQ(tree.Root()->Flags & FO_SIGNATURE_MATCH, 0);
}

TEST_F(FoundTreeTest, SizeRuleCutsSignatureFilesAtTheNextObject) {
    tree.BuildOffsetIndex();
    CFoundObject h1 = Hit(1000, 1000), h2 = Hit(1000, 5000);
    CFoundObject* first = tree.AddSignatureFile(h1);
    CFoundObject* second = tree.AddSignatureFile(h2);
    EXPECT_EQ(first->Size, 4000u);
    EXPECT_EQ(second->Size, CFoundObject::kUnknownSize);

    // An object in between cuts the previous file; a file-system object is never cut.
    CFoundObject* fsFile = tree.AddObject(Entry(10, kRootId, "x.bin", 0, 3000));
    fsFile->Size = 10;
    EXPECT_EQ(first->Size, 2000u);
    CFoundObject h3 = Hit(1000, 500), h35 = Hit(1000, 3500);
    CFoundObject* before = tree.AddSignatureFile(h3);
    EXPECT_EQ(before->Size, 500u);
    CFoundObject* afterFs = tree.AddSignatureFile(h35);
    EXPECT_EQ(afterFs->Size, 1500u);
    EXPECT_EQ(fsFile->Size, 10u);

    // A size the content gave that is smaller stays.
    CFoundObject h4 = Hit(1000, 6000);
    h4.Size = 100;
    CFoundObject* small = tree.AddSignatureFile(h4);
    CFoundObject h5 = Hit(1000, 9000);
    tree.AddSignatureFile(h5);
    EXPECT_EQ(small->Size, 100u);
    EXPECT_EQ(second->Size, 1000u);

    EXPECT_EQ(tree.FindByOffset(3000), fsFile);
    EXPECT_EQ(tree.FindAfterOffset(3000), afterFs);
    EXPECT_EQ(tree.FindAfterOffset(2999), fsFile);
    EXPECT_EQ(tree.FindAfterOffset(9000), nullptr);

    // A length the file's structure gave holds what is found inside it; an
    // end searched for, learnt later, is cut at the next object.
    CFoundObject archive = Hit(1112, 20000);
    archive.Size = 8000;
    archive.Flags |= FO_CONTENT_SIZE | FO_ENCLOSING;
    CFoundObject* container = tree.AddSignatureFile(archive);
    CFoundObject h6 = Hit(1000, 22000), h7 = Hit(1000, 40000);
    CFoundObject* inner = tree.AddSignatureFile(h6);
    CFoundObject* later = tree.AddSignatureFile(h7);
    EXPECT_EQ(container->Size, 8000u);
    EXPECT_EQ(tree.EnclosingEnd(*inner), 28000u);
    EXPECT_EQ(tree.EnclosingEnd(*later), ~std::uint64_t{0});
    tree.SetContentSize(*inner, 30000, false);
    EXPECT_EQ(inner->Size, 18000u);
    tree.SetContentSize(*inner, 30000, true);
    EXPECT_EQ(inner->Size, 30000u);
    EXPECT_TRUE(inner->Flags & FO_ENCLOSING);
}

TEST_F(FoundTreeTest, FilesAddedBeforeTheOffsetIndexAreIndexedWithoutTheSizeRule) {
    CFoundObject h1 = Hit(1000, 1000), h2 = Hit(1000, 5000);
    CFoundObject* first = tree.AddSignatureFile(h1);
    tree.AddSignatureFile(h2);
    EXPECT_EQ(tree.FindByOffset(1000), nullptr);  // no index yet
    tree.BuildOffsetIndex();
    tree.BuildOffsetIndex();  // twice: no duplicates
    EXPECT_EQ(first->Size, CFoundObject::kUnknownSize);
    EXPECT_EQ(tree.FindByOffset(1000), first);
    EXPECT_EQ(tree.FindAfterOffset(1000)->DataOffset, 5000u);
}

TEST_F(FoundTreeTest, FullPathOfNestedFoldersAndBrokenChains) {
    CFoundObject* a = tree.AddObject(Entry(10, kRootId, "a", FO_FOLDER));
    tree.AddObject(Entry(11, 10, "b", FO_FOLDER));
    CFoundObject* file = tree.AddObject(Entry(12, 11, "f.txt"));
    EXPECT_EQ(tree.GetFullPath(*file), "\\a\\b\\");
    EXPECT_EQ(tree.GetFullPath(*a), "\\");
    EXPECT_EQ(tree.GetFullPath(*tree.Root()), "\\");

    // Linked directly, bypassing the placeholders: a missing parent, a cycle
    // of identifiers and a folder that is its own parent.
    auto orphan = std::make_unique<CFoundObject>(Entry(20, 99, "orphan.txt"));
    EXPECT_EQ(tree.GetFullPath(*tree.AddToIndexes(std::move(orphan))), "");
    tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(30, 31, "x", FO_FOLDER)));
    tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(31, 30, "y", FO_FOLDER)));
    CFoundObject* looped = tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(32, 30, "in-cycle.txt")));
    EXPECT_EQ(tree.GetFullPath(*looped), "y\\x\\");
    tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(40, 40, "top", FO_FOLDER)));
    CFoundObject* underTop = tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(41, 40, "t.txt")));
    EXPECT_EQ(tree.GetFullPath(*underTop), "\\");

    // A chain far deeper than any real one ends without hanging.
    for (std::uint64_t id = 1000; id < 11000; ++id)
        tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(id, id + 1, "d", FO_FOLDER)));
    CFoundObject* deep = tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(50, 1000, "deep.txt")));
    const std::string path = tree.GetFullPath(*deep);
    EXPECT_FALSE(path.empty());
    EXPECT_LT(path.size(), 2u * 10000);
}

TEST_F(FoundTreeTest, MarkHasDeletedWalksUpToRootAndSurvivesCycles) {
    CFoundObject* a = tree.AddObject(Entry(10, kRootId, "a", FO_FOLDER));
    CFoundObject* b = tree.AddObject(Entry(11, 10, "b", FO_FOLDER));
    CFoundObject* c = tree.AddObject(Entry(12, 11, "c", FO_FOLDER | FO_DELETED));
    CFoundObject* other = tree.AddObject(Entry(13, kRootId, "other", FO_FOLDER));
    tree.MarkHasDeleted(*c);
    for (CFoundObject* f : {c, b, a, tree.Root()}) EXPECT_TRUE(f->HasDeleted()) << f->GetName();
    EXPECT_FALSE(other->HasDeleted());

    // A second mark with the upper folders marked already still reaches Root.
    tree.Root()->Flags &= ~FO_HAS_DELETED;
    CFoundObject* file = tree.AddObject(Entry(14, 11, "f", FO_DELETED));
    tree.MarkHasDeleted(*file);
    EXPECT_FALSE(file->HasDeleted());  // not a folder
    EXPECT_TRUE(tree.Root()->HasDeleted());

    // A deleted object added marks the folders above it by itself.
    CFoundObject* d = tree.AddObject(Entry(15, kRootId, "d", FO_FOLDER));
    CFoundObject* e = tree.AddObject(Entry(16, 15, "e", FO_FOLDER));
    ASSERT_FALSE(d->HasDeleted());
    tree.AddObject(Entry(17, 16, "gone.txt", FO_DELETED));
    EXPECT_TRUE(d->HasDeleted());
    EXPECT_TRUE(e->HasDeleted());

    CFoundObject* x = tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(30, 31, "x", FO_FOLDER)));
    CFoundObject* y = tree.AddToIndexes(std::make_unique<CFoundObject>(Entry(31, 30, "y", FO_FOLDER)));
    tree.MarkHasDeleted(*x);
    EXPECT_TRUE(x->HasDeleted());
    EXPECT_TRUE(y->HasDeleted());
}

TEST_F(FoundTreeTest, TypeNames) {
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, "docs", FO_FOLDER)), "Folder");
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, "report.pdf")), "PDF File");
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, "archive.tar.gz")), "GZ File");
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, "README")), "File");
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, ".profile")), "File");
    EXPECT_EQ(tree.GetTypeName(Entry(1, 0, nullptr)), "File");
}

TEST_F(FoundTreeTest, RecordsTheTreeMakesBelongToTheOwnersVolume) {
    CFoundObject owner;
    auto* volume = reinterpret_cast<CVolume*>(&owner);  // never dereferenced
    CFoundTree owned{&owner, &db, nullptr};
    owner.Volume = volume;  // a volume names itself after its tree exists
    owned.AddToIndexes(owner);
    owned.AddToIndexes(owner);  // linked once only
    EXPECT_EQ(owned.Count(), 1u);
    CFoundObject* file = owned.AddObject(Entry(10, 7, "a"));
    EXPECT_EQ(file->Volume, volume);
    EXPECT_EQ(owned.FindFirstById(7)->Volume, volume);
    owned.Clear();
    EXPECT_EQ(owned.Root()->Volume, volume);
    EXPECT_EQ(owned.Count(), 0u);  // the volume's node is only unlinked
}

TEST_F(FoundTreeTest, WorkersAddWhileTheInterfaceReads) {
    constexpr int kPerThread = 3000;
    tree.BuildOffsetIndex();
    std::atomic<bool> done{false};
    auto parser = [&](std::uint64_t base) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::uint64_t id = base + i;
            // Folders arrive after their children half of the time.
            if (i % 2 == 0) tree.AddObject(Entry(id, id + 1, "file.txt", FO_DELETED, id * 512));
            else tree.AddObject(Entry(id, kRootId, "dir", FO_FOLDER, id * 512));
        }
    };
    auto scanner = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            CFoundObject hit = Hit(i % 2 ? 1000 : 1001, 100000000ull + i * 4096ull);
            tree.AddSignatureFile(hit);
        }
    };
    std::size_t reads = 0;
    std::thread reader([&] {
        while (!done) {
            // Rows read as a view reads them: a row may be gone by the time it is asked for.
            for (std::size_t row = 0; row < tree.ChildCount(ID_LOST_FRAGMENTS); ++row) {
                CFoundObject* child = tree.ChildAt(ID_LOST_FRAGMENTS, row);
                if (!child) break;
                reads += tree.CountBelow(kRootId) > 0;
                const CFoundObject copy = tree.Snapshot(*child);
                reads += copy.GetName().size();
                for (CFoundObject* grandChild : tree.FindChildren(copy.Id)) reads += tree.GetFullPath(*grandChild).size();
            }
            tree.WithLock([&] {
                for (CFoundObject* group : tree.FindChildren(ID_LOST_FILES)) reads += group->GetName().size();
            });
            if (CFoundObject* next = tree.FindAfterOffset(100000000ull)) tree.MarkHasDeleted(*next);
        }
    });
    std::thread one(parser, 1'000'000), two(parser, 2'000'000), three(scanner);
    one.join();
    two.join();
    three.join();
    done = true;
    reader.join();

    EXPECT_GT(reads, 0u);
    EXPECT_EQ(tree.SignatureFileCount(), static_cast<std::uint32_t>(kPerThread));
    // Every placeholder was taken over by its folder: Root, 2 x 3000 objects,
    // 3000 signature files and the one group folder of both types.
    EXPECT_TRUE(tree.FindChildren(ID_LOST_FRAGMENTS).empty());
    EXPECT_EQ(tree.Count(), 1u + 2 * kPerThread + kPerThread + 1);
    for (std::uint64_t base : {1'000'000u, 2'000'000u})
        EXPECT_EQ(tree.FindChildren(base + 1).size(), 1u);
    // The counts followed every placeholder taken over.
    EXPECT_EQ(tree.CountBelow(kRootId), 2u * kPerThread);
    EXPECT_EQ(tree.CountBelow(ID_LOST_FRAGMENTS), 0u);
    EXPECT_EQ(tree.CountBelow(ID_LOST_FILES), kPerThread + 1u);
}

}  // namespace
}  // namespace tl
