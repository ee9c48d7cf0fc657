#include "storage/sector_device.h"

#include <algorithm>
#include <cstring>

#include "platform/read_only_file.h"

namespace tl {

DeviceReadResult MemorySectorDevice::Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                                          std::unique_ptr<IPendingRead>&) {
    DeviceReadResult r{DeviceReadResult::State::Done, 0, 0};
    if (offset >= bytes_.size()) return r;
    r.bytes = std::min<std::uint64_t>(buffer.size(), bytes_.size() - offset);
    std::memcpy(buffer.data(), bytes_.data() + offset, static_cast<std::size_t>(r.bytes));
    return r;
}

namespace {

// A file or block device read on the calling thread: every read completes
// at once, as cheap as a plain positional read. A read of a local device
// cannot be abandoned on Linux; a device that stops answering is ended by the
// kernel's own command time-out with an error, which takes the retry path.
class FileSectorDevice : public ISectorDevice {
public:
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer,
                          std::unique_ptr<IPendingRead>&) override {
        const std::int64_t n = file_.ReadAt(offset, buffer.data(), buffer.size());
        if (n < 0) return {DeviceReadResult::State::Failed, 0, static_cast<int>(-n)};
        return {DeviceReadResult::State::Done, static_cast<std::uint64_t>(n), 0};
    }
    std::optional<std::uint64_t> Size() const override { return file_.Size(); }
    int Descriptor() const override { return file_.Descriptor(); }

    platform::ReadOnlyFile file_;
};

}  // namespace

std::unique_ptr<ISectorDevice> OpenFileSectorDevice(const std::string& path, int& error, std::string* problem) {
    auto device = std::make_unique<FileSectorDevice>();
    error = device->file_.Open(path);
    if (problem) *problem = device->file_.Problem();
    if (error != 0) return nullptr;
    return device;
}

}  // namespace tl
