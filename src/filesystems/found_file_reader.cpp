#include "filesystems/found_file_reader.h"

#include <algorithm>
#include <cstring>

#include "storage/volume.h"

namespace tl {
namespace {

// Holes of compressed content are counted a bounded number of units per
// call: a hostile size claims millions of them.
constexpr std::uint64_t kMaxHoleUnitsPerCall = 1 << 16;
constexpr std::uint64_t kMaxSectors = ~std::uint64_t{0} / 512;

}  // namespace

bool CFoundFileReader::Open(const CFoundObject& record) {
    Record = record;
    RunIndex = 0;
    RunDone = 0;
    Runs.clear();
    Resident.clear();
    IsResident = false;
    ResidentDone = 0;
    Position = 0;
    ValidBytes = ~std::uint64_t{0};
    Decoder.reset();
    Problem.clear();
    unit_.clear();
    unitIndex_ = ~std::uint64_t{0};
    if (!Record.Volume) return false;
    const bool contiguous = !(Record.Flags & FO_FS_RUNS) && (Record.Flags & FO_BY_SIGNATURE);
    if (!contiguous) {
        CONTENT_FORM form;
        Record.Volume->FileSystem().DescribeContent(Record, form);
        if (!form.Problem.empty()) {
            Problem = std::move(form.Problem);
            return false;
        }
        ValidBytes = form.ValidBytes;
        if (form.Decoder) {
            if (form.Decoder->UnitBytes == 0) return false;
            Decoder = std::move(form.Decoder);
            return true;
        }
    }
    BuildRuns(Runs);
    CheckBounds();
    const bool noSectors = std::all_of(Runs.begin(), Runs.end(), [](const SECTOR_RUN& r) { return r.SectorCount == 0; });
    if (noSectors && !contiguous && Record.Volume->FileSystem().ReadResident(Record, Resident)) {
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
        // One contiguous run from the block where the file was found; a
        // file found at the volume's very first block is one too.
        if (Record.Size != 0 && Record.Size != CFoundObject::kUnknownSize)
            runs.push_back({Record.DataOffset / 512, Record.Size / 512 + (Record.Size % 512 ? 1 : 0)});
        else
            runs.push_back({0, 0});
    } else if (Record.Volume) {
        std::vector<SECTOR_RUN> built;
        if (Record.Volume->FileSystem().BuildRuns(Record, built)) runs.insert(runs.end(), built.begin(), built.end());
    }
    return runs.size() - before;
}

void CFoundFileReader::PassEmptyRuns() {
    while (RunIndex < Runs.size() && Runs[RunIndex].SectorCount <= RunDone) {
        ++RunIndex;
        RunDone = 0;
    }
}

void CFoundFileReader::ZeroPastValid(std::uint8_t* out, std::uint64_t bytes) const {
    if (Position + bytes <= ValidBytes) return;
    const std::uint64_t from = ValidBytes > Position ? ValidBytes - Position : 0;
    std::memset(out + from, 0, static_cast<std::size_t>(bytes - from));
}

std::uint64_t CFoundFileReader::SparseBytesAhead() {
    if (IsResident) return 0;
    if (Decoder) {
        const std::uint64_t size = Decoder->Size;
        if (Position >= size) return 0;
        if (Position >= ValidBytes) return size - Position;
        if (Position % Decoder->UnitBytes != 0) return 0;
        const std::uint64_t first = Position / Decoder->UnitBytes;
        std::uint64_t count = 0;
        while (count < kMaxHoleUnitsPerCall && (first + count) * Decoder->UnitBytes < size && Decoder->IsHole(first + count))
            ++count;
        return std::min(count * Decoder->UnitBytes, size - Position);
    }
    PassEmptyRuns();
    if (RunIndex >= Runs.size()) return 0;
    if (Position >= ValidBytes) {
        // What the runs hold from here on is past the initialised length.
        std::uint64_t sectors = Runs[RunIndex].SectorCount - RunDone;
        for (std::size_t i = RunIndex + 1; i < Runs.size() && sectors < kMaxSectors; ++i)
            sectors += std::min(Runs[i].SectorCount, kMaxSectors - sectors);
        return std::min(sectors, kMaxSectors) * 512;
    }
    if (Runs[RunIndex].FirstSector != kSparseRunStart) return 0;
    const std::uint64_t sectors = Runs[RunIndex].SectorCount - RunDone;
    return std::min(sectors, kMaxSectors) * 512;
}

void CFoundFileReader::SkipSparse(std::uint64_t bytes) {
    Position += bytes;
    if (Decoder || IsResident) return;
    std::uint64_t sectors = bytes / 512;
    while (sectors > 0) {
        PassEmptyRuns();
        if (RunIndex >= Runs.size()) return;
        const std::uint64_t take = std::min(sectors, Runs[RunIndex].SectorCount - RunDone);
        RunDone += take;
        sectors -= take;
    }
}

std::uint64_t CFoundFileReader::ReadNext(void* buffer, std::uint64_t bytes) {
    if (IsResident) {
        const std::uint64_t n = std::min<std::uint64_t>(bytes, Resident.size() - ResidentDone);
        if (n) std::memcpy(buffer, Resident.data() + ResidentDone, static_cast<std::size_t>(n));
        ResidentDone += n;
        Position += n;
        return n;
    }
    if (Decoder) return ReadDecoded(static_cast<std::uint8_t*>(buffer), bytes);
    const std::uint64_t got = ReadRuns(buffer, bytes);
    ZeroPastValid(static_cast<std::uint8_t*>(buffer), got);
    Position += got;
    return got;
}

std::uint64_t CFoundFileReader::ReadDecoded(std::uint8_t* out, std::uint64_t bytes) {
    const std::uint64_t size = Decoder->Size, unitBytes = Decoder->UnitBytes;
    if (Position >= size || bytes == 0) return 0;
    const std::uint64_t unit = Position / unitBytes;
    if (unit != unitIndex_) {
        unitIndex_ = ~std::uint64_t{0};
        if (!Decoder->ReadUnit(unit, unit_)) {
            Problem = Decoder->Problem;
            return 0;
        }
        if (unit_.size() != unitBytes) return 0;
        unitIndex_ = unit;
    }
    const std::uint64_t within = Position - unit * unitBytes;
    const std::uint64_t n = std::min({bytes, unitBytes - within, size - Position});
    std::memcpy(out, unit_.data() + within, static_cast<std::size_t>(n));
    ZeroPastValid(out, n);
    Position += n;
    return n;
}

std::uint64_t CFoundFileReader::ReadRuns(void* buffer, std::uint64_t bytes) {
    // Runs of no sectors are passed over.
    PassEmptyRuns();
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
    return std::min<std::uint64_t>(got, bytes);
}

}  // namespace tl
