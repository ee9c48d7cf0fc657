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
