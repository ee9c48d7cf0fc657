#include "platform/read_only_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/udisks.h"

namespace tl::platform {

ReadOnlyFile::~ReadOnlyFile() { Close(); }

int ReadOnlyFile::Open(const std::string& path) {
    Close();
    problem_.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        struct stat st{};
        // udisks2 runs as root too: what root cannot open, neither can it.
        if ((e != EACCES && e != EPERM) || ::geteuid() == 0 || ::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
            return e;
        UDisksDescriptor asked = OpenDeviceThroughUDisks(path);
        if (asked.answer != UDisksAnswer::Opened) {
            problem_ = std::move(asked.message);
            return e;
        }
        fd = asked.fd;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return e;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return EISDIR;
    }
    fd_ = fd;
    return 0;
}

std::int64_t ReadOnlyFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const {
    if (fd_ < 0) return -EBADF;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<std::int64_t>(done) : -errno;
        }
        if (n == 0) break;  // end of the file or device
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::optional<std::uint64_t> ReadOnlyFile::Size() const {
    struct stat st{};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) return std::nullopt;
        return bytes;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool ReadOnlyFile::IsBlockDevice() const {
    struct stat st{};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISBLK(st.st_mode);
}

void ReadOnlyFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string ErrorText(int error) {
    char buf[256];
    // The GNU form returns the text, which may or may not be in `buf`.
    const char* text = strerror_r(error, buf, sizeof buf);
    return text ? text : "unknown error";
}

}  // namespace tl::platform
