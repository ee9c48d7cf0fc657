// The partition-table walk on a disk whose every sector repeats the input:
// each table entry and each extended-partition link lands on fuzzed bytes.
// GUID tables guard their header and entries by CRC32s that mutations break:
// on inputs whose first byte is odd the harness makes them right again, so
// that the entries behind them are reached too.
#include <zlib.h>

#include <cstdlib>

#include "fuzz_support.h"
#include "platform/text.h"
#include "storage/little_endian.h"

using namespace tl;

namespace {

constexpr std::uint64_t kDiskBytes = 2ULL << 40;

// The header in block 1 (of 512 or 4096 bytes) and its entries, checksums
// set as the wrapping device will show them.
void FixGptChecksums(std::vector<std::uint8_t>& bytes) {
    const std::size_t n = bytes.size();
    for (const std::uint64_t block : {std::uint64_t{512}, std::uint64_t{4096}}) {
        const std::size_t h = static_cast<std::size_t>(block % n);
        if (h + 92 > n || std::memcmp(bytes.data() + h, "EFI PART", 8) != 0) continue;
        const std::uint64_t entriesAt = GetU64(bytes.data() + h + 72);
        const std::uint64_t total = std::uint64_t{GetU32(bytes.data() + h + 80)} * GetU32(bytes.data() + h + 84);
        if (total > (1u << 20) || entriesAt >= kDiskBytes / block) continue;
        uLong crc = ::crc32(0L, Z_NULL, 0);
        for (std::uint64_t done = 0; done < total;) {
            const std::size_t at = static_cast<std::size_t>((entriesAt * block + done) % n);
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n - at, total - done));
            crc = ::crc32(crc, bytes.data() + at, static_cast<uInt>(chunk));
            done += chunk;
        }
        PutU32(bytes.data() + h + 88, static_cast<std::uint32_t>(crc));
        const std::uint32_t headerBytes = GetU32(bytes.data() + h + 12);
        if (headerBytes < 92 || headerBytes > block || h + headerBytes > n) continue;
        PutU32(bytes.data() + h + 16, 0);
        PutU32(bytes.data() + h + 16, static_cast<std::uint32_t>(::crc32(0L, bytes.data() + h, headerBytes)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Quiet quiet;
    std::vector<std::uint8_t> bytes(data, data + size);
    if (!bytes.empty() && (bytes[0] & 1)) FixGptChecksums(bytes);
    std::size_t found = 0;
    VolumeContext context = quiet.Context();
    context.addFoundVolume = [&](const CFoundObject&) { ++found; };
    context.addPartition = [&](const CFoundObject& record, const PartitionEntry& entry) {
        // What reaches the volume list: inside the disk, with a name fit to show.
        if (record.DataOffset >= kDiskBytes || record.Size == 0) std::abort();
        if (!platform::IsValidUtf8(entry.Name)) std::abort();
        for (const char c : entry.Name)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
        ++found;
    };
    CVolume disk(VK_PHYSICAL, context);
    disk.DevicePath = "/fuzz/disk";
    // 2 TiB: every 32-bit sector number of a table is inside the disk.
    disk.SetDevice(std::make_shared<fuzz::WrappingDevice>(std::span<const std::uint8_t>(bytes), kDiskBytes));
    disk.QueryInformation();
    disk.ProcessPartitionTable(0);
    return 0;
}
