// The content of a compressed NTFS data stream, read a compression unit at
// a time. A unit is 2^k clusters of the stream (k from the attribute, 4 as
// a rule); how it is stored shows in the runs that cover it:
// - every cluster the runs give it is a real one: stored as it is (a unit
//   that compressing did not make smaller; the last unit of a stream may be
//   short, its clusters ending with the run list);
// - real clusters followed by sparse ones: the real clusters hold the
//   unit's bytes compressed with LZNT1 (lznt1.h);
// - no real cluster: a hole, all zeros.
// The decoder reads through the volume, not through the parser that made
// it, so it stays valid when the volume's file system is analysed again.
#pragma once

#include <cstdint>
#include <vector>

#include "filesystems/file_system.h"
#include "filesystems/file_system_ntfs.h"

namespace tl {

class CVolume;

// The reason given for a unit whose data does not decode.
inline constexpr const char* kUndecodableProblem = "its compressed data cannot be decoded";

class CNtfsCompressedStream : public CContentDecoder {
public:
    CNtfsCompressedStream(CVolume& volume, std::uint64_t clusterBytes, std::uint64_t volumeClusters,
                          std::vector<MFT_RUN> runs, std::uint64_t size, std::uint64_t unitClusters);

    bool IsHole(std::uint64_t unit) const override;
    bool ReadUnit(std::uint64_t unit, std::vector<std::uint8_t>& out) override;

private:
    struct Extent {
        std::uint64_t vcn = 0;  // clusters from the unit's start
        std::uint64_t lcn = 0;
        std::uint64_t count = 0;
    };
    // The real clusters of a unit in order, and how many sparse ones it has.
    void Map(std::uint64_t unit, std::vector<Extent>* real, std::uint64_t& realClusters, std::uint64_t& sparseClusters) const;
    bool Read(const Extent& e, std::uint8_t* out) const;

    CVolume& volume_;
    std::uint64_t clusterBytes_;
    std::uint64_t volumeClusters_;
    std::vector<MFT_RUN> runs_;  // by FirstVcn
    std::uint64_t unitClusters_;
    std::vector<Extent> extents_;
    std::vector<std::uint8_t> packed_;
};

}  // namespace tl
