// LZNT1, the compression of NTFS compressed files.
//
// The data of one compression unit is a sequence of chunks, each standing
// for one 4096-byte slot of the unit's bytes in order. A chunk begins with a
// 16-bit little-endian header: bits 0-11 hold its data length less 1, bit 15
// tells whether the data is compressed (bits 12-14 carry a signature, not
// checked); a header of 0, or the end of the data, ends the unit.
// - Uncompressed data is the slot's bytes as they stand.
// - Compressed data is groups of a flag byte and up to eight items, bit 0 of
//   the flag first: a clear bit is a literal byte, a set bit a 16-bit
//   back-reference to bytes the chunk has produced already. Its split into
//   offset and length fields follows how far the chunk has come: with p
//   bytes produced, the offset takes 4 bits plus one for each halving of
//   p - 1 above 0x10, at the top (offset = field + 1); the length the
//   rest (length = field + 3). A reference may overlap the bytes it
//   produces (a run of one byte repeated).
// A chunk that produces fewer than 4096 bytes leaves the rest of its slot
// zero, and so do the slots after the last chunk.
#pragma once

#include <cstdint>
#include <span>

namespace tl::lznt1 {

inline constexpr std::size_t kChunkBytes = 4096;

// Decodes the data of one compression unit, `in`, into `out`, whose size is
// the unit's length; every byte of `out` is written (zeros where no chunk
// reaches). Nothing is read outside `in` nor written outside `out`. False
// when the data is damaged: a chunk longer than the data left, a reference
// before the start of its chunk, or a chunk that would fill more than its
// slot. `out` then holds the chunks before the damaged one and zeros from its
// slot on.
bool Decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace tl::lznt1
