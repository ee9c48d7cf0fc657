#include "signatures/analyser_parser.h"

#include <algorithm>
#include <chrono>

#include "app/event_log.h"
#include "filesystems/found_tree.h"
#include "platform/thread_priority.h"
#include "signatures/document_recognisers.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {

CAnalyserParser::CAnalyserParser(CVolume& volume, std::shared_ptr<const SignatureMatcher> matcher)
    : volume_(volume), holdsVolume_(volume.weak_from_this().lock()), matcher_(std::move(matcher)) {}

std::shared_ptr<CAnalyserParser> CAnalyserParser::Start(CVolume& volume, std::shared_ptr<const SignatureMatcher> matcher) {
    std::shared_ptr<CAnalyserParser> parser(new CAnalyserParser(volume, std::move(matcher)));
    // The thread holds the parser (and through it the buffer and the
    // matcher) for as long as it runs.
    parser->thread_ = std::thread([self = parser] {
        self->Run();
        {
            std::lock_guard lock(self->mutex_);
            self->ended_ = true;
        }
        self->cv_.notify_all();
    });
    return parser;
}

CAnalyserParser::~CAnalyserParser() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        cv_.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

void CAnalyserParser::HandOver(Buffer buffer, std::uint64_t sectors, std::uint64_t base) {
    {
        std::lock_guard lock(mutex_);
        buffer_ = std::move(buffer);
        sectors_ = sectors;
        base_ = base;
        done_ = false;
        work_ = true;
    }
    cv_.notify_all();
}

bool CAnalyserParser::WaitDone(std::uint32_t stallMs) {
    using namespace std::chrono;
    constexpr milliseconds kSlice(50);
    constexpr milliseconds kStoppingStall(1000);
    std::uint64_t seen = progress_.load();
    auto last = steady_clock::now();
    milliseconds still(0);  // unpaused time without a move
    std::unique_lock lock(mutex_);
    while (!done_) {
        const milliseconds limit = AnalysisBusy().load() == 0 ? std::min(milliseconds(stallMs), kStoppingStall)
                                                              : milliseconds(stallMs);
        if (still >= limit) return false;
        cv_.wait_for(lock, kSlice, [this] { return done_; });
        const auto now = steady_clock::now();
        const auto moved = progress_.load();
        if (moved != seen) {
            seen = moved;
            still = milliseconds(0);
        } else if (!volume_.IsPaused()) {
            still += duration_cast<milliseconds>(now - last);
        }
        last = now;
    }
    return true;
}

std::uint64_t CAnalyserParser::EarliestOpenSector() {
    std::lock_guard lock(mutex_);
    std::uint64_t earliest = ~std::uint64_t{0};
    for (const OpenFile& file : open_) earliest = std::min(earliest, file.offset / 512);
    return earliest;
}

void CAnalyserParser::Abandon() {
    abandoned_ = true;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.detach();
}

bool CAnalyserParser::WaitEnded(std::uint32_t ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_; });
}

void CAnalyserParser::Finish() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool CAnalyserParser::Live() const { return !abandoned_.load(); }

void CAnalyserParser::LogFailure(const char* where, const char* what) const {
    if (CEventLog* log = volume_.Context().log) log->LogError(std::string(where) + ": " + what);
}

void CAnalyserParser::Run() {
    platform::SetCurrentThreadLowPriority();
    for (;;) {
        Buffer buffer;
        std::uint64_t sectors = 0, base = 0;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return work_ || quit_; });
            if (!work_) break;
            buffer = buffer_;
            sectors = sectors_;
            base = base_;
        }
        try {
            ParseChunk(buffer->data(), sectors, base);
        } catch (const std::exception& e) {
            LogFailure("CAnalyserParser.ParseChunk", e.what());  // the rest of the chunk is skipped
        } catch (...) {
            LogFailure("CAnalyserParser.ParseChunk", "unknown exception");
        }
        {
            std::lock_guard lock(mutex_);
            work_ = false;
            done_ = true;
            buffer_.reset();
        }
        cv_.notify_all();
    }
    if (Live()) {
        try {
            CloseOpenFiles();
        } catch (...) {
            LogFailure("CAnalyserParser.CloseOpenFiles", "the files followed keep the sizes they had");
        }
    }
}

// ------------------------------------------------------------ the blocks

void CAnalyserParser::ParseChunk(const std::uint8_t* buffer, std::uint64_t sectors, std::uint64_t base) {
    if (!Live() || !volume_.PausePoint()) return;
    // The files followed go on only where the bytes are contiguous with
    // what they were fed.
    if (base != openNextSector_) CloseOpenFiles();
    const std::span<const std::uint8_t> chunk(buffer, static_cast<std::size_t>(sectors * 512));
    std::erase_if(open_, [&](OpenFile& file) { return FeedOpen(file, chunk); });
    openNextSector_ = base + sectors;

    for (std::uint64_t i = 0; i < sectors; ++i) {
        if ((i & 255) == 0) {
            Moved();
            if (!Live() || !volume_.PausePoint()) return;
        }
        ParseBlock(buffer, sectors, i, base);
    }
}

void CAnalyserParser::ParseBlock(const std::uint8_t* buffer, std::uint64_t sectors, std::uint64_t i, std::uint64_t base) {
    const std::uint8_t* block = buffer + i * 512;
    const std::span<const std::uint8_t> rest(block, static_cast<std::size_t>((sectors - i) * 512));
    hits_.clear();
    matcher_->Match(block, rest.size(), hits_);
    for (std::uint32_t index : hits_) {
        if (!Live()) return;
        const FileSignature& type = matcher_->Type(index);
        CFoundObject record;
        record.Init();
        record.DataOffset = (base + i) * 512;
        record.TypeId = static_cast<std::int16_t>(type.Id & 0xFFFF);
        record.Size = CFoundObject::kUnknownSize;
        record.Flags = FO_BY_SIGNATURE | FO_DELETED;
        const std::span<const std::uint8_t> bytes(block, 512);
        if (record.TypeId == kTypeCompoundDocument) record.TypeId = RecogniseCompoundDocument(volume_, record, bytes);
        ApplySizeRules(record, bytes);
        if (record.TypeId == 24) {
            if (GetU32(block) != 0x454C4946) continue;  // "FILE"
            const std::uint16_t flags = GetU16(block + 22);
            record.Id = ~std::uint64_t{0};
            record.Flags = FO_MFT_RECORD;
            if (!(flags & 1)) record.Flags |= FO_DELETED;
            if (flags & 2) record.Flags |= FO_FOLDER;
        } else if (record.TypeId == 25) {
            record.Id = ~std::uint64_t{0};
            record.Flags = FO_MFT_RECORD;
        }

        // The content rules, for a file that will be stored: a block that
        // an object already holds (a file of the file system, or the match
        // of a type listed before) is only marked by the hand-over.
        std::unique_ptr<EndScanner> scanner;
        std::uint64_t fed = 0;
        std::uint64_t limit = std::uint64_t{type.SharedDefaultSize()} * 1024;
        if (record.TypeId >= 30 && volume_.ScanMode.load() == 0 && !volume_.FoundTree().FindByOffset(record.DataOffset)) {
            scanner = ApplyContentRules(record, HeadFor(record, rest));
            if (scanner && record.DataOffset == (base + i) * 512) {
                // What the file's first bytes tell of its reach counts as they are fed.
                limit = FollowLimit(record.TypeId, record.DataOffset, *scanner, limit);
                EndScanner::State state = EndScanner::State::Searching;
                while (state == EndScanner::State::Searching && fed < rest.size() && fed < limit) {
                    const auto piece = rest.subspan(static_cast<std::size_t>(fed),
                                                    static_cast<std::size_t>(std::min<std::uint64_t>(rest.size() - fed, limit - fed)));
                    fed += piece.size();
                    state = scanner->Feed(piece);
                    Moved();
                    limit = FollowLimit(record.TypeId, record.DataOffset, *scanner, limit);
                }
                const bool cut = state == EndScanner::State::Searching && fed >= limit;
                if (state == EndScanner::State::Found || cut)
                    if (auto size = scanner->Size()) {
                        record.Size = *size;
                        record.Flags |= scanner->Encloses() ? FO_CONTENT_SIZE | FO_ENCLOSING : FO_CONTENT_SIZE;
                    }
                if (state != EndScanner::State::Searching || fed >= limit) scanner.reset();
            } else {
                scanner.reset();
            }
        }

        if (!Live()) return;  // left while the rules ran
        LastTypeId = record.TypeId;
        record.Volume = &volume_;
        CFoundObject* stored = nullptr;
        try {
            stored = volume_.OnObjectFound(record);
        } catch (...) {
            // One bad hand-over never ends the scan.
            LogFailure("CAnalyserParser.ParseBlock.OnObjectFound", "the find is skipped");
        }
        Moved();
        if (scanner && stored && stored != &record) {
            if (open_.size() >= kMaxOpenFiles) {
                const OpenFile& oldest = open_.front();
                if (auto size = oldest.scanner->Size()) volume_.FoundTree().SetContentSize(*oldest.stored, *size, oldest.scanner->Encloses());
                open_.erase(open_.begin());
            }
            open_.push_back(OpenFile{stored, std::move(scanner), fed, limit, record.TypeId, record.DataOffset});
        }
    }
}

// How far a file is followed for its end: its type's default size (the
// larger one when the content refined the type), or as far as its header
// says it reaches, but never past the volume.
std::uint64_t CAnalyserParser::FollowLimit(std::int16_t type, std::uint64_t offset, const EndScanner& scanner,
                                           std::uint64_t limit) const {
    if (const SignatureDatabase* db = volume_.Context().signatures)
        if (const FileSignature* refined = db->FindById(static_cast<std::uint16_t>(type)))
            limit = std::max(limit, std::uint64_t{refined->SharedDefaultSize()} * 1024);
    limit = std::max(limit, scanner.Reach());
    if (volume_.Size == 0) return limit;
    const std::uint64_t room = volume_.Size > offset ? volume_.Size - offset : 0;
    return std::min(limit, std::max<std::uint64_t>(room, 512));
}

std::span<const std::uint8_t> CAnalyserParser::HeadFor(const CFoundObject& record, std::span<const std::uint8_t> rest) {
    if (!ContentRuleReadsAhead(record.TypeId) || rest.size() >= kContentHeadBytes) return rest;
    // The hit lies near the chunk's end: its first bytes come from the disk.
    const std::uint64_t first = record.DataOffset / 512;
    const std::uint64_t total = volume_.Size / 512;
    if (first >= total) return rest;
    const std::uint64_t count = std::min<std::uint64_t>(kContentHeadBytes / 512, total - first);
    head_.assign(static_cast<std::size_t>(count * 512), 0);
    const std::uint32_t got = volume_.ReadSectors(head_.data(), first, count);
    if (got <= rest.size()) return rest;
    return std::span<const std::uint8_t>(head_.data(), got);
}

// ----------------------------------------------------- files followed

bool CAnalyserParser::FeedOpen(OpenFile& file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty() && file.fed < file.limit) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), file.limit - file.fed));
        file.fed += n;
        const EndScanner::State state = file.scanner->Feed(bytes.first(n));
        Moved();
        switch (state) {
        case EndScanner::State::Found:
            volume_.FoundTree().SetContentSize(*file.stored, *file.scanner->Size(), file.scanner->Encloses());
            return true;
        case EndScanner::State::GaveUp:
            return true;
        case EndScanner::State::Searching:
            break;
        }
        bytes = bytes.subspan(n);
        file.limit = FollowLimit(file.type, file.offset, *file.scanner, file.limit);
    }
    if (file.fed < file.limit) return false;
    // The type's default size was passed: what the file holds by now.
    if (auto size = file.scanner->Size()) volume_.FoundTree().SetContentSize(*file.stored, *size, file.scanner->Encloses());
    return true;
}

void CAnalyserParser::CloseOpenFiles() {
    for (OpenFile& file : open_)
        if (auto size = file.scanner->Size()) volume_.FoundTree().SetContentSize(*file.stored, *size, file.scanner->Encloses());
    open_.clear();
}

}  // namespace tl
