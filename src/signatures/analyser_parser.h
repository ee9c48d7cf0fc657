// The parser half of the sector scan: on a thread of its own (at the lowest
// priority) it walks the chunks the reader hands over, block by block,
// tests each block against the enabled types and hands every match to the
// volume. It also follows the files whose end is only known further on
// (content_rules.h) across the chunks, as long as they stay contiguous.
//
// The reader judges the parser by its progress, not by the clock: one that
// moves through its chunk, however slowly the machine lets it, is waited
// for. One that stops moving is abandoned and never freed under its own
// feet: the parser, its chunk buffer, the matcher and the volume are shared,
// and its thread holds them until it returns. An abandoned parser hands
// nothing over any more once it wakes up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "signatures/content_rules.h"
#include "signatures/signature_matcher.h"

namespace tl {

class CVolume;
struct CFoundObject;

class CAnalyserParser : public std::enable_shared_from_this<CAnalyserParser> {
public:
    using Buffer = std::shared_ptr<std::vector<std::uint8_t>>;

    // A parser with its thread running, waiting for a chunk.
    static std::shared_ptr<CAnalyserParser> Start(CVolume& volume, std::shared_ptr<const SignatureMatcher> matcher);
    ~CAnalyserParser();

    // Gives the parser `sectors` sectors of `buffer`, the first of which is
    // sector `base` of the volume. The parser keeps the buffer until done.
    void HandOver(Buffer buffer, std::uint64_t sectors, std::uint64_t base);
    // Waits until the chunk handed over is parsed. False when the parser
    // has not moved for `stallMs` (at most a second once the analysis is
    // being stopped); time the volume's worker spends paused does not count.
    bool WaitDone(std::uint32_t stallMs);
    // The first sector of the earliest file still followed for its end; all
    // ones when none is. Call after WaitDone.
    std::uint64_t EarliestOpenSector();
    // Leaves a parser that does not answer to itself.
    void Abandon();
    // Waits up to `ms` for an abandoned parser's thread to end: true when it
    // has, and so touches nothing of the scan any more.
    bool WaitEnded(std::uint32_t ms);
    // Closes the files still followed (their sizes are what was found) and
    // ends the thread; call after WaitDone.
    void Finish();

    // The type of the last record handed over (0 before any).
    std::atomic<std::int32_t> LastTypeId{0};

    // Files followed at once, at most: a new one closes the oldest.
    static constexpr std::size_t kMaxOpenFiles = 16;

private:
    CAnalyserParser(CVolume& volume, std::shared_ptr<const SignatureMatcher> matcher);
    void Run();
    void ParseChunk(const std::uint8_t* buffer, std::uint64_t sectors, std::uint64_t base);
    void ParseBlock(const std::uint8_t* buffer, std::uint64_t sectors, std::uint64_t i, std::uint64_t base);
    // The file's first bytes for a rule that looks past the chunk's end.
    // How far a file is followed for its end.
    std::uint64_t FollowLimit(std::int16_t type, std::uint64_t offset, const EndScanner& scanner, std::uint64_t limit) const;
    std::span<const std::uint8_t> HeadFor(const CFoundObject& record, std::span<const std::uint8_t> rest);

    struct OpenFile {
        CFoundObject* stored;
        std::unique_ptr<EndScanner> scanner;
        std::uint64_t fed;
        std::uint64_t limit;
        std::int16_t type;
        std::uint64_t offset;
    };
    // Feeds `bytes` (the file's next ones) to `file`; true when it is done with.
    bool FeedOpen(OpenFile& file, std::span<const std::uint8_t> bytes);
    void CloseOpenFiles();
    bool Live() const;
    void Moved() { progress_.fetch_add(1, std::memory_order_relaxed); }
    // One log line for a failure the scan goes on after.
    void LogFailure(const char* where, const char* what) const;

    CVolume& volume_;
    std::shared_ptr<CVolume> holdsVolume_;  // when the volume is shared-owned
    std::shared_ptr<const SignatureMatcher> matcher_;
    std::vector<std::uint32_t> hits_;
    std::vector<OpenFile> open_;
    std::uint64_t openNextSector_ = 0;  // where the open files go on
    std::vector<std::uint8_t> head_;

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    Buffer buffer_;
    std::uint64_t sectors_ = 0, base_ = 0;
    bool work_ = false, done_ = true, quit_ = false, ended_ = false;
    std::atomic<bool> abandoned_{false};
    // Moves with every 256 blocks and every piece fed to a content rule.
    std::atomic<std::uint64_t> progress_{0};
};

}  // namespace tl
