#include "storage/image_creation.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "app/app_messages.h"
#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "platform/read_only_file.h"
#include "platform/text.h"
#include "platform/thread_priority.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "storage/volume_info.h"

namespace tl {
namespace {

constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005);  // E_FAIL
// A piece that cannot be read is read again in this many smaller pieces:
// 4096 -> 256 -> 16 -> 1 sectors. One bad sector costs 48 reads; a chunk
// that is unreadable throughout costs every one of its sectors once.
constexpr std::uint64_t kSplitFactor = 16;

// Consecutive unreadable sectors, gathered across pieces and chunks so that
// each run is logged once with its first sector and its length.
class UnreadableRuns {
public:
    UnreadableRuns(CImageCreation& job, CEventLog* log, const CLanguages* texts) : job_(job), log_(log), texts_(texts) {}
    void Readable() { Flush(); }
    void Unreadable(std::uint64_t sector) {
        if (length_ != 0 && start_ + length_ != sector) Flush();
        if (length_ == 0) start_ = sector;
        ++length_;
        job_.UnreadableSectors.fetch_add(1);
    }
    void Flush() {
        if (length_ == 0) return;
        if (log_)
            log_->LogError(FormatMessageText(texts_, ids::kImageCantReadSector, static_cast<std::int64_t>(start_)) +
                           FormatMessageText(texts_, ids::kImageRunZeroed, static_cast<std::int64_t>(length_)));
        length_ = 0;
    }

private:
    CImageCreation& job_;
    CEventLog* log_;
    const CLanguages* texts_;
    std::uint64_t start_ = 0;
    std::uint64_t length_ = 0;
};

// Reads `count` sectors from `first` into `out` in pieces of `piece`
// sectors; a piece that comes back short is read again in smaller pieces,
// down to single sectors, and a single sector that stays unreadable becomes
// zeros. False when the job was stopped meanwhile.
bool ReadPieces(CVolume& volume, CImageCreation& job, UnreadableRuns& runs, std::uint8_t* out, std::uint64_t first,
                std::uint64_t count, std::uint64_t piece) {
    for (std::uint64_t done = 0; done < count;) {
        if (job.StopRequested()) return false;
        const std::uint64_t length = std::min(piece, count - done);
        std::uint8_t* at = out + done * kSectorBytes;
        const std::uint64_t got = volume.ReadSectors(at, first + done, length);
        const std::uint64_t whole = std::min<std::uint64_t>(got / kSectorBytes, length);
        if (whole > 0) runs.Readable();
        if (whole < length) {
            if (length == 1) {
                std::memset(at, 0, kSectorBytes);
                runs.Unreadable(first + done);
            } else if (!ReadPieces(volume, job, runs, at + whole * kSectorBytes, first + done + whole, length - whole,
                                   std::max<std::uint64_t>(1, piece / kSplitFactor))) {
                return false;
            }
        }
        done += length;
    }
    return true;
}

// The image's length: the volume's sector count, or its size where it has none.
std::uint64_t ImageSectors(const CVolume& v) { return v.TotalSectors ? v.TotalSectors : v.Size / kSectorBytes; }

// A file name holds no folder separators and no control characters.
std::string SafeFileName(std::string name) {
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return name;
}

}  // namespace

bool CImageCreation::WaitForEnd(std::uint32_t timeoutMs) {
    std::unique_lock lock(endMutex_);
    return endCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

bool CImageCreation::Ended() const {
    std::lock_guard lock(endMutex_);
    return ended_;
}

void CImageCreation::MarkEnded() {
    {
        std::lock_guard lock(endMutex_);
        ended_ = true;
    }
    endCv_.notify_all();
}

int CImageCreation::ProgressPercent() const {
    const std::uint64_t total = SectorTotal.load();
    if (total == 0) return 0;
    const auto percent = static_cast<unsigned __int128>(std::min(Position.load(), total)) * 100 / total;
    return static_cast<int>(percent);
}

std::uint64_t CImageCreation::KilobytesPerSecond() const {
    const std::uint64_t position = Position.load();
    const std::uint64_t elapsedMs = platform::TickCountMs() - StartTick.load();
    if (position == 0 || elapsedMs == 0) return 0;
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(position) * kSectorBytes / 1024 * 1000 / elapsedMs);
}

bool CImageCreation::CheckDestination(CEventLog* log, const CLanguages* texts) {
    const auto refuse = [&](std::string text) {
        if (log) log->LogError(text);
        Problem = std::move(text);
        Outcome = ImageOutcome::Refused;
        return false;
    };
    if (!SourceVolume) return refuse(FormatMessageText(texts, ids::kImageNoSectors, std::string("?")));
    CVolume& v = *SourceVolume;
    const std::string name = v.GetName();
    const std::uint64_t total = ImageSectors(v);
    SectorTotal = total;
    if (total == 0) return refuse(FormatMessageText(texts, ids::kImageNoSectors, name));

    const std::filesystem::path out = FileName;
    const std::filesystem::path folder = out.has_parent_path() ? out.parent_path() : std::filesystem::path(".");
    const std::string sourcePath = v.GetDevicePath();
    const auto outId = Queries.identify(out);
    const auto sourceId = sourcePath.empty() ? std::nullopt : Queries.identify(sourcePath);
    if (outId && sourceId && SameFile(*outId, *sourceId))
        return refuse(FormatMessageText(texts, ids::kImageIsSource, FileName, name));
    if (outId && outId->kind != platform::FileIdentity::Kind::Regular)
        return refuse(FormatMessageText(texts, ids::kImageNotAFile, FileName));

    // A file system that lives on the source device, or on part of it, is
    // the source: writing the image there would overwrite what is copied.
    if (sourceId && sourceId->kind == platform::FileIdentity::Kind::BlockDevice) {
        const auto sourceDevice = Queries.deviceNumber(sourcePath);
        const auto folderDevice = Queries.folderDevice(folder);
        if (sourceDevice && folderDevice) {
            bool overlaps = *sourceDevice == *folderDevice;
            auto source = Queries.extent(*sourceDevice);
            const auto target = Queries.extent(*folderDevice);
            if (source && target && source->disk == target->disk) {
                if (v.Kind == VK_FOUND || v.Kind == VK_VIRTUAL) {
                    // A region of its parent: only its own bytes are the source.
                    source->start += v.VolumeOffset;
                    source->length = std::min(source->length, total * kSectorBytes);
                }
                overlaps |= source->start < target->start + target->length && target->start < source->start + source->length;
            }
            if (overlaps) return refuse(FormatMessageText(texts, ids::kImageOnSource, FileName, name));
        }
    }

    int error = 0;
    const auto space = Queries.space(folder, error);
    if (!space) return refuse(FormatMessageText(texts, ids::kImageCantCreate, FileName, platform::ErrorText(error)));
    const bool countable = total <= std::numeric_limits<std::uint64_t>::max() / kSectorBytes;
    const std::uint64_t bytes = countable ? total * kSectorBytes : std::numeric_limits<std::uint64_t>::max();
    if (!countable || bytes > space->largestFile)
        return refuse(FormatMessageText(texts, ids::kImageTooLarge, name, SizeText(bytes, texts),
                                        SizeText(space->largestFile, texts), FileName));
    // An existing file of that name is replaced: its blocks are free again.
    const std::uint64_t reusable = outId ? outId->allocatedBytes : 0;
    const std::uint64_t room = space->freeBytes + std::min(reusable, std::numeric_limits<std::uint64_t>::max() - space->freeBytes);
    if (bytes > room)
        return refuse(FormatMessageText(texts, ids::kImageNoSpace, name, SizeText(bytes, texts), SizeText(room, texts), FileName));
    return true;
}

std::int32_t CImageCreation::Copy(CVolume& volume, CEventLog* log, const CLanguages* texts) {
    StartTime = platform::Now();
    StartTick = platform::TickCountMs();
    Outcome = ImageOutcome::Running;
    const auto end = [&](ImageOutcome outcome) {
        volume.Close();
        Running = 0;
        Outcome = outcome;
        platform::PostAppMessage(Window, msg::kImageWorkerDone);
    };
    if (!volume.OpenDrive()) {
        // The open failure is logged by the volume; the dialog hears of it
        // as an error instead of waiting for a copy that never comes.
        platform::PostAppMessage(Window, msg::kImageCreateFailed, 0, 0);
        end(ImageOutcome::Failed);
        return kFail;
    }
    platform::PositionalFile file;
    if (const int error = file.Create(FileName)) {
        Problem = FormatMessageText(texts, ids::kImageCantCreate, FileName, platform::ErrorText(error));
        if (log) log->LogError(Problem);
        platform::PostAppMessage(Window, msg::kImageCreateFailed, 0, error);
        end(ImageOutcome::Failed);
        return 0;
    }

    // The check before the start fixed the length; a worker run without it
    // takes the volume's.
    if (SectorTotal.load() == 0) SectorTotal = ImageSectors(volume);
    const std::uint64_t total = SectorTotal.load();
    Position = 0;
    UnreadableSectors = 0;
    Running = 1;
    std::vector<std::uint8_t> buffer(kImageChunkSectors * kSectorBytes);
    UnreadableRuns runs(*this, log, texts);
    int writeError = 0;
    bool stopped = false;
    while (Position.load() < total) {
        const std::uint64_t position = Position.load();
        const std::uint64_t count = std::min(kImageChunkSectors, total - position);
        if (StopRequested() || !ReadPieces(volume, *this, runs, buffer.data(), position, count, count)) {
            stopped = true;
            break;
        }
        // Only the volume's own sectors are written: the last chunk is as
        // long as what is left, so the image has exactly the volume's length.
        if ((writeError = file.WriteAt(position * kSectorBytes, buffer.data(), count * kSectorBytes)) != 0) {
            if (log) log->LogError(FormatMessageText(texts, ids::kImageCantWriteSector, static_cast<std::int64_t>(position)));
            break;
        }
        Position = position + count;
        platform::PostAppMessage(Window, msg::kImageChunkWritten);
    }
    runs.Flush();
    // Write-back failures show only when the data reaches the device.
    if (!stopped && writeError == 0) writeError = file.Sync();
    if (const int closeError = file.Close(); writeError == 0 && !stopped) writeError = closeError;

    const std::int64_t copied = static_cast<std::int64_t>(Position.load());
    const std::int64_t all = static_cast<std::int64_t>(total);
    ImageOutcome outcome;
    std::string last;
    if (writeError != 0) {
        outcome = ImageOutcome::Failed;
        last = FormatMessageText(texts, ids::kImageWriteFailed, FileName, copied, all, platform::ErrorText(writeError));
        Problem = last;
    } else if (stopped) {
        outcome = ImageOutcome::Stopped;
        last = FormatMessageText(texts, ids::kImageStopped, FileName, copied, all);
    } else if (const std::uint64_t missing = UnreadableSectors.load(); missing != 0) {
        outcome = ImageOutcome::SectorsMissing;
        last = FormatMessageText(texts, ids::kImageSectorsMissing, FileName, all, static_cast<std::int64_t>(missing));
    } else {
        outcome = ImageOutcome::Complete;
        last = FormatMessageText(texts, ids::kImageComplete, FileName, all);
    }
    if (log) {
        if (outcome == ImageOutcome::Complete) log->LogInfo(last);
        else log->LogError(last);
    }
    end(outcome);
    return 0;
}

std::string DefaultImageFileName(CVolume& volume, const CLanguages* texts) {
    std::string drive;
    switch (volume.Kind) {
    case VK_PHYSICAL:
        drive = std::to_string(volume.Letter);
        break;
    case VK_LOGICAL: {
        const std::string& path = volume.GetDevicePath();
        drive = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
        break;
    }
    default:
        drive = volume.GetName();
        break;
    }
    const std::string label(platform::TrimChars(volume.Label, " "));
    return SafeFileName(label.empty() ? FormatMessageText(texts, ids::kImageDefaultName, drive)
                                      : FormatMessageText(texts, ids::kImageDefaultNameWithLabel, drive, label));
}

std::int32_t CLocalComputer::CreateImage(CImageCreation& job, CVolume& volume) {
    return job.Copy(volume, &log_, texts_);
}

bool CLocalComputer::StartImageCreation(const std::shared_ptr<CImageCreation>& job) {
    if (!job) return false;
    job->Computer = this;
    if (!job->CheckDestination(&log_, texts_)) return false;
    std::lock_guard lock(imageMutex_);
    // Workers that have ended are joined before another one starts.
    std::erase_if(imageWorkers_, [](ImageWorker& w) {
        if (!w.job->Ended()) return false;
        if (w.thread.joinable()) w.thread.join();
        return true;
    });
    try {
        std::thread thread([this, job] {
            platform::SetCurrentThreadLowPriority();
            try {
                CreateImage(*job, *job->SourceVolume);
            } catch (...) {
                log_.LogError("CLocalComputer::CreateImage.FatalError");
                job->Running = 0;
                job->Outcome = ImageOutcome::Failed;
                platform::PostAppMessage(job->Window, msg::kImageWorkerDone);
            }
            job->MarkEnded();
        });
        imageWorkers_.push_back({std::move(thread), job});
    } catch (const std::system_error&) {
        log_.LogError("CLocalComputer::StartImageCreation.NoThread");
        job->Outcome = ImageOutcome::Failed;
        return false;
    }
    return true;
}

CVolume* CLocalComputer::LoadCreatedImage(const CImageCreation& job) {
    const ImageOutcome outcome = job.Outcome.load();
    if (!job.Ended() || (outcome != ImageOutcome::Complete && outcome != ImageOutcome::SectorsMissing)) return nullptr;
    return LoadImage(job.FileName);
}

void CLocalComputer::StopImageWorkers() {
    std::lock_guard lock(imageMutex_);
    for (ImageWorker& w : imageWorkers_) w.job->Stop();
    for (ImageWorker& w : imageWorkers_)
        if (w.thread.joinable()) w.thread.join();
    imageWorkers_.clear();
}

}  // namespace tl
