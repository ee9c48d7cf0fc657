// Worker threads run at the lowest priority so that scans of several hours
// never slow the desktop.
#pragma once

namespace tl::platform {

// Puts the calling thread into the idle scheduling class and the idle I/O
// priority class. Returns false when either could not be set (the thread
// then runs on at its present priority).
bool SetCurrentThreadIdlePriority();

}  // namespace tl::platform
