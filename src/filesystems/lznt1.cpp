#include "filesystems/lznt1.h"

#include <algorithm>
#include <cstring>

namespace tl::lznt1 {
namespace {

// One compressed chunk `in` into `slot` (at most 4096 bytes); the bytes
// produced, or -1 when the chunk is damaged.
std::ptrdiff_t DecodeChunk(const std::uint8_t* in, std::size_t size, std::uint8_t* slot, std::size_t room) {
    std::size_t i = 0, p = 0;
    // The split of a reference moves one bit towards the offset each time
    // the bytes produced pass a power of two from 16 on.
    unsigned lengthBits = 12;
    std::size_t nextSplit = 0x10;
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
            while (p - 1 >= nextSplit) {
                --lengthBits;
                nextSplit <<= 1;
            }
            const std::size_t offset = (token >> lengthBits) + 1u;
            const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3u;
            if (offset > p || length > room - p) return -1;
            std::uint8_t* to = slot + p;
            const std::uint8_t* from = to - offset;
            if (offset >= length) {
                std::memcpy(to, from, length);
            } else {
                // The source overlaps what is being written: a repeated run.
                for (std::size_t k = 0; k < length; ++k) to[k] = from[k];
            }
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
