#include "filesystems/synthetic_ids.h"

#include <atomic>

namespace tl {
namespace {

std::atomic<std::int64_t> g_lastSyntheticId{-65536};

}  // namespace

std::int64_t NextSyntheticId() { return g_lastSyntheticId.fetch_sub(1) - 1; }

}  // namespace tl
