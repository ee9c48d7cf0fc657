// Opening a file or folder with the application the desktop associates with it.
#pragma once

#include <filesystem>

namespace tl::platform {

// Starts `xdg-open PATH` detached from this process. Returns false when the
// path does not exist or the opener cannot be started. The opener's own
// outcome is not awaited (it may show its own error).
bool OpenWithApplication(const std::filesystem::path& path);

}  // namespace tl::platform
