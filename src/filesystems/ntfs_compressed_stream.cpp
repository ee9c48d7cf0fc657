#include "filesystems/ntfs_compressed_stream.h"

#include <algorithm>
#include <cstring>

#include "filesystems/lznt1.h"
#include "storage/volume.h"

namespace tl {

CNtfsCompressedStream::CNtfsCompressedStream(CVolume& volume, std::uint64_t clusterBytes, std::uint64_t volumeClusters,
                                             std::vector<MFT_RUN> runs, std::uint64_t size, std::uint64_t unitClusters)
    : volume_(volume), clusterBytes_(clusterBytes), volumeClusters_(volumeClusters), runs_(std::move(runs)),
      unitClusters_(unitClusters) {
    std::sort(runs_.begin(), runs_.end(), [](const MFT_RUN& a, const MFT_RUN& b) { return a.FirstVcn < b.FirstVcn; });
    Size = size;
    UnitBytes = unitClusters_ * clusterBytes_;
}

void CNtfsCompressedStream::Map(std::uint64_t unit, std::vector<Extent>* real, std::uint64_t& realClusters,
                                std::uint64_t& sparseClusters) const {
    realClusters = sparseClusters = 0;
    if (real) real->clear();
    if (unit > ~std::uint64_t{0} / unitClusters_ - 1) return;
    const std::uint64_t first = unit * unitClusters_, end = first + unitClusters_;
    // From the last run that starts at or before the unit's first cluster.
    // Each cluster is counted once: runs that overlap (damage) give no
    // cluster twice, so a unit never holds more than its own clusters.
    auto it = std::upper_bound(runs_.begin(), runs_.end(), first, [](std::uint64_t v, const MFT_RUN& r) { return v < r.FirstVcn; });
    if (it != runs_.begin()) --it;
    std::uint64_t cursor = first;
    for (; it != runs_.end() && it->FirstVcn < end; ++it) {
        const std::uint64_t from = std::max(cursor, it->FirstVcn), to = std::min(end, it->FirstVcn + it->Length);
        if (from >= to) continue;
        cursor = to;
        if (it->Sparse) {
            sparseClusters += to - from;
            continue;
        }
        realClusters += to - from;
        if (real) real->push_back(Extent{from - first, it->Lcn + (from - it->FirstVcn), to - from});
    }
}

bool CNtfsCompressedStream::IsHole(std::uint64_t unit) const {
    std::uint64_t real = 0, sparse = 0;
    Map(unit, nullptr, real, sparse);
    return real == 0;
}

bool CNtfsCompressedStream::Read(const Extent& e, std::uint8_t* out) const {
    // The runs were checked against the volume when they were decoded; a
    // cluster past its end all the same is a failed read.
    if (e.lcn >= volumeClusters_ || e.count > volumeClusters_ - e.lcn) return false;
    const std::uint64_t perCluster = clusterBytes_ / 512;
    return volume_.ReadSectors(out, e.lcn * perCluster, e.count * perCluster) == e.count * clusterBytes_;
}

bool CNtfsCompressedStream::ReadUnit(std::uint64_t unit, std::vector<std::uint8_t>& out) {
    out.resize(static_cast<std::size_t>(UnitBytes));
    std::uint64_t real = 0, sparse = 0;
    Map(unit, &extents_, real, sparse);
    bool ok = true;
    if (real == 0) {
        std::fill(out.begin(), out.end(), 0);
    } else if (sparse == 0) {
        // Stored as it is: each cluster at its place in the unit.
        std::fill(out.begin(), out.end(), 0);
        for (const Extent& e : extents_)
            if (!Read(e, out.data() + e.vcn * clusterBytes_)) return false;
    } else {
        packed_.resize(static_cast<std::size_t>(real * clusterBytes_));
        std::uint64_t filled = 0;
        for (const Extent& e : extents_) {
            if (!Read(e, packed_.data() + filled)) return false;
            filled += e.count * clusterBytes_;
        }
        if (!lznt1::Decompress(packed_, out)) {
            Problem = kUndecodableProblem;
            ok = false;
        }
    }
    // Past the stream's end the unit reads as zeros, whatever the clusters hold.
    if (const std::uint64_t start = unit * UnitBytes; ok && start + UnitBytes > Size) {
        const std::uint64_t keep = Size > start ? Size - start : 0;
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(keep), out.end(), 0);
    }
    return ok;
}

}  // namespace tl
