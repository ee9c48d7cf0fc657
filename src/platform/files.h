// Files and folders: the few file operations the core needs, as status values.
#pragma once

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

// Creates `path` and its missing parents. True when the folder exists afterwards.
bool CreateFolderChain(const std::filesystem::path& path);

// Names of the regular files in `folder` whose names end in `suffix`
// (compared without regard to ASCII case), in the order the listing returns them.
std::vector<std::string> ListFiles(const std::filesystem::path& folder, std::string_view suffix);

// The folder that holds the running program.
std::filesystem::path ExecutableFolder();

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

}  // namespace tl::platform
