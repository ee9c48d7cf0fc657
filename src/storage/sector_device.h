// The read-only source of bytes behind a volume: a disk, a partition, an
// image file, or memory. There is no write operation at all, so the source
// can never be written through it.
//
// A read either completes at once (done or failed) or reports that it goes
// on; a pending read is waited for with a time-out, and is always finished
// or cancelled before the caller lets go of its buffer: a device may write
// into the buffer only until Finish() or Cancel() returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tl {

struct DeviceReadResult {
    enum class State { Done, Failed, Pending };
    State state = State::Failed;
    std::uint64_t bytes = 0;  // Done: bytes read (may be short)
    int error = 0;            // Failed: the system's error number
};

class IPendingRead {
public:
    virtual ~IPendingRead() = default;
    // True when the read finished within `timeoutMs`.
    virtual bool Wait(std::uint32_t timeoutMs) = 0;
    // Abandons the read; the buffer is not touched after this returns.
    virtual void Cancel() = 0;
    // The outcome of a finished read (waits for it if needed): Done or Failed.
    virtual DeviceReadResult Finish() = 0;
};

class ISectorDevice {
public:
    virtual ~ISectorDevice() = default;
    // Starts reading buffer.size() bytes at byte `offset`. Pending results
    // come with `pending` set.
    virtual DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                                  std::unique_ptr<IPendingRead>& pending) = 0;
    // Size in bytes, when the device can tell.
    virtual std::optional<std::uint64_t> Size() const = 0;
    // The open descriptor for the platform's device queries, or -1.
    virtual int Descriptor() const { return -1; }
};

// A device over bytes in memory (tests, fuzzing, small images).
class MemorySectorDevice : public ISectorDevice {
public:
    explicit MemorySectorDevice(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                          std::unique_ptr<IPendingRead>& pending) override;
    std::optional<std::uint64_t> Size() const override { return bytes_.size(); }

private:
    std::vector<std::uint8_t> bytes_;
};

// Opens a file or block device read-only. Null with the system's error
// number in `error` when it cannot be opened (or is a folder); `problem`, when
// given, receives what udisks2 answered for a disk the user may not open.
std::unique_ptr<ISectorDevice> OpenFileSectorDevice(const std::string& path, int& error,
                                                    std::string* problem = nullptr);

}  // namespace tl
