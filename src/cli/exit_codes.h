// The exit status of every command of the command-line program.
#pragma once

namespace tl::cli {

inline constexpr int kExitOk = 0;       // done, nothing failed
inline constexpr int kExitFailure = 1;  // done in part, or not at all: something failed
inline constexpr int kExitUsage = 2;    // the command line asks for what cannot be done

}  // namespace tl::cli
