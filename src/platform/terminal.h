// The program's standard streams as the user sees them.
#pragma once

#include <cstdio>

namespace tl::platform {

// True when `stream` is written to a terminal (not a file or a pipe), where a
// line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

}  // namespace tl::platform
