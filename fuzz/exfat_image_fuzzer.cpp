// A whole exFAT volume: boot analysis, the exFAT parser's walk of every
// folder, then every found file read back as a recovery reads it.
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AnalyseWholeVolume(std::span<const std::uint8_t>(data, size), kFamilyExFat);
    return 0;
}
