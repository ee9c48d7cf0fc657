#include "storage/analysis_busy.h"

namespace tl {

std::atomic<std::uint32_t>& AnalysisBusy() {
    static std::atomic<std::uint32_t> busy{0};
    return busy;
}

}  // namespace tl
