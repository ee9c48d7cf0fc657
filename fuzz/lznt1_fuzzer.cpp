// LZNT1 data of one compression unit: the first byte chooses the unit's
// length (1 to 16 chunk slots, or a length that ends inside a slot), the
// rest is the compressed data. The output is exactly that long, so a write
// past it is a fault the sanitizers see.
#include <cstdint>
#include <span>
#include <vector>

#include "filesystems/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t slots = (data[0] & 0x0F) + 1;
    const std::size_t length = data[0] & 0x10 ? slots * tl::lznt1::kChunkBytes - 7 * data[0] : slots * tl::lznt1::kChunkBytes;
    std::vector<std::uint8_t> out(length);
    (void)tl::lznt1::Decompress(std::span<const std::uint8_t>(data + 1, size - 1), out);
    return 0;
}
