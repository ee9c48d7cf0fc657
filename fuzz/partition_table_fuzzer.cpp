// The partition-table walk on a disk whose every sector repeats the input:
// each table entry and each extended-partition link lands on fuzzed bytes.
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Quiet quiet;
    std::size_t found = 0;
    VolumeContext context = quiet.Context();
    context.addFoundVolume = [&](const CFoundObject&) { ++found; };
    CVolume disk(VK_PHYSICAL, context);
    disk.DevicePath = "/fuzz/disk";
    // 2 TiB: every 32-bit sector number of a table is inside the disk.
    disk.SetDevice(std::make_shared<fuzz::WrappingDevice>(std::span<const std::uint8_t>(data, size), 2ULL << 40));
    disk.QueryInformation();
    disk.ProcessPartitionTable(0);
    return 0;
}
