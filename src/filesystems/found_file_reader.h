// Reads a found file's content through its sector runs: the runs the
// volume's file-system parser builds for a file of the file system, or one
// contiguous run for a file found by the sector scan. A file kept inside
// the file system's structures (a small NTFS file) is read from there, and
// a sparse run reads as zeros. Where the file system says more about the
// content (CFileSystem::DescribeContent), the reader follows it: bytes past
// the initialised length read as zeros, compressed content is read through
// the file system's decoder a unit at a time (never the whole file at
// once), and content that cannot be read as it is stored (an encrypted
// file, compressed data that does not decode) is refused with the reason in
// Problem. The reader works on a copy of the record, so the record may
// change or go meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/file_system.h"
#include "filesystems/found_object.h"

namespace tl {

class CFoundFileReader {
public:
    // Copies `record` and builds its runs (or takes its resident content,
    // or its decoder); false when there is nothing to read it through, and
    // when its content cannot be read as stored (Problem says why).
    bool Open(const CFoundObject& record);
    // The runs of `Record`, appended to `runs`; their count.
    std::size_t BuildRuns(std::vector<SECTOR_RUN>& runs) const;
    // Cuts the runs at the end of the record's volume.
    void CheckBounds();

    // Reads on from where the last call stopped, at most to the end of the
    // current run (or unit): `bytes` rounded up to whole sectors must fit
    // `buffer`. Returns the bytes delivered (those of a last partial sector
    // only as far as asked), fewer when a run ends, 0 at the end, on a
    // failed read, and when the content does not decode (Problem set).
    std::uint64_t ReadNext(void* buffer, std::uint64_t bytes);
    // The bytes ahead that are known zeros without reading (a sparse run, a
    // hole of compressed content, what lies past the initialised length):
    // 0 when the next bytes are data. SkipSparse passes over `bytes` of
    // them, a whole number of sectors.
    std::uint64_t SparseBytesAhead();
    void SkipSparse(std::uint64_t bytes);

    CFoundObject Record;
    std::vector<SECTOR_RUN> Runs;
    std::size_t RunIndex = 0;
    std::uint64_t RunDone = 0;  // sectors of the current run already read
    // The content of a resident file, read out at Open; delivered from ResidentDone.
    std::vector<std::uint8_t> Resident;
    bool IsResident = false;
    std::uint64_t ResidentDone = 0;
    // Bytes delivered or skipped so far.
    std::uint64_t Position = 0;
    // Bytes from this one on are delivered as zeros (all ones: none).
    std::uint64_t ValidBytes = ~std::uint64_t{0};
    // Set for content the file system decodes (compressed NTFS data).
    std::unique_ptr<CContentDecoder> Decoder;
    // Why the content cannot be read: empty when all is well, else an
    // English reason ("the file is encrypted", "its compressed data cannot
    // be decoded"), set by Open (which then fails) or by ReadNext (which
    // then returns 0).
    std::string Problem;

private:
    std::uint64_t ReadDecoded(std::uint8_t* out, std::uint64_t bytes);
    std::uint64_t ReadRuns(void* buffer, std::uint64_t bytes);
    void PassEmptyRuns();
    void ZeroPastValid(std::uint8_t* out, std::uint64_t bytes) const;

    std::vector<std::uint8_t> unit_;
    std::uint64_t unitIndex_ = ~std::uint64_t{0};
};

}  // namespace tl
