#include "signatures/analyser.h"

#include <algorithm>
#include <cstring>

#include "app/event_log.h"
#include "filesystems/found_tree.h"
#include "signatures/analyser_parser.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"

namespace tl {
namespace {

std::shared_ptr<const SignatureMatcher> MatcherFor(const CVolume& volume) {
    if (const SignatureDatabase* db = volume.Context().signatures)
        return std::make_shared<const SignatureMatcher>(SignatureMatcher::ForEnabledTypes(*db));
    return std::make_shared<const SignatureMatcher>(std::vector<const FileSignature*>{});
}

CAnalyserParser::Buffer NewChunkBuffer(std::uint64_t sectors) {
    return std::make_shared<std::vector<std::uint8_t>>(sectors * 512);
}

}  // namespace

CAnalyser::CAnalyser(CVolume& volume) : volume_(volume), matcher_(MatcherFor(volume)) {}

int CAnalyser::Analyse() {
    CEventLog* log = volume_.Context().log;
    if (volume_.Size == 0) {
        if (log) log->LogError("Volume size: 0");
        return 0;
    }
    if (Ranges.empty()) Ranges.push_back(SECTOR_RUN{0, volume_.Size / 512});
    if (!volume_.OpenDrive()) return 0;
    volume_.ProgressPos = 0;

    // Chunks are cut where a range ends and around the sectors that volumes
    // inside this one claim for their own scans: those are never read here.
    // The claims may grow while the scan runs (a volume found on the way).
    std::uint64_t chunkSectors = 0;
    for (const auto& range : Ranges) chunkSectors = std::max(chunkSectors, std::min(kChunkSectors, range.SectorCount));

    // Two buffers: the parser walks one while the next chunk is read into the
    // other. They hold the largest chunk (a small volume needs no more).
    CAnalyserParser::Buffer buffers[2] = {NewChunkBuffer(chunkSectors), NewChunkBuffer(chunkSectors)};
    std::shared_ptr<CAnalyserParser> parser = CAnalyserParser::Start(volume_, matcher_);
    struct FinishOnExit {
        std::shared_ptr<CAnalyserParser>& parser;
        ~FinishOnExit() { parser->Finish(); }
    } finish{parser};
    std::vector<std::shared_ptr<CAnalyserParser>> abandoned;
    bool parsing = false;  // the parser holds a chunk
    SECTOR_RUN held{};     // which one
    // Waits for the chunk with the parser. One that stops moving is left with
    // its buffer; a new parser takes over and scans that chunk again, read
    // anew, so that nothing it held is lost. A chunk that stalls two parsers
    // is skipped, and the log says which sectors were not scanned.
    const auto awaitParser = [&](CAnalyserParser::Buffer& itsBuffer) {
        if (!parsing) return;
        parsing = false;
        for (int attempt = 0; !parser->WaitDone(ParserStallMs); ++attempt) {
            if (log) log->LogWarning("CAnalyser.Analyse_Cycle.ParserWaitTimeout. Kill old and start new parser.");
            parser->Abandon();
            abandoned.push_back(parser);
            parser = CAnalyserParser::Start(volume_, matcher_);
            itsBuffer = NewChunkBuffer(chunkSectors);
            const std::string sectors = std::to_string(held.FirstSector) + "-" +
                                        std::to_string(held.FirstSector + held.SectorCount - 1);
            if (attempt > 0 || AnalysisBusy().load() == 0) {
                if (log && AnalysisBusy().load() != 0)
                    log->LogError("CAnalyser.Analyse_Cycle: sectors " + sectors + " were not scanned (the parser stalled twice)");
                return;
            }
            const std::uint32_t got = volume_.ReadSectors(itsBuffer->data(), held.FirstSector, held.SectorCount);
            if (got < 512) {
                if (log) log->LogError("CAnalyser.Analyse_Cycle: sectors " + sectors + " were not scanned (ReadSectors: 0)");
                return;
            }
            if (log) log->LogWarning("CAnalyser.Analyse_Cycle: sectors " + sectors + " are scanned again");
            parser->HandOver(itsBuffer, got / 512, held.FirstSector);
        }
        if (Checkpoint && AnalysisBusy().load() != 0)
            Checkpoint(std::min(held.FirstSector + held.SectorCount, parser->EarliestOpenSector()));
    };

    std::uint64_t position = 0;
    std::size_t k = 0;
    bool stopped = false;
    for (std::size_t r = 0; r < Ranges.size() && !stopped; ++r) {
        const SECTOR_RUN range = Ranges[r];
        for (std::uint64_t done = 0; done < range.SectorCount;) {
            if (!volume_.PausePoint()) {
                stopped = true;  // what was found stays
                break;
            }
            const std::uint64_t first = range.FirstSector + done;
            if (first < ResumeFrom) {
                const std::uint64_t skip = std::min(ResumeFrom - first, range.SectorCount - done);
                done += skip;
                position += skip;
                volume_.ProgressPos = position;
                continue;
            }
            std::uint64_t nextClaim = ~std::uint64_t{0};
            if (const std::uint64_t claimedEnd = volume_.ClaimedEnd(first, &nextClaim)) {
                const std::uint64_t skip = std::min(claimedEnd - first, range.SectorCount - done);
                done += skip;
                position += skip;
                volume_.ProgressPos = position;
                continue;
            }
            std::uint64_t n = std::min(kChunkSectors, range.SectorCount - done);
            if (nextClaim > first) n = std::min(n, nextClaim - first);
            CAnalyserParser::Buffer& buffer = buffers[k % 2];
            const std::uint32_t got = volume_.ReadSectors(buffer->data(), first, n);
            awaitParser(buffers[(k + 1) % 2]);
            ++k;
            if (!volume_.PausePoint()) {
                stopped = true;
                break;
            }
            if (got == 0) {
                if (log) log->LogError("CAnalyser.Analyse_Cycle.ReadSectors: 0");
            } else {
                // Only the whole sectors read are parsed.
                ChunksRead.push_back(got / 512);
                parser->HandOver(buffer, got / 512, first);
                held = SECTOR_RUN{first, got / 512};
                parsing = true;
            }
            done += n;
            position += n;
            volume_.ProgressPos = position;
            // Finds of a quiet stretch are not kept from the views until the next find.
            volume_.FoundTree().PostDueChanges();
        }
    }
    CAnalyserParser::Buffer last;
    awaitParser(last);
    // A parser left behind ends at its next step; one still stuck in a
    // hand-over after that is named, since it may touch the scan's objects.
    for (const auto& p : abandoned)
        if (!p->WaitEnded(2000) && log) log->LogWarning("CAnalyser.Analyse: a stalled parser is still running");
    return 0;
}

std::vector<SECTOR_RUN> CAnalyser::FreeRanges(std::vector<SECTOR_RUN> used, std::uint64_t total) {
    std::sort(used.begin(), used.end(), [](const SECTOR_RUN& a, const SECTOR_RUN& b) { return a.FirstSector < b.FirstSector; });
    std::vector<SECTOR_RUN> free;
    std::uint64_t at = 0;
    for (const auto& u : used) {
        if (u.FirstSector > at) free.push_back({at, std::min(u.FirstSector, total) - at});
        at = std::max(at, u.FirstSector + u.SectorCount);
        if (at >= total) break;
    }
    if (at < total) free.push_back({at, total - at});
    std::erase_if(free, [](const SECTOR_RUN& r) { return r.SectorCount == 0; });
    return free;
}

}  // namespace tl
