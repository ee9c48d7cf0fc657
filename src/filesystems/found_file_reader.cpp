#include "filesystems/found_file_reader.h"

#include <algorithm>
#include <cstring>

#include "filesystems/file_system.h"
#include "storage/volume.h"

namespace tl {

bool CFoundFileReader::Open(const CFoundObject& record) {
    Record = record;
    RunIndex = 0;
    RunDone = 0;
    Runs.clear();
    Resident.clear();
    IsResident = false;
    ResidentDone = 0;
    if (!Record.Volume) return false;
    BuildRuns(Runs);
    CheckBounds();
    const bool noSectors = std::all_of(Runs.begin(), Runs.end(), [](const SECTOR_RUN& r) { return r.SectorCount == 0; });
    if (noSectors && !(Record.Flags & FO_BY_SIGNATURE) && Record.Volume->FileSystem().ReadResident(Record, Resident)) {
        IsResident = true;
        return true;
    }
    return !Runs.empty();
}

// Runs from hostile records (a size of 2^63, a cluster beyond the volume)
// are cut at the volume's end: nothing is read past it.
void CFoundFileReader::CheckBounds() {
    const std::uint64_t total = Record.Volume ? Record.Volume->Size / 512 : 0;
    if (total == 0) return;
    for (SECTOR_RUN& run : Runs) {
        if (run.FirstSector == kSparseRunStart) continue;
        if (run.FirstSector >= total) run.SectorCount = 0;
        else run.SectorCount = std::min(run.SectorCount, total - run.FirstSector);
    }
}

std::size_t CFoundFileReader::BuildRuns(std::vector<SECTOR_RUN>& runs) const {
    const std::size_t before = runs.size();
    if (!(Record.Flags & FO_FS_RUNS) && (Record.Flags & FO_BY_SIGNATURE)) {
        // One contiguous run from the block where the file was found.
        if (Record.DataOffset != 0 && Record.Size != 0 && Record.Size != CFoundObject::kUnknownSize)
            runs.push_back({Record.DataOffset / 512, Record.Size / 512 + (Record.Size % 512 ? 1 : 0)});
        else
            runs.push_back({0, 0});
    } else if (Record.Volume) {
        std::vector<SECTOR_RUN> built;
        if (Record.Volume->FileSystem().BuildRuns(Record, built)) runs.insert(runs.end(), built.begin(), built.end());
    }
    return runs.size() - before;
}

std::uint64_t CFoundFileReader::SparseBytesAhead() {
    if (IsResident) return 0;
    while (RunIndex < Runs.size() && Runs[RunIndex].SectorCount <= RunDone) {
        ++RunIndex;
        RunDone = 0;
    }
    if (RunIndex >= Runs.size() || Runs[RunIndex].FirstSector != kSparseRunStart) return 0;
    const std::uint64_t sectors = Runs[RunIndex].SectorCount - RunDone;
    return sectors > ~std::uint64_t{0} / 512 ? ~std::uint64_t{0} / 512 * 512 : sectors * 512;
}

void CFoundFileReader::SkipSparse(std::uint64_t bytes) { RunDone += bytes / 512; }

std::uint64_t CFoundFileReader::ReadNext(void* buffer, std::uint64_t bytes) {
    if (IsResident) {
        const std::uint64_t n = std::min<std::uint64_t>(bytes, Resident.size() - ResidentDone);
        if (n) std::memcpy(buffer, Resident.data() + ResidentDone, static_cast<std::size_t>(n));
        ResidentDone += n;
        return n;
    }
    // Runs of no sectors are passed over.
    while (RunIndex < Runs.size() && Runs[RunIndex].SectorCount <= RunDone) {
        ++RunIndex;
        RunDone = 0;
    }
    if (RunIndex >= Runs.size() || bytes == 0 || !Record.Volume) return 0;
    const SECTOR_RUN& run = Runs[RunIndex];
    const std::uint64_t asked = bytes / 512 + (bytes % 512 ? 1 : 0);
    const std::uint64_t left = run.SectorCount - RunDone;
    const auto read = [&](std::uint64_t count) -> std::uint64_t {
        if (run.FirstSector == kSparseRunStart) {
            std::memset(buffer, 0, static_cast<std::size_t>(count * 512));
            return count * 512;
        }
        return Record.Volume->ReadSectors(buffer, run.FirstSector + RunDone, count);
    };
    if (asked < left) {
        const std::uint64_t got = read(asked);
        if (got == 0) return 0;
        RunDone += asked;
        return std::min<std::uint64_t>(got, bytes);
    }
    const std::uint64_t got = read(left);
    RunDone = 0;
    ++RunIndex;
    return got;
}

}  // namespace tl
