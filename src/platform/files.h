// Files and folders: the few file operations the core needs, as status values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tl::platform {

// Whole-file read; nullopt when the file cannot be opened or read, or when it
// is larger than `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::uint64_t maxBytes = 64u << 20);

// Writes `bytes` to `path`, replacing it. Returns false on any failure.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

// Makes every missing folder of `path`, parents first. 0 when the whole chain
// exists afterwards; else the system's error number, and the folder that
// could not be made in `failed` (when given).
int CreateFolderChain(const std::filesystem::path& path, std::filesystem::path* failed = nullptr);

// Names of the regular files in `folder` whose names end in `suffix`
// (compared without regard to ASCII case), in the order the listing returns them.
std::vector<std::string> ListFiles(const std::filesystem::path& folder, std::string_view suffix);

// The folder that holds the running program.
std::filesystem::path ExecutableFolder();
// The folder of the installed language files and signature set, found from
// the program's own folder.
std::filesystem::path InstalledDataFolder();

// The system temporary folder: $TMPDIR when set and not empty, else /tmp.
std::filesystem::path SystemTempFolder();

// The user's home folder: $HOME, else the password database, else "/".
std::filesystem::path HomeFolder();

// The folder of the user's configuration for this program:
// $TESSALOFT_CONFIG_DIR, else $XDG_CONFIG_HOME/tessa-loft, else ~/.config/tessa-loft.
std::filesystem::path ConfigFolder();

// Makes one folder. 0 when it exists afterwards (made now or before), else
// the system's error number.
int MakeFolder(const std::filesystem::path& path);

// A recovered file being written: created (replacing a regular file there),
// never through a symbolic link, written in chunks, its times set before
// it is closed. Not copyable; closes on destruction.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // 0, or the system's error number.
    int Create(const std::filesystem::path& path);
    // Writes every byte it can (retrying short writes): the count written;
    // `error` receives the system's error number when fewer were.
    std::uint64_t Write(const void* data, std::uint64_t bytes, int& error);
    // Moves on `bytes` without writing them: they read as zeros once a
    // later write or SetLength passes them (a hole where the system keeps
    // holes). 0, or the system's error number.
    int Skip(std::uint64_t bytes);
    // Sets the file's length (a hole skipped at its end counts then). 0, or the error number.
    int SetLength(std::uint64_t bytes);
    // Last-access and last-write times as file times (100 ns since 1601); 0 keeps the time.
    bool SetTimes(std::uint64_t accessTime, std::uint64_t writeTime);
    // 0, or the error number of the last write-back.
    int Close();

private:
    int fd_ = -1;
};

// Removes a file (not a folder); true when it is gone.
bool RemoveFile(const std::filesystem::path& path);

// An output file that receives appended bytes: the log file and the text
// copy of the log. Not copyable; closes on destruction.
class AppendFile {
public:
    enum class Disposition { CreateAlways, OpenAlways };

    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&& other) noexcept;

    // CreateAlways truncates an existing file; OpenAlways keeps its content
    // and appends. Returns false when the file cannot be opened.
    bool Open(const std::filesystem::path& path, Disposition disposition);
    bool IsOpen() const { return fd_ >= 0; }
    // Appends every byte (retrying short writes). False on failure.
    bool Append(std::string_view bytes);
    // Size of the file now, or 0 when it is not open.
    std::uint64_t Size() const;
    void Close();

private:
    int fd_ = -1;
};

// A file written at explicit positions (a drive image): created or replaced,
// opened for reading and writing. Every status is 0 or the system's error
// number. Not copyable; closes on destruction.
class PositionalFile {
public:
    PositionalFile() = default;
    ~PositionalFile();
    PositionalFile(const PositionalFile&) = delete;
    PositionalFile& operator=(const PositionalFile&) = delete;

    // Creates `path`, truncating an existing file.
    int Create(const std::filesystem::path& path);
    bool IsOpen() const { return fd_ >= 0; }
    // Writes every byte at `offset` (retrying short writes): a write that
    // stops early reports the reason, so nothing lands at a wrong position.
    int WriteAt(std::uint64_t offset, const void* data, std::size_t length);
    // Flushes the file to its device; write-back failures surface here.
    int Sync();
    // Closes; the close's own failure (some file systems report late write
    // errors there) is returned.
    int Close();

private:
    int fd_ = -1;
};

// What a path names, following symbolic links.
struct FileIdentity {
    enum class Kind { Regular, BlockDevice, Folder, Other };
    Kind kind = Kind::Other;
    std::uint64_t device = 0;  // the file system holding it
    std::uint64_t inode = 0;
    std::uint64_t rdev = 0;    // block devices: the device itself
    std::uint64_t allocatedBytes = 0;
    friend bool SameFile(const FileIdentity& a, const FileIdentity& b) {
        if (a.kind == Kind::BlockDevice && b.kind == Kind::BlockDevice) return a.rdev == b.rdev;
        return a.device == b.device && a.inode == b.inode;
    }
};
// nullopt when nothing exists at `path` (or it cannot be examined).
std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path);

// Room for a new file in a folder: the bytes this process may still allocate
// there (root may use the blocks reserved for it) and the largest file the
// folder's file system and the process's file-size limit allow.
struct FolderSpace {
    std::uint64_t freeBytes = 0;
    std::uint64_t largestFile = UINT64_MAX;
};
// nullopt with the system's error number when the folder cannot be examined.
std::optional<FolderSpace> SpaceInFolder(const std::filesystem::path& folder, int& error);
// The largest file a file system of the given statfs type holds; UINT64_MAX
// where the type sets no limit of its own worth checking beforehand.
std::uint64_t LargestFileOfFileSystem(std::uint64_t statfsType);

}  // namespace tl::platform
