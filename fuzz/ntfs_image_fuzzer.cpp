// A whole NTFS volume: boot parameters, the MFT through its runs, the
// cluster bitmap, every record, then every found file read back as a
// recovery reads it (through its runs or from its record).
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AnalyseWholeVolume(std::span<const std::uint8_t>(data, size), kFamilyNtfs);
    return 0;
}
