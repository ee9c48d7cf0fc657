#include "signatures/analyser.h"

#include <algorithm>
#include <cstring>
#include <future>

#include "app/event_log.h"
#include "signatures/document_recognisers.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

SignatureMatcher MatcherFor(const CVolume& volume) {
    if (const SignatureDatabase* db = volume.Context().signatures) return SignatureMatcher::ForEnabledTypes(*db);
    return SignatureMatcher({});
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

    // Two buffers: one is parsed while the next chunk is read into the other.
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(kChunkSectors * 512),
                                            std::vector<std::uint8_t>(kChunkSectors * 512)};
    struct Chunk {
        std::uint64_t first = 0, sectors = 0;
    };
    std::vector<Chunk> chunks;
    for (const auto& range : Ranges)
        for (std::uint64_t done = 0; done < range.SectorCount;) {
            const std::uint64_t n = std::min(kChunkSectors, range.SectorCount - done);
            chunks.push_back({range.FirstSector + done, n});
            done += n;
        }
    const auto read = [this](std::vector<std::uint8_t>& buffer, Chunk c) {
        return volume_.ReadSectors(buffer.data(), c.first, c.sectors);
    };
    std::future<std::uint32_t> pending;
    if (!chunks.empty()) pending = std::async(std::launch::async, read, std::ref(buffers[0]), chunks[0]);
    std::uint64_t position = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const std::uint32_t got = pending.get();
        if (k + 1 < chunks.size() && volume_.PausePoint())
            pending = std::async(std::launch::async, read, std::ref(buffers[(k + 1) % 2]), chunks[k + 1]);
        if (!volume_.PausePoint()) break;  // stopped: what was found stays
        if (got == 0) {
            if (log) log->LogError("CAnalyser.Analyse_Cycle.ReadSectors: 0");
        } else {
            // Only the whole sectors read are parsed.
            ChunksRead.push_back(got / 512);
            ParseChunk(buffers[k % 2].data(), got / 512, chunks[k].first);
        }
        position += chunks[k].sectors;
        volume_.ProgressPos = position;
    }
    if (pending.valid()) pending.wait();
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

void CAnalyser::ParseChunk(const std::uint8_t* buffer, std::uint64_t sectors, std::uint64_t base) {
    for (std::uint64_t i = 0; i < sectors; ++i) {
        if ((i & 255) == 0 && !volume_.PausePoint()) return;
        const std::uint8_t* block = buffer + i * 512;
        hits_.clear();
        matcher_.Match(block, static_cast<std::size_t>((sectors - i) * 512), hits_);
        for (std::uint32_t index : hits_) {
            const FileSignature& type = matcher_.Type(index);
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
            record.Volume = &volume_;
            try {
                volume_.OnObjectFound(record);
            } catch (...) {
                // One bad hand-over never ends the scan.
            }
        }
    }
}

}  // namespace tl
