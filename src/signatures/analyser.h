// The sector analyser: reads a volume from its first to its last sector in
// chunks of up to 20480 sectors and tests every 512-byte block against the
// enabled file types. Each match becomes a found object (found by signature,
// starting at the block, sized by the content rules where the type allows)
// handed to the volume, which files it under "Lost files", adds it as a lost
// volume, or gives it to the NTFS parser.
//
// Reading and parsing overlap: while the parser (analyser_parser.h) tests
// the blocks of one chunk on its thread, the next chunk is read into the
// second buffer. A parser that stops moving through its chunk for
// ParserStallMs is abandoned and replaced, the chunk is scanned again, and
// the scan goes on. Memory: two chunk buffers (and one more for each parser
// abandoned), whatever the volume's size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "filesystems/found_object.h"
#include "signatures/signature_matcher.h"

namespace tl {

class CVolume;

class CAnalyser {
public:
    static constexpr std::uint64_t kChunkSectors = 20480;

    explicit CAnalyser(CVolume& volume);

    // Scans every range (the whole volume when none was added); returns 0.
    int Analyse();
    // The ranges of `total` sectors that `used` (sector runs, any order,
    // overlapping or not) leaves free.
    static std::vector<SECTOR_RUN> FreeRanges(std::vector<SECTOR_RUN> used, std::uint64_t total);

    std::vector<SECTOR_RUN> Ranges;
    // Where a scan that goes on from an earlier run starts: the sectors
    // before it are passed over (counted as done).
    std::uint64_t ResumeFrom = 0;
    // Called after each chunk with the sector before which every find has
    // been handed over and is settled: the chunk's end, or the start of the
    // first file still followed for its end, whichever comes first.
    std::function<void(std::uint64_t)> Checkpoint;
    // The chunk sizes read, in order (for tests and the progress display).
    std::vector<std::uint64_t> ChunksRead;
    // How long the reader waits for a parser that does not move.
    std::uint32_t ParserStallMs = 10000;

private:
    CVolume& volume_;
    std::shared_ptr<const SignatureMatcher> matcher_;
};

}  // namespace tl
