// The explorer at the scale of a large carving run, offscreen, in one run:
// a found-object tree of 1 000 000 records (10 000 folders, one folder of
// 200 000 files, 490 000 files spread over the folders, 300 000 files found
// by their signature), in the real main window.
//   - showing the folder of 200 000 files in the list, and sorting it by
//     each column, against std::sort of the same pointer array by name;
//   - memory: the views per shown row, the process per record;
//   - the GUI thread's lateness while a worker adds the 300 000
//     signature-found files with their group folder shown, and how many
//     model updates reached the list meanwhile.
//
//   build/release/bin/tl_ui_explorer_scale_bench [WORKDIR]
#include <QApplication>
#include <malloc.h>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "filesystems/found_tree.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/files_tree_view.h"
#include "ui/explorer/volume_explore_view.h"
#include "ui/main/main_frame.h"
#include "ui/main/qt_notification_sink.h"
#include "ui_bench_support.h"

namespace {

constexpr int kFolders = 10000;
constexpr int kBigFolderFiles = 200000;
constexpr int kSpreadFiles = 490000;
constexpr int kSignatureFiles = 300000;

// Resident memory of the process, in bytes, after the allocator gave back
// what was freed (the sort's buffers are not the views').
long long ResidentBytes() {
    malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    long long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

double Ms(const QElapsedTimer& t) { return t.nsecsElapsed() / 1e6; }

std::uint64_t Next(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 17;
}

tl::CFoundObject File(std::uint64_t id, std::uint64_t parent, std::uint64_t& random) {
    tl::CFoundObject r;
    r.Id = id;
    r.ParentId = parent;
    r.SetName("file_" + std::to_string(Next(random) % 1000000000) + (id % 3 == 0 ? ".jpg" : ".txt"));
    r.Size = Next(random) % (64ULL << 20);
    r.CreationTime = r.ModificationTime = 116444736000000000ULL + Next(random) % (1ULL << 50);
    if (id % 5 == 0) r.Flags |= tl::FO_DELETED;
    return r;
}

QModelIndex Child(const QAbstractItemModel& model, const QModelIndex& parent, const QString& name) {
    for (int row = 0; row < model.rowCount(parent); ++row)
        if (model.index(row, 0, parent).data().toString() == name) return model.index(row, 0, parent);
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    const std::filesystem::path work =
        argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path() / "tessa-loft-scale-bench";
    std::filesystem::create_directories(work);
    // An empty image: the tree is filled here, as the stages would fill it.
    const std::filesystem::path image = work / "empty.dsk";
    { std::ofstream create(image, std::ios::binary); }
    std::filesystem::resize_file(image, 64 << 20);

    auto sink = std::make_shared<tl::ui::CQtNotificationSink>();
    tl::platform::InstallNotificationSink(sink);
    int status = 0;
    {
        tl::AppOptions options;
        options.settingsFile = work / "settings.sqlite";
        std::filesystem::remove(options.settingsFile);
        options.isAdmin = [] { return true; };
        options.log.debugOutput = tl::CEventLog::DebugOutput();
        tl::CApp app(std::move(options));
        app.Start(true);
        tl::ui::CMainFrame frame(app, *sink);
        frame.resize(1024, 768);
        frame.show();
        QApplication::processEvents();
        if (!frame.OpenSource(QString::fromStdString(image.string()))) return 1;
        auto* explore = frame.findChild<tl::ui::CVolumeExploreView*>();
        tl::CVolume* volume = explore->Volume();
        if (!volume) return 1;
        tl::CFoundTree& tree = volume->FoundTree();
        const std::uint64_t root = tree.Root()->Id;
        // A type the first signature set knows, for the signature-found files.
        const auto jpeg = app.Signatures().Extensions().find("JPG");
        if (jpeg == app.Signatures().Extensions().end()) return 1;
        const auto jpegType = static_cast<std::int16_t>(jpeg->second->Id);

        const long long before = ResidentBytes();
        std::uint64_t random = 42;
        QElapsedTimer fill;
        fill.start();
        for (int f = 0; f < kFolders; ++f) {
            tl::CFoundObject folder;
            folder.Id = 10 + static_cast<std::uint64_t>(f);
            folder.ParentId = root;
            folder.Flags = tl::FO_FOLDER;
            folder.SetName("folder_" + std::to_string(f));
            tree.AddObject(folder);
        }
        tl::CFoundObject big;
        big.Id = 5;
        big.ParentId = root;
        big.Flags = tl::FO_FOLDER;
        big.SetName("DCIM");
        tree.AddObject(big);
        std::uint64_t id = 100000;
        for (int i = 0; i < kBigFolderFiles; ++i) tree.AddObject(File(id++, big.Id, random));
        for (int i = 0; i < kSpreadFiles; ++i) tree.AddObject(File(id++, 10 + static_cast<std::uint64_t>(i % kFolders), random));
        tree.BuildOffsetIndex();
        // The first signature-found file makes its group folder, which is shown below.
        const auto hit = [&](std::uint64_t offset) {
            tl::CFoundObject r;
            r.TypeId = jpegType;
            r.DataOffset = offset;
            r.Flags = tl::FO_BY_SIGNATURE | tl::FO_DELETED;
            tree.AddSignatureFile(r);
        };
        hit(1ULL << 40);
        tree.PostChanges();
        std::printf("filled %zu records in %.0f ms\n", tree.Count(), Ms(fill));
        QApplication::processEvents();

        // The folder of 200 000 files, shown and sorted.
        tl::ui::CFilesTreeView* folders = explore->TreeView();
        tl::ui::CFilesListModel* list = explore->ListView()->Model();
        const QModelIndex volumeNode = folders->Model()->index(0, 0);
        const QModelIndex fsRoot = folders->Model()->index(0, 0, volumeNode);
        const QModelIndex dcim = Child(*folders->Model(), fsRoot, QStringLiteral("DCIM"));
        if (!dcim.isValid()) return 1;
        const long long beforeRows = ResidentBytes();
        QElapsedTimer show;
        show.start();
        folders->setCurrentIndex(dcim);
        QApplication::processEvents();
        const double showMs = Ms(show);
        const long long rowBytes = ResidentBytes() - beforeRows;
        const int rows = list->rowCount();

        std::vector<tl::CFoundObject*> pointers = list->Rows();
        std::reverse(pointers.begin(), pointers.end());
        QElapsedTimer plain;
        plain.start();
        std::sort(pointers.begin(), pointers.end(),
                  [](const tl::CFoundObject* a, const tl::CFoundObject* b) { return a->Name < b->Name; });
        const double plainMs = Ms(plain);

        std::printf("\nlist of %d files (in the real window)\n", rows);
        std::printf("  %-34s %10s %10s\n", "step", "ms", "x sort");
        std::printf("  %-34s %10.1f %10s\n", "std::sort of the pointers by name", plainMs, "1.00");
        std::printf("  %-34s %10.1f %10.2f\n", "show the folder", showMs, showMs / plainMs);
        const char* columns[] = {"name", "size", "type", "date"};
        for (int column = 0; column < 4; ++column) {
            QElapsedTimer sort;
            sort.start();
            list->SortBy(column);
            QApplication::processEvents();
            const double ms = Ms(sort);
            std::printf("  sort by %-26s %10.1f %10.2f\n", columns[column], ms, ms / plainMs);
        }

        // 300 000 signature-found files added by a worker while their group
        // folder is shown, notified as the sector scan notifies them.
        const QModelIndex lost = Child(*folders->Model(), volumeNode, QString::fromStdString(tree.LostFiles()->GetName()));
        folders->expand(lost);
        const QModelIndex group = folders->Model()->index(0, 0, lost);
        if (!group.isValid()) return 1;
        folders->setCurrentIndex(group);
        QApplication::processEvents();
        std::size_t updates = 0;
        QObject::connect(list, &QAbstractItemModel::rowsInserted, [&updates] { ++updates; });
        QObject::connect(list, &QAbstractItemModel::modelReset, [&updates] { ++updates; });
        QObject::connect(list, &QAbstractItemModel::layoutChanged, [&updates] { ++updates; });
        QObject::connect(list, &QAbstractItemModel::dataChanged, [&updates] { ++updates; });
        tl::AnalysisBusy() = 1;  // the window refreshes as during a scan
        std::atomic<bool> done{false};
        QElapsedTimer adding;
        adding.start();
        std::thread worker([&] {
            for (int i = 1; i < kSignatureFiles; ++i) {
                hit((1ULL << 40) + static_cast<std::uint64_t>(i) * 4096);
                if (i % 64 == 0) tree.PostDueChanges();
            }
            tree.PostChanges();
            done = true;
        });
        const Lateness late = Measure([&] { return done.load(); }, 600000);
        worker.join();
        const double addMs = Ms(adding);
        // The last notifications, then the list as the window shows it.
        Measure([] { return false; }, 2500);
        tl::AnalysisBusy() = 0;
        frame.UpdateCommands();
        explore->Repaint();
        const int groupRows = list->rowCount();

        const long long total = ResidentBytes() - before;
        const std::size_t records = tree.Count();
        std::printf("\n%d signature-found files added in %.0f ms with their folder shown\n", kSignatureFiles, addMs);
        std::printf("  GUI thread lateness: worst %.1f ms, p99 %.1f ms over %zu ticks\n", late.worst, late.p99, late.ticks);
        std::printf("  model updates that reached the list: %zu (%.0f records per update)\n", updates,
                    updates ? double(kSignatureFiles) / double(updates) : 0.0);
        std::printf("  rows shown at the end: %d\n", groupRows);
        std::printf("\nmemory\n");
        std::printf("  views per shown row: %.1f bytes (a pointer is %zu)\n", double(rowBytes) / rows,
                    sizeof(void*));
        std::printf("  process per record: %.0f bytes (%zu records, %.0f MiB)\n", double(total) / double(records),
                    records, total / 1048576.0);
        if (groupRows != kSignatureFiles) {
            std::fprintf(stderr, "the group folder shows %d of %d files\n", groupRows, kSignatureFiles);
            status = 1;
        }
    }
    tl::platform::InstallNotificationSink(nullptr);
    return status;
}
