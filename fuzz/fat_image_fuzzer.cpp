// A whole FAT volume: boot analysis, the FAT parser's walk of every folder,
// then every found file read back as a recovery reads it.
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AnalyseWholeVolume(std::span<const std::uint8_t>(data, size), kFamilyFat);
    return 0;
}
