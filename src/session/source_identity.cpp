#include "session/source_identity.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/block_devices.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::uint64_t kHashedBytes = 1ULL << 20;

// Two checksums of the bytes side by side: 64 bits that tell a changed MiB.
std::string HashOf(CVolume& source, std::uint64_t firstSector, std::uint64_t sectors) {
    std::vector<std::uint8_t> bytes(sectors * 512, 0);
    const std::uint32_t got = sectors ? source.ReadSectors(bytes.data(), firstSector, sectors) : 0;
    const auto n = static_cast<uInt>(got);
    char text[17];
    std::snprintf(text, sizeof text, "%08lx%08lx", crc32(0L, bytes.data(), n) & 0xFFFFFFFFul,
                  adler32(1L, bytes.data(), n) & 0xFFFFFFFFul);
    return text;
}

}  // namespace

std::string AbsoluteSourcePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path whole = std::filesystem::absolute(path, ec);
    return ec || path.empty() ? path : whole.lexically_normal().string();
}

SourceIdentity IdentifySource(CVolume& source) {
    SourceIdentity id;
    id.device = source.Kind != VK_IMAGE;
    std::error_code ec;
    id.path = id.device ? source.GetDevicePath() : AbsoluteSourcePath(source.DevicePath);
    id.size = source.Size;
    id.sectorSize = source.Geometry.BytesPerSector ? source.Geometry.BytesPerSector : 512;
    if (id.device) {
        const platform::DiskIdentity disk = platform::DiskIdentityOf(id.path);
        id.model = disk.model;
        id.serial = disk.serial;
    } else if (const auto t = std::filesystem::last_write_time(id.path, ec); !ec) {
        id.modifiedNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::file_clock::to_sys(t).time_since_epoch()).count();
    }
    const std::uint64_t sectors = source.Size / 512;
    const std::uint64_t hashed = std::min(sectors, kHashedBytes / 512);
    id.headHash = HashOf(source, 0, hashed);
    id.tailHash = HashOf(source, sectors - hashed, hashed);
    return id;
}

}  // namespace tl
