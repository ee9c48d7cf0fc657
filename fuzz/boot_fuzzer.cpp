// The boot sector of a volume: the classifier, the boot analysis (which walks
// the partition table of a volume it does not recognise) and the volume's
// information rows built from what it learnt.
#include "filesystems/file_system.h"
#include "fuzz_support.h"
#include "storage/volume_info.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)CFileSystem::ClassifyBoot(bytes);
    fuzz::Quiet quiet;
    std::size_t found = 0;
    VolumeContext context = quiet.Context();
    context.addFoundVolume = [&](const CFoundObject&) { ++found; };
    CVolume volume(VK_IMAGE, context);
    volume.DevicePath = "/fuzz/boot.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(bytes, 8 << 20));
    volume.QueryInformation();
    volume.Analyse_Boot();
    (void)volume.GetFileSystemName();
    (void)VolumeInformationRows(volume, nullptr);
    (void)GetVolumeProperties(volume, nullptr);
    return 0;
}
