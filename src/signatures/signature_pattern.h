// Byte patterns that recognise the first 512-byte block of a file type.
//
// A pattern is a list of elements that must all hold at a block. Each element
// makes one test at a byte offset of the block:
//   kind 1, 2, 4, 8    the byte / 16-bit / 32-bit / 64-bit value at the offset
//                      equals the data; with Repeat r the test is made r + 1
//                      times, the position advancing by one byte each time
//   kind 16, 32        byte / 16-bit value within [data[0], data[1]]
//   kind 0x100         the Length bytes at the offset equal the data
//   kind 0x1000        the data occurs somewhere at start 0 .. 511 - Length
//   kind 0x2000        as 0x1000, ASCII letters compared without case
//   kind 0x10000       masked bytes: where mask[i] != 0, byte[i] == data[i]
//   kind 0x20000       masked absence: where mask[i] != 0,
//                      data[i] & mask[i] & byte[i] == 0
// A test that would read a byte at or beyond the readable length, or outside
// the 512-byte block, does not hold. An element at Offset -1 holds when its
// test holds at some start position 0..511 of the block.
//
// Signature-file form (little-endian): a 20-byte pattern head (BlockSize at
// 4, ElementCount at 16) followed by the element blocks: a 32-byte head (Kind
// at 0, ElementSize at 4, Offset at 8, Repeat at 12, Length at 14) and the
// data. ElementSize is 32 + Length, except for the masked kinds, whose blocks
// always carry the whole 512-byte data area and 512-byte mask area
// (ElementSize 32 + 1024) so that the mask survives the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tl {

enum PatternKind : std::uint32_t {
    kPatternByte = 1,
    kPatternWord = 2,
    kPatternDword = 4,
    kPatternQword = 8,
    kPatternByteRange = 16,
    kPatternWordRange = 32,
    kPatternBytes = 0x100,
    kPatternSearch = 0x1000,
    kPatternSearchNoCase = 0x2000,
    kPatternMasked = 0x10000,
    kPatternMaskedAbsent = 0x20000,
};

inline constexpr std::size_t kBlockBytes = 512;
inline constexpr std::size_t kMaskedAreaBytes = 512;  // data area and mask area each
inline constexpr std::size_t kElementHeadBytes = 32;
inline constexpr std::size_t kPatternHeadBytes = 20;

bool IsKnownPatternKind(std::uint32_t kind);
bool IsMaskedKind(std::uint32_t kind);

struct PatternElement {
    std::uint32_t Kind = kPatternMasked;
    std::int32_t Offset = 0;
    std::uint16_t Repeat = 0;
    std::uint16_t Length = 0;
    // Length bytes; for the masked kinds 512 data bytes then 512 mask bytes.
    std::vector<std::uint8_t> Data;

    // Makes an element of `kind` the way every producer must: the fixed kinds
    // get their fixed length, the masked kinds 1024 when none is given, and
    // the data buffer always holds what the kind reads.
    static PatternElement Make(std::uint32_t kind, std::span<const std::uint8_t> data, std::int32_t offset,
                               std::uint16_t length, std::uint16_t repeat);

    // Size of the element block in a signature file.
    std::uint32_t ElementSize() const;

    bool operator==(const PatternElement&) const = default;

    // Whether the test holds at `block`, of which `length` bytes are readable.
    bool Holds(const std::uint8_t* block, std::size_t length) const;

private:
    bool HoldsAt(const std::uint8_t* block, std::size_t length, std::size_t p) const;
};

class SignaturePattern {
public:
    std::vector<PatternElement> Elements;
    // The pattern text this pattern was read from, when it came from one
    // (the settings store keeps such patterns as their text).
    std::optional<std::string> SourceText;

    bool operator==(const SignaturePattern&) const = default;

    // True when every element holds (a pattern without elements holds).
    bool Matches(const std::uint8_t* block, std::size_t length) const;

    // Signature-file form: writes the head and the element blocks and
    // returns the byte count; with an empty `out` it only counts.
    std::size_t Serialize(std::span<std::uint8_t> out) const;

    // Reads one pattern block at the start of `bytes`. On success returns the
    // pattern and sets `consumed` to its BlockSize; on failure returns nullopt
    // and says why in `error`. Every count and size must fit the bytes present.
    static std::optional<SignaturePattern> Deserialize(std::span<const std::uint8_t> bytes, std::size_t& consumed,
                                                       std::string& error);
};

// The pattern a person starts from when adding one by hand: one masked-bytes
// element at offset 0 whose data bytes are all 0 and mask bytes all set,
// comparing no byte yet (Length 0) until its compare length is given.
SignaturePattern NewMaskedPattern();

// Parses a pattern text ("0='PK',2=#3,3=$04"): one masked-bytes element at
// offset 0. Returns nullopt for an empty text (which adds no pattern).
//
// Rules: blanks are removed, leading commas dropped; items are separated by
// ','; an item is OFFSET=VALUE (no '=': offset 0 and the whole item is the
// value). VALUE is 'text' or "text" (each character's low 8 bits, ignored as
// a whole when it would reach position 512), #decimal, $hex or xhex (one byte,
// ignored unless below 256). The forms are tried one after the other on the
// value as it stands, so a quoted text whose inside begins with '#', '$' or
// 'x' is stored and then also read as a number that replaces its first byte.
// Items with a negative offset are ignored (they would write before the
// block). Length is one past the highest byte set (0 becomes 1024, which
// compares nothing and matches every block).
std::optional<SignaturePattern> ParsePatternText(std::string_view text);

}  // namespace tl
