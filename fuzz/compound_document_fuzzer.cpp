// The compound-document recogniser: the input is a volume whose first block
// is the header; the directory it names is read from the volume.
#include "fuzz_support.h"
#include "signatures/document_recognisers.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)ClassifyCompoundDirectory(bytes);
    fuzz::Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context());
    volume.DevicePath = "/fuzz/compound.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(bytes, 4 << 20));
    volume.QueryInformation();
    CFoundObject record;
    record.Init();
    std::uint8_t block[512] = {};
    std::memcpy(block, data, std::min<std::size_t>(size, sizeof block));
    record.TypeId = RecogniseCompoundDocument(volume, record, block);
    ApplySizeRules(record, block);
    return 0;
}
