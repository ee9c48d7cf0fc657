#include "filesystems/lznt1.h"

#include <algorithm>
#include <cstring>

namespace tl::lznt1 {
namespace {

// One compressed chunk `in` into `slot` (at most 4096 bytes); the bytes
// produced, or -1 when the chunk is damaged.
std::ptrdiff_t DecodeChunk(const std::uint8_t* in, std::size_t size, std::uint8_t* slot, std::size_t room) {
    std::size_t i = 0, p = 0;
    while (i < size) {
        std::uint8_t flags = in[i++];
        for (int item = 0; item < 8 && i < size; ++item, flags >>= 1) {
            if (!(flags & 1)) {
                if (p >= room) return -1;
                slot[p++] = in[i++];
                continue;
            }
            if (i + 2 > size || p == 0) return -1;
            const std::uint16_t token = static_cast<std::uint16_t>(in[i] | in[i + 1] << 8);
            i += 2;
            unsigned lengthBits = 12;
            for (std::size_t n = p - 1; n >= 0x10; n >>= 1) --lengthBits;
            const std::size_t offset = (token >> lengthBits) + 1u;
            const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3u;
            if (offset > p || length > room - p) return -1;
            // Byte by byte: the source may overlap what is being written.
            const std::uint8_t* from = slot + p - offset;
            for (std::size_t k = 0; k < length; ++k) slot[p + k] = from[k];
            p += length;
        }
    }
    return static_cast<std::ptrdiff_t>(p);
}

}  // namespace

bool Decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    std::size_t i = 0, o = 0;
    bool intact = true;
    while (o < out.size() && i + 2 <= in.size()) {
        const std::uint16_t header = static_cast<std::uint16_t>(in[i] | in[i + 1] << 8);
        if (header == 0) break;
        const std::size_t size = (header & 0x0FFFu) + 1u;
        i += 2;
        const std::size_t room = std::min(kChunkBytes, out.size() - o);
        if (size > in.size() - i) {
            intact = false;
            break;
        }
        std::size_t produced = 0;
        if (header & 0x8000) {
            const std::ptrdiff_t n = DecodeChunk(in.data() + i, size, out.data() + o, room);
            if (n < 0) {
                intact = false;
                break;
            }
            produced = static_cast<std::size_t>(n);
        } else {
            if (size > room) {
                intact = false;
                break;
            }
            std::memcpy(out.data() + o, in.data() + i, size);
            produced = size;
        }
        std::memset(out.data() + o + produced, 0, room - produced);
        i += size;
        o += room;
    }
    // Slots no chunk reached read as zeros; so does a damaged chunk's slot.
    std::memset(out.data() + o, 0, out.size() - o);
    return intact;
}

}  // namespace tl::lznt1
