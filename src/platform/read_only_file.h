// A file or block device opened read-only, read with positional reads that
// are safe from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tl::platform {

class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens `path` read-only (never for writing); refuses folders with EISDIR.
    // A block device the user may not open is asked of udisks2, which hands
    // out a read-only descriptor once polkit agrees. Returns 0 or the
    // system's error number; Problem() then tells what udisks2 answered.
    int Open(const std::string& path);
    const std::string& Problem() const { return problem_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }

    // Reads up to `length` bytes at `offset`, retrying interrupted and partial
    // reads until the end of the file. Returns the bytes read, or -errno.
    std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const;

    // Size in bytes: of the file, or of the block device.
    std::optional<std::uint64_t> Size() const;
    bool IsBlockDevice() const;

    void Close();

private:
    int fd_ = -1;
    std::string problem_;
};

// The system's text for an error number.
std::string ErrorText(int error);

}  // namespace tl::platform
