#include "session/scan_session.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "platform/time.h"
#include "session/source_identity.h"
#include "storage/local_computer.h"
#include "storage/volume.h"

namespace tl {
namespace {

// Nodes the tree makes itself are made again when the records are loaded.
bool KeptInFile(const CFoundObject& r) {
    return !CFoundTree::IsContainerNode(r) && !(r.Flags & (FO_LOST_FOLDER | FO_VOLUME));
}

}  // namespace

CScanSession::CScanSession(CLocalComputer& computer) : computer_(computer) {}

CScanSession::~CScanSession() { End(false); }

std::string CScanSession::DefaultPath(const std::filesystem::path& settingsFolder, const std::string& sourcePath) {
    // The source's file name and a checksum of its whole path: two images of
    // one name in two folders keep two files. The path is made absolute
    // first, so that an image named from its own folder and from elsewhere
    // keeps one file.
    const std::string path = AbsoluteSourcePath(sourcePath);
    const auto* bytes = reinterpret_cast<const Bytef*>(path.data());
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08lx", crc32(0L, bytes, static_cast<uInt>(path.size())) & 0xFFFFFFFFul);
    std::string name = std::filesystem::path(path).filename().string();
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\') c = '_';
    if (name.empty()) name = "source";
    return (settingsFolder / "scans" / (name + "-" + tag + ".tlscan")).string();
}

std::string CScanSession::DefaultPath(const platform::SettingsStore& store, const std::string& sourcePath) {
    return store.Persistent() ? DefaultPath(store.File().parent_path(), sourcePath) : std::string();
}

bool CScanSession::Unfinished(const std::string& file) {
    CScanFile scan;
    std::string error;
    if (!scan.Open(file, false, error)) return false;
    return scan.Identity().has_value() && scan.Fact("state").value_or("") != "ended";
}

bool CScanSession::SaveCopy(const std::string& from, const std::string& to, const CVolume& source, std::string& error) {
    const std::filesystem::path folder = std::filesystem::absolute(to).parent_path();
    if (CLocalComputer::DestinationOnSource(source, folder.string())) {
        error = FormatMessageText(source.Context().texts, ids::kImageOnSource, to, source.GetName());
        return false;
    }
    std::error_code ec;
    if (std::filesystem::equivalent(from, to, ec)) return true;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) error = "cannot write " + to + ": " + ec.message();
    return !ec;
}

std::string CScanSession::SourcePathOf(const std::string& file, std::string& error) {
    CScanFile scan;
    if (!scan.Open(file, false, error)) return {};
    const std::optional<SourceIdentity> identity = scan.Identity();
    if (!identity || identity->path.empty()) error = "the scan file " + file + " names no source";
    return identity ? identity->path : std::string();
}

std::vector<CVolume*> CScanSession::Volumes() {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<int, CVolume*>> numbered;
    for (const auto& [volume, state] : states_) numbered.emplace_back(state.saved.number, volume);
    std::sort(numbered.begin(), numbered.end());
    std::vector<CVolume*> list;
    for (const auto& [number, volume] : numbered) list.push_back(volume);
    return list;
}

void CScanSession::Attach(CVolume& source) {
    source_ = &source;
    {
        std::lock_guard lock(mutex_);
        stopWriter_ = false;
    }
    failed_ = false;
    writer_ = std::thread([this] { WriterLoop(); });
    source.Journal = this;
}

void CScanSession::Detach() {
    if (source_ && source_->Journal.load() == this) source_->Journal = nullptr;
    for (auto& [volume, state] : states_)
        if (state.volume) state.volume->FoundTree().NoteChangedSlots(false);
}

bool CScanSession::Begin(const std::string& path, CVolume& source, AnalysisStages stages, std::string& error) {
    End(false);
    // The scan file is never written onto the disk it is about.
    const std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
    if (CLocalComputer::DestinationOnSource(source, folder.string())) {
        error = FormatMessageText(computer_.Texts(), ids::kImageOnSource, path, source.GetName());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    path_.clear();
    if (!file_.Create(path, error)) return false;
    states_.clear();
    nextNumber_ = 1;
    problems_.clear();
    VolumeState& state = states_[&source];
    state.volume = &source;
    state.saved = Describe(source, state);
    const bool written = file_.PutIdentity(IdentifySource(source)) &&
                         file_.PutFact("stages", std::to_string(static_cast<int>(stages))) &&
                         file_.PutFact("state", "running") && file_.PutFact("program", TL_VERSION) &&
                         file_.PutFact("created", platform::FormatUtcIso8601(platform::Now())) &&
                         file_.PutVolume(state.saved);
    if (!written) {
        error = "cannot write the scan file " + path + ": " + file_.LastError();
        file_.Close();
        return false;
    }
    savedStages_ = stages;
    path_ = path;
    computer_.Log().LogInfo(FormatMessageText(computer_.Texts(), ids::kScanKeptIn, path));
    Attach(source);
    return true;
}

namespace {

// The stages of a file-system run and a sector stage run after it, as one run.
AnalysisStages Joined(AnalysisStages before, AnalysisStages next) {
    const bool fileSystem = before != AnalysisStages::SectorsOnly && before != AnalysisStages::SectorStage &&
                            before != AnalysisStages::FreeSpaceSectorStage;
    if (!fileSystem) return next;
    if (next == AnalysisStages::SectorStage) return AnalysisStages::FileSystemAndSectors;
    if (next == AnalysisStages::FreeSpaceSectorStage) return AnalysisStages::FreeSpaceOnly;
    return next;
}

}  // namespace

bool CScanSession::Extend(CVolume& source, AnalysisStages stages, std::string& error) {
    if (path_.empty() || source_ != &source) {
        error = "no earlier run of " + source.GetName() + " is kept";
        return false;
    }
    End(false);
    // Its volumes are those of the last run: a drive list refreshed since
    // may have let some go.
    for (const auto& [volume, state] : states_)
        if (!computer_.Volumes().Share(volume)) {
            error = "a volume of the earlier run of " + source.GetName() + " is gone";
            return false;
        }
    if (!file_.Open(path_, true, error)) return false;
    savedStages_ = Joined(savedStages_, stages);
    const bool written = file_.Begin() && file_.PutFact("stages", std::to_string(static_cast<int>(savedStages_))) &&
                         file_.PutFact("state", "running") && file_.Commit();
    if (!written) {
        error = "cannot write the scan file " + path_ + ": " + file_.LastError();
        file_.Rollback();
        file_.Close();
        return false;
    }
    for (auto& [volume, state] : states_) volume->FoundTree().NoteChangedSlots(true);
    Attach(source);
    return true;
}

void CScanSession::Finish(bool completed) {
    if (!writer_.joinable() || finishing_) return;
    finishing_ = true;
    Job done;
    done.fact = "state";
    done.factValue = completed ? "ended" : "stopped";
    Enqueue(std::move(done));
    {
        std::lock_guard lock(mutex_);
        stopWriter_ = true;
    }
    wake_.notify_all();
    Detach();
}

void CScanSession::End(bool completed) {
    Finish(completed);
    if (writer_.joinable()) writer_.join();
    finishing_ = false;
    Detach();
    file_.Close();
}

SavedVolume CScanSession::Describe(CVolume& volume, const VolumeState& state) const {
    SavedVolume v = state.saved;
    v.kind = volume.Kind;
    v.offset = volume.VolumeOffset;
    v.size = volume.Size;
    v.typeCode = volume.FileSystem().TypeCode;
    v.name = volume.GetName();
    v.label = volume.Label;
    v.freeSpaceOnly = volume.FreeSpaceOnly.load();
    return v;
}

CScanSession::VolumeState& CScanSession::StateOf(CVolume& volume) {
    auto it = states_.find(&volume);
    if (it == states_.end()) {
        it = states_.emplace(&volume, VolumeState{}).first;
        it->second.volume = &volume;
        it->second.saved.number = nextNumber_++;
    }
    return it->second;
}

void CScanSession::FileSystemStageEnded(CVolume& volume) {
    CFoundTree& tree = volume.FoundTree();
    tree.NoteChangedSlots(true);
    std::lock_guard lock(mutex_);
    VolumeState& state = StateOf(volume);
    // A stage run anew replaces what the file held of the volume.
    state.loadedRows.clear();
    state.saved.rowBase = 0;
    state.generation = tree.Generation();
    state.cursor = tree.SlotCount();
    state.saved = Describe(volume, state);
    state.saved.fsOutcome = static_cast<std::uint32_t>(volume.FileSystemOutcome.load());
    state.saved.usedSpace = volume.FileSystem().UsedSpace;
    state.saved.sectorState = 0;
    state.saved.sectorDone = 0;
    Job job;
    job.volume = &volume;
    job.generation = state.generation;
    job.from = 0;
    job.to = state.cursor;
    job.saved = state.saved;
    job.clearRows = true;
    queue_.push_back(std::move(job));
    wake_.notify_all();
}

void CScanSession::SectorCheckpoint(CVolume& volume, std::uint64_t sector) {
    CFoundTree& tree = volume.FoundTree();
    std::lock_guard lock(mutex_);
    VolumeState& state = StateOf(volume);
    // A volume whose file-system stage was not kept (a sector scan alone)
    // is kept from its first find, with what an earlier file-system stage
    // of another run gave it: its records are among those written.
    if (state.generation != tree.Generation()) {
        tree.NoteChangedSlots(true);
        state.generation = tree.Generation();
        state.cursor = 0;
        state.saved.fsOutcome = static_cast<std::uint32_t>(volume.FileSystemOutcome.load());
        state.saved.usedSpace = volume.FileSystem().UsedSpace;
    }
    Job job;
    job.volume = &volume;
    job.generation = state.generation;
    job.from = state.cursor;
    job.to = tree.SlotCount();
    for (const std::size_t slot : tree.TakeChangedSlots())
        if (slot < state.cursor) job.changed.push_back(slot);
    state.cursor = job.to;
    state.saved = Describe(volume, state);
    state.saved.sectorState = std::max(state.saved.sectorState, 1);
    state.saved.sectorDone = std::max(state.saved.sectorDone, sector);
    job.saved = state.saved;
    queue_.push_back(std::move(job));
    wake_.notify_all();
}

void CScanSession::SectorStageEnded(CVolume& volume, bool completed) {
    SectorCheckpoint(volume, completed ? volume.Size / 512 : 0);
    if (!completed) return;
    std::lock_guard lock(mutex_);
    VolumeState& state = StateOf(volume);
    state.saved.sectorState = 2;
    Job job;
    job.volume = &volume;
    job.generation = state.generation;
    job.from = job.to = state.cursor;
    job.saved = state.saved;
    queue_.push_back(std::move(job));
    wake_.notify_all();
}

bool CScanSession::FileSystemKept(CVolume& volume) {
    std::lock_guard lock(mutex_);
    const auto it = states_.find(&volume);
    if (it == states_.end() || !it->second.fileSystemKept) return false;
    // Once: a later analysis of the volume in this run reads it again.
    it->second.fileSystemKept = false;
    return true;
}

std::optional<std::uint64_t> CScanSession::SectorResumePoint(CVolume& volume) {
    std::lock_guard lock(mutex_);
    const auto it = states_.find(&volume);
    if (it == states_.end()) return 0;
    VolumeState& state = it->second;
    // A scan of the free space alone skipped the space in use: a scan of
    // every sector starts over.
    const bool widened = state.saved.freeSpaceOnly && !volume.FreeSpaceOnly.load();
    const bool ended = std::exchange(state.sectorStageKept, false);
    if (ended && !widened) return std::nullopt;
    // Only the first sector stage after a load goes on: a later one of the
    // same session starts over.
    const bool pending = std::exchange(state.resumePending, false);
    std::uint64_t from = pending && !widened ? state.saved.sectorDone : 0;
    // A point past the volume's end is no point the scan reached.
    if (from > volume.Size / 512) {
        computer_.Log().LogWarning(FormatMessageText(computer_.Texts(), ids::kScanFileProblem, path_,
                                                     volume.GetName() + ": the sector scan claims to have reached sector " +
                                                         std::to_string(from) + ", past the volume's end; it starts over"));
        from = 0;
    }
    if (from > 0)
        computer_.Log().LogInfo(FormatMessageText(computer_.Texts(), ids::kScanResumed, volume.GetName(), from));
    state.saved.sectorDone = 0;
    return from;
}

void CScanSession::Enqueue(Job job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void CScanSession::WriterLoop() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopWriter_ || !queue_.empty(); });
        if (queue_.empty()) break;  // stopped, and everything written
        if (failed_.load()) {
            queue_.clear();
            continue;
        }
        lock.unlock();
        bool ok = file_.Begin();
        const auto began = Clock::now();
        std::size_t written = 0;
        lock.lock();
        // One transaction: jobs are added to it for a second at most, or
        // until it holds enough records.
        while (ok) {
            const auto elapsed = Clock::now() - began;
            if (written >= kRecordsPerCommit || elapsed >= std::chrono::milliseconds(kCommitMs)) break;
            if (queue_.empty()) {
                if (stopWriter_) break;
                wake_.wait_for(lock, std::chrono::milliseconds(kCommitMs) - elapsed);
                continue;
            }
            Job job = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            ok = WriteJob(job, written);
            lock.lock();
        }
        lock.unlock();
        if (ok) ok = file_.Commit();
        if (!ok) FailWriting(file_.LastError());
        lock.lock();
    }
}

bool CScanSession::WriteJob(const Job& job, std::size_t& written) {
    if (!job.fact.empty()) return file_.PutFact(job.fact, job.factValue);
    if (job.clearRows && !file_.DeleteRecords(job.saved.number)) return false;
    CFoundTree& tree = job.volume->FoundTree();
    std::vector<CFoundObject> copies;
    const auto rowOf = [&](std::size_t slot) {
        std::lock_guard lock(mutex_);
        return StateOf(*job.volume).Row(slot);
    };
    const auto put = [&](std::size_t slot, const CFoundObject& r) {
        if (!KeptInFile(r)) return true;
        if (!file_.PutRecord(rowOf(slot), r)) return false;
        // A long job is cut into transactions of its own size.
        if (++written >= kRecordsPerCommit) {
            if (!file_.Commit() || !file_.Begin()) return false;
            written = 0;
        }
        return true;
    };
    for (const std::size_t slot : job.changed) {
        copies.clear();
        if (!tree.CopySlots(slot, slot + 1, copies, job.generation)) return true;  // the tree was cleared since
        if (!copies.empty() && !put(slot, copies.front())) return false;
    }
    constexpr std::size_t kSlice = 4096;
    for (std::size_t from = job.from; from < job.to; from += kSlice) {
        copies.clear();
        if (!tree.CopySlots(from, std::min(job.to, from + kSlice), copies, job.generation)) return true;
        for (std::size_t i = 0; i < copies.size(); ++i)
            if (!put(from + i, copies[i])) return false;
    }
    return file_.PutVolume(job.saved);
}

void CScanSession::FailWriting(const std::string& why) {
    file_.Rollback();
    if (failed_.exchange(true)) return;
    computer_.Log().LogError(FormatMessageText(computer_.Texts(), ids::kScanFileWriteFailed, file_.Path(), why));
}

CVolume* CScanSession::FindOrAddVolume(CVolume& source, const SavedVolume& saved) {
    if (saved.number == 0) return &source;
    const auto find = [&]() -> CVolume* {
        for (CVolume* v : computer_.Volumes().Snapshot())
            if (v != &source && v->VolumeOffset == saved.offset && CLocalComputer::ExtentIn(source, *v)) return v;
        return nullptr;
    };
    if (CVolume* v = find()) return v;
    // A volume the sector stage found: found again by its boot sector.
    if (saved.offset < source.VolumeOffset) return nullptr;
    CFoundObject record;
    record.Init();
    record.ParentId = source.Id;
    record.DataOffset = saved.offset - source.VolumeOffset;
    record.TypeId = static_cast<std::int16_t>(saved.typeCode);
    record.Flags = FO_BY_SIGNATURE;
    computer_.AddFoundVolume(record);
    return find();
}

bool CScanSession::LoadVolume(VolumeState& state) {
    CVolume& v = *state.volume;
    CFoundTree& tree = v.FoundTree();
    tree.Clear();
    tree.AddToIndexes(v);
    OpenedFileSystem opened = OpenFileSystem(v, state.saved.typeCode);
    CFileSystem* parser = opened.parser.get();
    if (parser) {
        v.SetFileSystem(std::move(opened.parser));
        tree.WithLock([&] {
            tree.Root()->Id = opened.rootId;
            tree.Root()->ParentId = v.Id;
            tree.AddToIndexes(*tree.Root());
        });
        if (!parser->Reopen())
            problems_.push_back(v.GetName() + ": its file system could not be read again; its files are listed, "
                                                "and only those found by their signature can be recovered");
        parser->UsedSpace = state.saved.usedSpace;
    }
    v.FileSystemOutcome = static_cast<CVolume::FsOutcome>(state.saved.fsOutcome);
    v.FsFiles = 0;
    v.FsFolders = 0;
    v.ScanFiles = 0;
    const std::uint64_t done = state.saved.sectorState == 2 ? ~std::uint64_t{0} : state.saved.sectorDone;
    std::uint64_t skipped = 0;
    file_.ForEachRecord(
        state.saved.number, done,
        [&](const SavedRecord& saved) {
            CFoundObject r = saved.record;
            r.Volume = &v;
            // A record that claims to lie past its volume, or to be a node
            // only the tree makes (a volume, a placeholder), is left out.
            if (r.DataOffset > v.Size || ((r.Flags & FO_BY_SIGNATURE) && r.DataOffset == v.Size) || !KeptInFile(r)) {
                ++skipped;
                return true;
            }
            CFoundObject* stored = (r.Flags & FO_BY_SIGNATURE) ? tree.AddSignatureFile(r) : tree.AddObject(r);
            if (!stored || stored->Flags == FO_REFUSED) return true;
            if (parser) parser->NoteReopenedRecord(r);
            if (r.Flags & FO_BY_SIGNATURE) ++v.ScanFiles;
            else r.IsFolder() ? ++v.FsFolders : ++v.FsFiles;
            if (const auto slot = tree.SlotOf(*stored)) {
                if (state.loadedRows.size() <= *slot) state.loadedRows.resize(*slot + 1, -1);
                state.loadedRows[*slot] = saved.row;
            }
            ++loaded_;
            return true;
        },
        &skipped);
    if (skipped)
        problems_.push_back(v.GetName() + ": " + std::to_string(skipped) +
                            " saved records lie past the volume's end or could not be read; they are left out");
    v.BuildUsedIndex();
    v.State = 1;
    tree.PostChanges();
    state.generation = tree.Generation();
    state.cursor = tree.SlotCount();
    state.sectorStageKept = state.saved.sectorState == 2;
    state.resumePending = true;
    state.fileSystemKept = true;
    return true;
}

bool CScanSession::Load(const std::string& path, CVolume& source, bool goOn, std::string& error) {
    End(false);
    path_.clear();
    if (!file_.Open(path, goOn, error)) return false;
    problems_ = file_.Problems();
    const std::optional<SourceIdentity> saved = file_.Identity();
    if (!saved) {
        error = "the scan file " + path + " names no source";
        file_.Close();
        return false;
    }
    if (const std::string change = DescribeIdentityChange(*saved, IdentifySource(source)); !change.empty()) {
        error = "the scan file " + path + " was made of another source than " + source.GetName() + " (" +
                saved->path + "): " + change;
        file_.Close();
        return false;
    }
    savedStages_ = static_cast<AnalysisStages>(std::atoi(file_.Fact("stages").value_or("0").c_str()));
    if (savedStages_ > AnalysisStages::FreeSpaceSectorStage) savedStages_ = AnalysisStages::FileSystem;
    savedEnded_ = file_.Fact("state").value_or("") == "ended";
    states_.clear();
    nextNumber_ = 1;
    loaded_ = 0;
    int volumes = 0;
    for (const SavedVolume& v : file_.Volumes()) {
        nextNumber_ = std::max(nextNumber_, v.number + 1);
        CVolume* volume = FindOrAddVolume(source, v);
        if (!volume || states_.count(volume)) {
            problems_.push_back("the volume at byte " + std::to_string(v.offset) + " (" + v.name +
                                ") is not on the source any more; what was found on it is left out");
            continue;
        }
        VolumeState& state = states_[volume];
        state.volume = volume;
        state.saved = v;
        if (v.fsOutcome != 0 || v.sectorState != 0) {
            LoadVolume(state);
            ++volumes;
        }
    }
    computer_.Log().LogInfo(FormatMessageText(computer_.Texts(), ids::kScanFileLoaded, loaded_, volumes, path));
    for (const std::string& problem : problems_)
        computer_.Log().LogWarning(FormatMessageText(computer_.Texts(), ids::kScanFileProblem, path, problem));
    if (!goOn) {
        file_.Close();
        return true;
    }
    // Going on: the finds past each volume's saved point are made again, and
    // the rows of this run are numbered after the earlier ones.
    bool written = file_.Begin();
    for (auto& [volume, state] : states_) {
        if (state.saved.sectorState != 2) written = written && file_.DropScanRecordsPast(state.saved.number, state.saved.sectorDone);
        state.saved.rowBase = file_.LastSequence(state.saved.number) + 1;
        written = written && file_.PutVolume(state.saved);
        volume->FoundTree().NoteChangedSlots(true);
    }
    written = written && file_.PutFact("state", "running") && file_.Commit();
    if (!written) {
        error = "cannot write the scan file " + path + ": " + file_.LastError();
        file_.Rollback();
        file_.Close();
        return false;
    }
    path_ = path;
    Attach(source);
    return true;
}

}  // namespace tl
