// The process-wide flag that is 1 while an analysis runs. The file-system
// and sector loops stop when it becomes 0: this is how the user's Stop
// reaches them.
#pragma once

#include <atomic>
#include <cstdint>

namespace tl {

std::atomic<std::uint32_t>& AnalysisBusy();

}  // namespace tl
