// What an analysis tells the keeper of its scan file as it goes, and asks it
// when it goes on from an earlier run. A volume finds the journal of its
// source (CVolume::JournalOf); with none, an analysis keeps what it finds in
// memory only. Every call comes from the analysis's own threads and returns
// without waiting for a disk.
#pragma once

#include <cstdint>
#include <optional>

namespace tl {

class CVolume;

class IAnalysisJournal {
public:
    virtual ~IAnalysisJournal() = default;

    // The file-system stage of `volume` has read everything it will.
    virtual void FileSystemStageEnded(CVolume& volume) = 0;
    // Every find of the sector stage before `sector` (512-byte, from the
    // volume's start) has been handed to the volume and will not change but
    // by what is found later.
    virtual void SectorCheckpoint(CVolume& volume, std::uint64_t sector) = 0;
    // The sector stage has ended: `completed` when it reached the volume's end.
    virtual void SectorStageEnded(CVolume& volume, bool completed) = 0;

    // Going on from an earlier run: true when the volume's file-system stage
    // was loaded from the scan file instead of being run again.
    virtual bool FileSystemKept(CVolume& volume) = 0;
    // Where the sector stage goes on (0: from the start); nullopt when the
    // earlier run's sector stage ended, and is not run again.
    virtual std::optional<std::uint64_t> SectorResumePoint(CVolume& volume) = 0;
};

}  // namespace tl
