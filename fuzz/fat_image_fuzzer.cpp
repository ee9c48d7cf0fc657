// A whole FAT volume: boot analysis, the FAT parser's walk of every folder,
// then every found file read back as a recovery reads it.
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context());
    volume.DevicePath = "/fuzz/fat.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(std::span<const std::uint8_t>(data, size), 64 << 20));
    volume.QueryInformation();
    volume.Analyse_Boot();
    if (CFileSystem::FamilyOf(volume.FileSystem().TypeCode) != kFamilyFat) return 0;
    volume.AnalyseFileSystem();
    fuzz::ReadBackEverything(volume, 8 << 20);
    AnalysisBusy() = 0;
    return 0;
}
