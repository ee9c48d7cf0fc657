// Opening a file or folder with the application the desktop associates with it.
#pragma once

#include <filesystem>

namespace tl::platform {

// Starts `xdg-open PATH` detached from this process. Returns false when the
// path does not exist or the opener cannot be started. The opener's own
// outcome is not awaited (it may show its own error).
bool OpenWithApplication(const std::filesystem::path& path);

// The same with a result in the shell's manner: 32 or more when the opener
// was started, 31 when no opener is installed (no application to open
// anything with), 2 when the file does not exist, another number below 32
// on any other failure.
int OpenWithApplicationResult(const std::filesystem::path& path);

}  // namespace tl::platform
