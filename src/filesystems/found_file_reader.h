// Reads a found file's content through its sector runs: the runs the
// volume's file-system parser builds for a file of the file system, or one
// contiguous run for a file found by the sector scan. A file kept inside
// the file system's structures (a small NTFS file) is read from there, and
// a sparse run reads as zeros. The reader works on a
// copy of the record, so the record may change or go meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {

class CFoundFileReader {
public:
    // Copies `record` and builds its runs (or takes its resident content);
    // false when there is nothing to read it through.
    bool Open(const CFoundObject& record);
    // The runs of `Record`, appended to `runs`; their count.
    std::size_t BuildRuns(std::vector<SECTOR_RUN>& runs) const;
    // Cuts the runs at the end of the record's volume.
    void CheckBounds();

    // Reads on from where the last call stopped, at most to the end of the
    // current run: `bytes` rounded up to whole sectors must fit `buffer`.
    // Returns the bytes delivered (those of a last partial sector only as
    // far as asked), fewer when a run ends, 0 at the end or on a failed read.
    std::uint64_t ReadNext(void* buffer, std::uint64_t bytes);
    // The bytes of the sparse run the next read would start in (0 when the
    // next bytes are data); SkipSparse passes over `bytes` of them, a whole
    // number of sectors.
    std::uint64_t SparseBytesAhead();
    void SkipSparse(std::uint64_t bytes);

    CFoundObject Record;
    // Why the content cannot be read as it is stored (an encrypted file,
    // compressed data that does not decode), in plain English; empty when
    // all is well. Set by Open (which then fails) or by a read that fails.
    std::string Problem;
    std::vector<SECTOR_RUN> Runs;
    std::size_t RunIndex = 0;
    std::uint64_t RunDone = 0;  // sectors of the current run already read
    // The content of a resident file, read out at Open; delivered from ResidentDone.
    std::vector<std::uint8_t> Resident;
    bool IsResident = false;
    std::uint64_t ResidentDone = 0;
};

}  // namespace tl
