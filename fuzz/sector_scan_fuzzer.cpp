// The sector stage over the input as a volume, with the shipped signature
// set: every block matched, the recognisers and content rules run on what
// matches (ends found by walking the content, sizes read from headers), and
// every found file read back as a recovery reads it.
#include "fuzz_support.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::SettingsStore store;
    static SignatureDatabase* signatures = [] {
        auto* db = new SignatureDatabase(store, "Software\\Fuzz");
        db->InstallFirstSet(TL_FIRST_SET_FILE);
        db->Load();
        return db;
    }();
    fuzz::Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context(signatures));
    volume.DevicePath = "/fuzz/sectors.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(std::span<const std::uint8_t>(data, size), (size + 511) / 512 * 512));
    volume.QueryInformation();
    AnalysisBusy() = 1;
    volume.AnalyseSectors();
    fuzz::ReadBackEverything(volume, 4 << 20);
    AnalysisBusy() = 0;
    return 0;
}
