#include "recovery/recovery.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <optional>

#include "app/app_messages.h"
#include "app/app_settings.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "platform/files.h"
#include "platform/notify.h"
#include "platform/shell.h"
#include "platform/thread_priority.h"
#include "recovery/target_path.h"
#include "signatures/document_recognisers.h"
#include "signatures/signature_database.h"
#include "storage/volume.h"

namespace tl {

ProbableSizeAnswer AskProbableSize(const CFoundObject& record, const std::string& typeName) {
    ProbableSizeAnswer answer;
    std::string reply;
    platform::AppMessage m;
    m.id = platform::kProbableSizeQuestion;
    m.wparam = reinterpret_cast<std::uintptr_t>(&record);
    m.text = typeName;
    m.reply = &reply;
    if (platform::SendAppMessage(m) == 0 || reply.empty()) return answer;
    // "button choice scope custom-size"
    std::uint64_t values[4] = {0, 3, 1, 0};
    const char* p = reply.data();
    const char* const end = p + reply.size();
    for (std::uint64_t& v : values) {
        while (p < end && *p == ' ') ++p;
        const auto [next, ec] = std::from_chars(p, end, v);
        if (ec != std::errc()) return answer;
        p = next;
    }
    if (values[1] < 1 || values[1] > 4 || values[2] > 2) return answer;
    answer.button = static_cast<int>(values[0]);
    answer.choice = static_cast<int>(values[1]);
    answer.scope = static_cast<int>(values[2]);
    answer.customSize = values[3];
    return answer;
}

CRecovery::CRecovery(RecoveryContext context) : context_(context) {}

CRecovery::~CRecovery() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

std::string CRecovery::Text(unsigned id) const { return FormatMessageText(context_.texts, id); }
void CRecovery::LogInfo(const std::string& line) const {
    if (context_.log) context_.log->LogInfo(line);
}
void CRecovery::LogError(const std::string& line) const {
    if (context_.log) context_.log->LogError(line);
}

std::string CRecovery::CurrentTargetText() const {
    std::lock_guard lock(targetMutex_);
    return currentTarget_.string();
}

// ------------------------------------------------------------- the list

std::size_t CRecovery::BuildRecoveryList(const std::vector<CFoundObject*>& selection, CFoundTree& tree) {
    Items.clear();
    tree_ = &tree;
    constexpr std::size_t kMaxDepth = 4096;
    // Depth first; a folder met twice (a cycle in a hostile image) is entered once.
    std::vector<const CFoundObject*> entered;
    const auto addBelow = [&](auto& self, CFoundObject& folder, std::size_t depth) -> void {
        if (depth > kMaxDepth || std::find(entered.begin(), entered.end(), &folder) != entered.end()) return;
        entered.push_back(&folder);
        for (CFoundObject* child : tree.FindChildren(folder.Id)) {
            if (child == &folder) continue;
            if (child->IsFolder()) self(self, *child, depth + 1);
            else Items.push_back(child);
        }
    };
    for (CFoundObject* o : selection) {
        if (!o) continue;
        if (o->IsFolder()) {
            addBelow(addBelow, *o, 0);
            Items.push_back(o);  // passed over when copying: a folder's size is 0
        } else {
            Items.push_back(o);
        }
    }
    return Items.size();
}

// ------------------------------------------------------------ the worker

bool CRecovery::StartRecovery(CVolume& volume, const std::filesystem::path& folder) { return Start(volume, folder, false); }

bool CRecovery::StartOpening(CVolume& volume, const std::filesystem::path& folder) {
    return Start(volume, folder.empty() ? TemporaryFolder() : folder, true);
}

std::filesystem::path CRecovery::TemporaryFolder() const {
    if (context_.settings && context_.settings->CustomTempFolder() && !context_.settings->TempFolder().empty())
        return context_.settings->TempFolder();
    return platform::SystemTempFolder();
}

bool CRecovery::Start(CVolume& volume, const std::filesystem::path& folder, bool opening) {
    if (workerRunning_.load()) return false;
    if (thread_.joinable()) thread_.join();
    Volume = &volume;
    tree_ = &volume.FoundTree();
    TotalSize = 0;
    for (CFoundObject* item : Items) {
        const std::uint64_t size = tree_->Snapshot(*item).Size;
        if (size != CFoundObject::kUnknownSize) TotalSize += size;
    }
    RecoveredCount = 0;
    CompleteCount = SkippedCount = FailedCount = EmptyCount = 0;
    BytesWritten = 0;
    owners_.clear();
    {
        std::lock_guard lock(failuresMutex_);
        failures_.clear();
    }
    Current = 0;
    Running = 1;
    std::filesystem::path destination = folder;
    if (destination.empty() && context_.settings) destination = context_.settings->DestinationFolder();
    workerRunning_ = true;
    thread_ = std::thread([this, destination, opening] {
        platform::SetCurrentThreadLowPriority();
        try {
            Run(destination, opening);
        } catch (...) {
            LogError("Recovery_Thread.except0");
        }
        {
            std::lock_guard lock(waitMutex_);
            workerRunning_ = false;
        }
        doneCv_.notify_all();
    });
    return true;
}

bool CRecovery::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(waitMutex_);
    return doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !workerRunning_.load(); });
}

void CRecovery::Run(std::filesystem::path folder, bool opening) {
    opening_ = opening;
    Running = 1;
    Current = 0;
    for (std::size_t k = 0; k < Items.size(); ++k) {
        Current = static_cast<std::int32_t>(k);
        if (Running.load() == 0) {
            LogInfo(Text(ids::kRecoveryAborted));
            return;
        }
        CFoundObject& item = *Items[k];
        if (!opening && tree_->Snapshot(item).IsFolder()) {
            // A folder brings no bytes, but it comes back, empty or not.
            bool refused = false;
            const bool keep = !context_.settings || context_.settings->KeepFolderStructure();
            if (keep) {
                const std::filesystem::path target = TargetFor(item, folder, refused);
                if (!refused) CreateFolderChain(target);
            }
            continue;
        }
        // Each copy the opening engine makes is listed for deletion, not only the last.
        if (FileRecovery(item, folder) && opening) {
            std::lock_guard lock(tempMutex_);
            TempFiles.push_back(CurrentTargetText());
        }
    }
    if (opening) {
        Current = static_cast<std::int32_t>(Items.size());
        if (Running.load() == 0) {
            LogInfo(Text(ids::kRecoveryAborted));
            return;
        }
        OpenLast();
        return;
    }
    Current = static_cast<std::int32_t>(Items.size());
    // A stop during the last file ends the run as aborted too.
    LogInfo(Text(Running.load() == 0 ? ids::kRecoveryAborted : ids::kRecoveryCompleted));
}

void CRecovery::OpenLast() {
    const std::filesystem::path target = CurrentTargetText();
    std::error_code ec;
    if (target.empty() || !std::filesystem::is_regular_file(target, ec)) return;
    const int result = platform::OpenWithApplicationResult(target);
    OpenResult = result;
    if (result >= 32) LogInfo(FormatMessageText(context_.texts, ids::kFileOpenedSuccessfully, target.string()));
    else if (result == 31) LogError(FormatMessageText(context_.texts, ids::kOpenFailedNoApplication, target.string()));
    else LogError(FormatMessageText(context_.texts, ids::kOpenFailedSystemError, target.string(), result));
}

int CRecovery::DeleteTempFiles() {
    std::vector<std::filesystem::path> files;
    {
        std::lock_guard lock(tempMutex_);
        files = TempFiles;
    }
    if (files.empty()) return 1;
    const std::int64_t answer = platform::ShowMessageBox(0, Text(ids::kDeleteTemporaryFiles), Text(ids::kConfirmation),
                                                         platform::kMbYesNo | platform::kMbIconQuestion);
    if (answer != platform::kIdYes) return 1;
    for (const auto& f : files) platform::RemoveFile(f);
    return 1;
}

// ------------------------------------------------------------- one file

bool CRecovery::SettleSize(CFoundObject& item, const CFoundObject& copy) {
    if (!copy.HasEstimatedSize()) return true;
    SignatureDatabase* db = context_.signatures;
    std::uint16_t typeId = static_cast<std::uint16_t>(copy.TypeId);
    FileSignature* type = db ? db->FindById(typeId) : nullptr;
    const auto apply = [&](int choice, std::uint64_t custom) {
        std::uint64_t size = SizeByChoice(copy, static_cast<SizeChoice>(choice), custom, *tree_, db);
        // An estimate never runs past the type's default size: the distance
        // to the next file of the same type can be gigabytes of other data.
        // A size the user typed is taken as it is.
        if (choice != static_cast<int>(SizeChoice::Custom))
            if (const std::uint64_t cap = SizeByChoice(copy, SizeChoice::DefaultSize, 0, *tree_, db)) size = std::min(size, cap);
        // Nor past the end of a file whose structure holds it: a lost file
        // found inside another (an archive's entry) is most likely its part.
        if (const std::uint64_t end = tree_->EnclosingEnd(copy); end != ~std::uint64_t{0} && end > copy.DataOffset)
            size = std::min(size, end - copy.DataOffset);
        // Nor past the volume's end: a file cut there comes back as far as it goes.
        if (copy.Volume && copy.Volume->Size > copy.DataOffset) size = std::min(size, copy.Volume->Size - copy.DataOffset);
        // No estimate at all (a type the database does not know): the size
        // stays unknown rather than making an empty file of a lost one.
        if (size == 0) size = CFoundObject::kUnknownSize;
        tree_->WithLock([&] {
            item.Size = size;
            return 0;
        });
    };
    if (const int all = SizeChoiceForAll.load(); all >= 1 && all <= 4) {
        apply(all, std::uint64_t(static_cast<std::uint32_t>(SizeForAllKB.load())) * 1024);
        return true;
    }
    if (const std::uint32_t remembered = type ? type->SharedSizeChoice() : 0; remembered >= 1 && remembered <= 4) {
        // A choice remembered for the type holds for its later files too.
        apply(static_cast<int>(remembered), std::uint64_t{type->SharedDefaultSize()} * 1024);
        return true;
    }
    const ProbableSizeAnswer answer = AskProbableSize(copy, tree_->GetTypeName(copy));
    if (answer.button == ProbableSizeAnswer::kCancel) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryCancelled, copy.GetName()));
        return false;
    }
    if (answer.button != ProbableSizeAnswer::kOk) {
        LogError(FormatMessageText(context_.texts, ids::kRecoverySkipped, copy.GetName()));
        return false;
    }
    apply(answer.choice, answer.customSize);
    if (answer.scope == 1 && type) {
        std::optional<std::uint32_t> size;
        if (answer.choice == 4) size = static_cast<std::uint32_t>(std::min<std::uint64_t>(answer.customSize / 1024, 0xFFFFFFFFu));
        type->RememberSizeChoice(static_cast<std::uint32_t>(answer.choice), size);
    } else if (answer.scope == 2) {
        SizeChoiceForAll = answer.choice;
        if (answer.choice == 4) SizeForAllKB = static_cast<std::int32_t>(std::min<std::uint64_t>(answer.customSize / 1024, 0x7FFFFFFF));
    }
    return true;
}

std::vector<CRecovery::Failure> CRecovery::Failures() const {
    std::lock_guard lock(failuresMutex_);
    return failures_;
}

void CRecovery::Fail(const CFoundObject& copy, std::string reason, bool skipped) {
    ++(skipped ? SkippedCount : FailedCount);
    std::lock_guard lock(failuresMutex_);
    failures_.push_back(Failure{copy.GetName(), std::move(reason), skipped});
}

std::filesystem::path CRecovery::ClaimPath(const std::filesystem::path& parent, const std::string& segment,
                                           const CFoundObject* owner, bool asFolder) {
    const auto numbered = [&](int n) {
        // Folders keep their whole name; files keep their extension last
        // (a lone trailing dot is no extension).
        const std::string ext = asFolder ? "" : std::filesystem::path(segment).extension().string();
        if (ext.size() <= 1) return segment + " (" + std::to_string(n) + ")";
        return segment.substr(0, segment.size() - ext.size()) + " (" + std::to_string(n) + ")" + ext;
    };
    std::filesystem::path candidate = parent / segment;
    for (int n = 2; n < 100000; ++n) {
        std::error_code ec;
        const auto status = std::filesystem::symlink_status(candidate, ec);
        bool free;
        if (const auto it = owners_.find(candidate); it != owners_.end()) free = it->second == owner;
        // A folder may join one already there (an earlier run's); a file may
        // replace an earlier run's file, never a folder. A link is never followed.
        else if (asFolder) free = !std::filesystem::exists(status) || std::filesystem::is_directory(status);
        else free = !std::filesystem::is_directory(status);
        if (free) break;
        candidate = parent / numbered(n);
    }
    owners_[candidate] = owner;
    return candidate;
}

std::filesystem::path CRecovery::TargetFor(CFoundObject& item, const std::filesystem::path& folder, bool& refused) {
    refused = false;
    const bool keep = !context_.settings || context_.settings->KeepFolderStructure();
    auto chain = RecoveryChain(*tree_, item);
    if (!keep) chain.erase(chain.begin(), chain.end() - 1);
    std::vector<std::string> segments;
    for (const auto& link : chain) segments.push_back(link.first);
    const auto target = TargetInside(folder, segments);
    if (!target) {
        refused = true;
        return {};
    }
    // Each place is taken for its own record: made-safe names that meet get numbers.
    std::filesystem::path path = folder.lexically_normal();
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const bool last = i + 1 == chain.size();
        path = ClaimPath(path, chain[i].first, chain[i].second, !last || item.IsFolder());
    }
    return path;
}

bool CRecovery::CreateEmptyFile(const CFoundObject& copy, const std::filesystem::path& target) {
    platform::OutputFile out;
    if (out.Create(target) != 0) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryCreateFileFailed, target.string()));
        return false;
    }
    if (copy.CreationTime != 0 || copy.ModificationTime != 0) out.SetTimes(copy.AccessTime, copy.ModificationTime);
    return out.Close() == 0;
}

std::uint64_t CRecovery::FileRecovery(CFoundObject& item, const std::filesystem::path& folder) {
    if (!tree_ && item.Volume) tree_ = &item.Volume->FoundTree();
    if (!tree_) return 0;
    const CFoundObject copy = tree_->Snapshot(item);
    bool refused = false;
    std::filesystem::path target = TargetFor(item, folder, refused);
    if (refused) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryTargetOutside, copy.GetName(), folder.string()));
        Fail(copy, "its target would lie outside the destination");
        return 0;
    }
    const std::filesystem::path targetFolder = target.parent_path();
    if (!CreateFolderChain(targetFolder)) {
        LogInfo(FormatMessageText(context_.texts, ids::kCantCreateFolder, targetFolder.string()));
        Fail(copy, "its folder cannot be made");
        return 0;
    }
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
        LogError(FormatMessageText(context_.texts, ids::kFileExists, target.string()));
        // Flat, or asked to keep what is there: the new file takes a free name.
        const bool keep = !context_.settings || context_.settings->KeepFolderStructure();
        if (!opening_ && (!keep || (context_.settings && context_.settings->GetU32(AppSettings::kConfirmOverwrite) != 0))) {
            target = UniqueTarget(target);
            owners_[target] = &item;
        }
    }
    {
        std::lock_guard lock(targetMutex_);
        currentTarget_ = target;
    }
    if (!SettleSize(item, copy)) {
        Fail(copy, "skipped in the size question", true);
        return 0;
    }
    const CFoundObject sized = tree_->Snapshot(item);
    if (sized.Size == CFoundObject::kUnknownSize) {
        LogError(FormatMessageText(context_.texts, ids::kRecoverySkipped, sized.GetName()));
        Fail(sized, "its size is unknown", true);
        return 0;
    }
    std::string fullPath = tree_->GetFullPath(item);
    LogInfo(FormatMessageText(context_.texts, ids::kRecoveringFile, sized.GetName(), fullPath, targetFolder.string()));
    if (sized.Size == 0) {
        // An empty file comes back empty: the recovered tree is the disk's.
        if (!CreateEmptyFile(sized, target)) {
            Fail(sized, "the empty file cannot be made");
            return 0;
        }
        ++CompleteCount;
        ++EmptyCount;
        return 0;
    }
    std::string problem;
    const std::uint64_t copied = CopyFoundFile(item, &problem);
    if (copied) ++RecoveredCount;
    if (copied && copied >= sized.Size && problem.empty()) {
        ++CompleteCount;
    } else if (Running.load() == 0 && problem.empty()) {
        Fail(sized, "the recovery was stopped");
    } else if (!problem.empty()) {
        Fail(sized, problem);
    } else if (copied) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryIncomplete, copied, sized.Size, sized.GetName()));
        Fail(sized, "only " + std::to_string(copied) + " of its " + std::to_string(sized.Size) + " bytes could be read");
    } else {
        Fail(sized, "nothing of it could be read");
    }
    return copied;
}

bool CRecovery::CreateFolderChain(const std::filesystem::path& path) {
    std::filesystem::path part;
    if (const int error = platform::CreateFolderChain(path, &part); error != 0) {
        LogError(FormatMessageText(context_.texts, ids::kCantCreateFolder, part.string()) + " (" + std::strerror(error) + ")");
        return false;
    }
    return true;
}

std::uint64_t CRecovery::CopyFoundFile(CFoundObject& item, std::string* problem) {
    const CFoundObject copy = tree_ ? tree_->Snapshot(item) : item;
    std::filesystem::path target;
    {
        std::lock_guard lock(targetMutex_);
        target = currentTarget_;
    }
    CFoundFileReader reader;
    if (!reader.Open(copy)) {
        const std::string why = reader.Problem.empty() ? "its data could not be located on the volume" : reader.Problem;
        LogError(FormatMessageText(context_.texts, ids::kRecoveryUnreadable, copy.GetName(), why));
        if (problem) *problem = why;
        return 0;
    }
    platform::OutputFile out;
    if (out.Create(target) != 0) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryCreateFileFailed, target.string()));
        return 0;
    }
    if (buffer_.size() < kChunkBytes) buffer_.resize(kChunkBytes);
    const std::uint64_t size = copy.Size;
    std::uint64_t position = 0, written = 0;
    bool endsInHole = false;  // the copy's length is set once the last bytes are a hole
    try {
        while (position < size) {
            // A sparse run becomes a hole of the copy: the same zeros, neither
            // written out nor taking the destination's space (a hostile run
            // list can claim terabytes of them).
            if (const std::uint64_t hole = std::min(reader.SparseBytesAhead(), size - position) / 512 * 512; hole != 0) {
                if (const int error = out.Skip(hole); error != 0) {
                    LogError(FormatMessageText(context_.texts, ids::kRecoveryWriteSystemError, error));
                    break;
                }
                reader.SkipSparse(hole);
                endsInHole = true;
                position += hole;
                written += hole;
                BytesWritten += hole;
                if (Running.load() == 0) break;
                continue;
            }
            const std::uint64_t want = std::min(kChunkBytes, size - position);
            const std::uint64_t got = reader.ReadNext(buffer_.data(), want);
            if (got == 0) break;
            const std::uint64_t take = std::min(got, want);
            int error = 0;
            const std::uint64_t n = out.Write(buffer_.data(), take, error);
            if (n == 0 && error) {
                LogError(FormatMessageText(context_.texts, ids::kRecoveryWriteSystemError, error));
                break;
            }
            if (n < take) {
                LogError(FormatMessageText(context_.texts, ids::kRecoveryShortWrite, static_cast<int>(n), static_cast<int>(take)));
            }
            written += n;
            BytesWritten += n;
            endsInHole = false;
            const std::uint64_t percent = position == 0 ? 0 : (size >= 100 ? position / (size / 100) : position * 100 / size);
            CurrentPercent = static_cast<std::int32_t>(std::min<std::uint64_t>(percent, 100));
            platform::PostAppMessage(0, msg::kRecoveryProgress, reinterpret_cast<std::uintptr_t>(&item),
                                     CurrentPercent.load());
            if (n < take && error) break;  // the disk is full or failing: this file ends here
            if (Running.load() == 0) break;
            position += take;
        }
    } catch (...) {
        LogError("Recovery_Thread.RecoveryCycle.except");
    }
    CurrentPercent = 100;
    if (!reader.Problem.empty()) {
        // Bytes that cannot be decoded are never passed off as the file.
        LogError(FormatMessageText(context_.texts, ids::kRecoveryNotReadWhole, copy.GetName(), reader.Problem));
        if (problem) *problem = reader.Problem;
    }
    if (endsInHole) {
        if (const int error = out.SetLength(position); error != 0) {
            LogError(FormatMessageText(context_.texts, ids::kRecoveryWriteSystemError, error));
        }
    }
    if (copy.CreationTime != 0 || copy.ModificationTime != 0) out.SetTimes(copy.AccessTime, copy.ModificationTime);
    out.Close();
    if (written == 0) {
        LogError(FormatMessageText(context_.texts, ids::kRecoveryNothingWritten, target.string()));
        platform::RemoveFile(target);
        return 0;
    }
    return position;
}

}  // namespace tl
