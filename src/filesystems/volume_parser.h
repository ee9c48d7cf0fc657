// What the parsers that walk a volume's structures share: the volume they
// read, the flag that stops their walk, and the log they write to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "filesystems/file_system.h"

namespace tl {

class CVolume;

class CVolumeParser : public CFileSystem {
public:
    // Where the stop flag is read (tests give their own).
    void SetBusyFlag(const std::atomic<std::uint32_t>* busy) { busy_ = busy; }

protected:
    // Takes the type and flags the volume's file system has so far.
    explicit CVolumeParser(CVolume& volume);
    // The volume's device is closed with the parser.
    ~CVolumeParser() override;

    // False once the analysis is stopped; waits while it is paused.
    bool Busy() const;
    void Log(int level, const std::string& text) const;

    CVolume& volume_;
    const std::atomic<std::uint32_t>* busy_;
};

}  // namespace tl
