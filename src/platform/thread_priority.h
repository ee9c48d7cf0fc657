// Worker threads run at a low priority so that scans of several hours leave
// the desktop responsive. Low means a small share, never none: a scan still
// moves while other programs keep the processors or the disk busy.
#pragma once

namespace tl::platform {

// Gives the calling thread a nice value of 10 under the normal scheduling
// class and the lowest level of the best-effort I/O class. A thread already
// nicer than that keeps its value. Returns false when either could not be
// set (the thread then runs on at its present priority).
bool SetCurrentThreadLowPriority();

}  // namespace tl::platform
