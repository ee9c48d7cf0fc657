// MFT records on their own: the input is an MFT of 1024-byte records that
// starts at the volume's first cluster, so extension records named by an
// attribute list are read from the input too. Each record is loaded,
// parsed, its extensions merged, its fields filled and its streams (the
// unnamed one and each named one) read; and each is handed over as the
// sector scan hands over the records it meets, its content then read back
// as recovery reads it (compressed units decoded).
#include "filesystems/file_system_ntfs.h"
#include "fuzz_support.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint32_t kRecord = 1024;
    if (size < kRecord) return 0;
    fuzz::Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context());
    volume.DevicePath = "/fuzz/mft.img";
    volume.SetDevice(std::make_shared<fuzz::ZeroTailDevice>(std::span<const std::uint8_t>(data, size), 1 << 20));
    volume.QueryInformation();
    volume.TotalSectors = (1 << 20) / 512;
    auto owned = std::make_unique<CFileSystem_NTFS>(volume);
    CFileSystem_NTFS& fs = *owned;
    volume.SetFileSystem(std::move(owned));
    fs.ClusterBytes = 4096;
    fs.RecordSize = kRecord;
    fs.VolumeClusters = (1 << 20) / 4096;
    fs.TotalSectors = volume.TotalSectors;
    fs.MftRecord = std::make_unique<CMftRecordParser>(fs);
    // The MFT's own runs: the whole input, from cluster 0.
    const std::uint64_t clusters = (size + 4095) / 4096;
    fs.MftRecord->NonResident = true;
    fs.MftRecord->HasData = true;
    fs.MftRecord->DataSize = size;
    fs.MftRecord->Runs.push_back(MFT_RUN{0, clusters, 0, 0, clusters - 1});
    fs.RecordCount = size / kRecord;

    AnalysisBusy() = 1;
    std::vector<std::uint8_t> stream(64 * 1024);
    for (std::uint64_t n = 0; n < fs.RecordCount && n < 128; ++n) {
        const std::vector<std::uint8_t> record(data + n * kRecord, data + (n + 1) * kRecord);
        CMftRecordParser parser(fs);
        if (parser.Load(record)) {
            parser.LoadExtensions();
            CFoundObject found;
            found.Init();
            parser.FillRecord(found);
            (void)parser.ReadStream(0, stream.size(), stream.data());
            (void)parser.ReadStream(parser.DataSize > 100 ? parser.DataSize - 100 : 0, 4096, stream.data());
            (void)parser.VcnToLcn(1);
            (void)parser.Encrypted();
            for (const auto& named : parser.NamedStreams()) {
                if (!parser.SelectStream(named.Name)) continue;
                (void)parser.ReadStream(0, stream.size(), stream.data());
            }
        }
        fs.AddMftRecord(record);
    }
    fuzz::ReadBackEverything(volume, 4 << 20);
    AnalysisBusy() = 0;
    return 0;
}
