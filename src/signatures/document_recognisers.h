// Content rules applied right after a signature match: the compound-document
// recogniser (reads the document's directory to tell which application wrote
// it and bounds its size), and the fixed size and start rules of three types;
// and the sizes behind the choices a user can make for a file whose size is
// still unknown.
#pragma once

#include <cstdint>
#include <span>

#include "filesystems/found_object.h"

namespace tl {

class CFoundTree;
class CVolume;
class SignatureDatabase;

inline constexpr std::int16_t kTypeCompoundDocument = 100;

// The type of a compound document from its directory's stream names; 100
// when entry 0 is not "Root Entry" or no name is known. `directory` holds up
// to 100 entries of 128 bytes.
std::int16_t ClassifyCompoundDirectory(std::span<const std::uint8_t> directory);

// For a match of type 100 at `record.DataOffset`: sets Size to the bound
// the header gives (sectors the FAT can describe times the sector size) and
// returns the refined type read from the directory, or 100.
std::int16_t RecogniseCompoundDocument(CVolume& volume, CFoundObject& record, std::span<const std::uint8_t> block);

// 503: Size is the u32 at byte 2; 502: the u32 at byte 4 plus 2048; 504: the
// file begins 32768 bytes before the matched block (when the volume has them).
void ApplySizeRules(CFoundObject& record, std::span<const std::uint8_t> block);

enum class SizeChoice { DefaultSize = 1, NextAnyType = 2, NextSameType = 3, Custom = 4 };

// The size a choice gives for `record`: the type's default size, the
// distance to the next object (of any or of the same type; the default size
// when there is none), or `customSize`.
std::uint64_t SizeByChoice(const CFoundObject& record, SizeChoice choice, std::uint64_t customSize,
                           const CFoundTree& tree, const SignatureDatabase* signatures);

}  // namespace tl
