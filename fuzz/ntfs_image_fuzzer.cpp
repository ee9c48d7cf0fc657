// A whole NTFS volume: boot parameters, the MFT through its runs, the
// cluster bitmap, every record, then every found file read back as a
// recovery reads it (through its runs or from its record).
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context());
    volume.DevicePath = "/fuzz/ntfs.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(std::span<const std::uint8_t>(data, size), 64 << 20));
    volume.QueryInformation();
    volume.Analyse_Boot();
    if (CFileSystem::FamilyOf(volume.FileSystem().TypeCode) != kFamilyNtfs) return 0;
    volume.AnalyseFileSystem();
    fuzz::ReadBackEverything(volume, 8 << 20);
    AnalysisBusy() = 0;
    return 0;
}
