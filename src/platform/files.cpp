#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "platform/text.h"
#include "platform/time.h"

// The installed data folder as seen from the installed programs' folder
// ("../share/tessa-loft"), so that an installed tree works wherever it is
// unpacked.
#ifndef TL_DATA_FROM_PROGRAM
#define TL_DATA_FROM_PROGRAM "../share/tessa-loft"
#endif

namespace tl::platform {

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(done);
    return out;
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
    AppendFile f;
    if (!f.Open(path, AppendFile::Disposition::CreateAlways)) return false;
    return f.Append(bytes);
}

int CreateFolderChain(const std::filesystem::path& path, std::filesystem::path* failed) {
    std::filesystem::path part;
    for (const auto& piece : path) {
        part /= piece;
        if (piece == part.root_path() || piece.empty()) continue;
        if (const int error = MakeFolder(part); error != 0) {
            if (failed) *failed = part;
            return error;
        }
    }
    return 0;
}

int MakeFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return 0;
    const int error = errno;
    struct stat st{};
    if (error == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return error == EEXIST ? ENOTDIR : error;
}

OutputFile::~OutputFile() { Close(); }

int OutputFile::Create(const std::filesystem::path& path) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) return errno;
    struct stat st{};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {  // a device or a pipe is no place for a file
        Close();
        return EINVAL;
    }
    return 0;
}

std::uint64_t OutputFile::Write(const void* data, std::uint64_t bytes, int& error) {
    error = 0;
    std::uint64_t done = 0;
    const auto* p = static_cast<const char*>(data);
    while (done < bytes) {
        const ssize_t n = ::write(fd_, p + done, static_cast<std::size_t>(bytes - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return done;
}

int OutputFile::Skip(std::uint64_t bytes) {
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
    return ::lseek(fd_, static_cast<off_t>(bytes), SEEK_CUR) < 0 ? errno : 0;
}

int OutputFile::SetLength(std::uint64_t bytes) {
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
    return ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0 ? errno : 0;
}

bool OutputFile::SetTimes(std::uint64_t accessTime, std::uint64_t writeTime) {
    if (fd_ < 0) return false;
    const auto spec = [](std::uint64_t t) {
        timespec ts{};
        if (t == 0) {
            ts.tv_nsec = UTIME_OMIT;
            return ts;
        }
        const UnixTime u = ToUnix(t);
        ts.tv_sec = static_cast<time_t>(u.seconds);
        ts.tv_nsec = static_cast<long>(u.nanoseconds);
        return ts;
    };
    const timespec times[2] = {spec(accessTime), spec(writeTime)};
    return ::futimens(fd_, times) == 0;
}

int OutputFile::Close() {
    if (fd_ < 0) return 0;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
}

bool RemoveFile(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

std::vector<std::string> ListFiles(const std::filesystem::path& folder, std::string_view suffix) {
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string name = it->path().filename().string();
        if (name.size() >= suffix.size() &&
            EqualsIgnoreAsciiCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
            names.push_back(name);
    }
    return names;
}

std::filesystem::path ExecutableFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

std::filesystem::path InstalledDataFolder() {
    return (ExecutableFolder() / TL_DATA_FROM_PROGRAM).lexically_normal();
}

std::filesystem::path SystemTempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp) return tmp;
    return "/tmp";
}

std::filesystem::path HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::filesystem::path ConfigFolder() {
    if (const char* dir = std::getenv("TESSALOFT_CONFIG_DIR"); dir && *dir) return dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "tessa-loft";
    return HomeFolder() / ".config" / "tessa-loft";
}

AppendFile::~AppendFile() { Close(); }

AppendFile::AppendFile(AppendFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool AppendFile::Open(const std::filesystem::path& path, Disposition disposition) {
    Close();
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    if (disposition == Disposition::CreateAlways) flags |= O_TRUNC;
    fd_ = ::open(path.c_str(), flags, 0644);
    return fd_ >= 0;
}

bool AppendFile::Append(std::string_view bytes) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t AppendFile::Size() const {
    struct stat st{};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

void AppendFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

PositionalFile::~PositionalFile() { Close(); }

int PositionalFile::Create(const std::filesystem::path& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0 ? 0 : errno;
}

int PositionalFile::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
    if (fd_ < 0) return EBADF;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;  // nothing taken and no reason given: the device is full
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int PositionalFile::Sync() {
    if (fd_ < 0) return EBADF;
    return ::fsync(fd_) == 0 ? 0 : errno;
}

int PositionalFile::Close() {
    if (fd_ < 0) return 0;
    const int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
}

std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    FileIdentity id;
    id.kind = S_ISREG(st.st_mode)   ? FileIdentity::Kind::Regular
              : S_ISBLK(st.st_mode) ? FileIdentity::Kind::BlockDevice
              : S_ISDIR(st.st_mode) ? FileIdentity::Kind::Folder
                                    : FileIdentity::Kind::Other;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.rdev = st.st_rdev;
    id.allocatedBytes = static_cast<std::uint64_t>(st.st_blocks) * 512;
    return id;
}

std::uint64_t LargestFileOfFileSystem(std::uint64_t statfsType) {
    constexpr std::uint64_t kMsdosSuperMagic = 0x4d44;  // FAT12/16/32, vfat and msdos
    // FAT keeps a file's size in 32 bits.
    if (statfsType == kMsdosSuperMagic) return 0xFFFFFFFFull;
    return UINT64_MAX;
}

std::optional<FolderSpace> SpaceInFolder(const std::filesystem::path& folder, int& error) {
    struct statvfs vfs{};
    struct statfs fs{};
    if (::statvfs(folder.c_str(), &vfs) != 0 || ::statfs(folder.c_str(), &fs) != 0) {
        error = errno;
        return std::nullopt;
    }
    error = 0;
    FolderSpace space;
    const std::uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    space.freeBytes = static_cast<std::uint64_t>(::geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail) * unit;
    space.largestFile = LargestFileOfFileSystem(static_cast<std::uint64_t>(fs.f_type));
    // A write beyond the process's file-size limit ends the process with
    // SIGXFSZ, so the limit counts as the largest file too.
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        space.largestFile = std::min<std::uint64_t>(space.largestFile, limit.rlim_cur);
    return space;
}

}  // namespace tl::platform
