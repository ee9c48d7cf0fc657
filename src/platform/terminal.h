// The program's standard streams as the user sees them.
#pragma once

#include <cstdio>

namespace tl::platform {

// True when `stream` is written to a terminal (not a file or a pipe), where a
// line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

// From now on an interrupt (Ctrl+C, SIGINT) or a termination request
// (SIGTERM) is noted instead of ending the program at once, so that a long
// run can stop in order and keep what it found; a second one ends it.
void CatchInterrupts();
// True once such a request came.
bool InterruptRequested();

}  // namespace tl::platform
