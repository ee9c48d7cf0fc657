// Files whose header states their length: the size is set when the file is
// found, with no scanner to follow it.
#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

#include <cstring>

namespace tl::content {

// RIFF (little-endian) and IFF (big-endian) files state their length after
// the first four bytes, not counting those eight.
std::unique_ptr<EndScanner> RiffRule(CFoundObject& record, Head head) {
    if (head.size() < 12) return nullptr;
    return StatedSize(record, std::uint64_t{GetU32(head.data() + 4)} + 8);
}
std::unique_ptr<EndScanner> IffRule(CFoundObject& record, Head head) {
    if (head.size() < 12) return nullptr;
    return StatedSize(record, std::uint64_t{GetBE32(head.data() + 4)} + 8);
}

// A DjVu file is an IFF FORM behind the four bytes "AT&T".
std::unique_ptr<EndScanner> DjvuRule(CFoundObject& record, Head head) {
    if (head.size() < 16) return nullptr;
    return StatedSize(record, std::uint64_t{GetBE32(head.data() + 8)} + 12);
}

// An ISO 9660 image: the matched block is its primary volume descriptor,
// which gives the image's length as a count of logical blocks (byte 80) of
// a stated size (byte 128, a power of two from 512 to 32768).
std::unique_ptr<EndScanner> IsoRule(CFoundObject& record, Head head) {
    if (head.size() < 132) return nullptr;
    const std::uint32_t blocks = GetU32(head.data() + 80);
    const std::uint16_t blockSize = GetU16(head.data() + 128);
    if (blockSize >= 512 && blockSize <= 32768 && (blockSize & (blockSize - 1)) == 0 && blocks > 16)
        return StatedSize(record, std::uint64_t{blocks} * blockSize);
    return nullptr;
}

// A Windows help file: the file's length at byte 12.
std::unique_ptr<EndScanner> HelpFileRule(CFoundObject& record, Head head) {
    if (head.size() < 16) return nullptr;
    return StatedSize(record, GetU32(head.data() + 12));
}

// A 7-Zip archive: the 32-byte signature header, then the packed streams,
// then the header whose offset (from byte 32) and length the signature
// header gives, checked by its own CRC.
std::unique_ptr<EndScanner> SevenZipRule(CFoundObject& record, Head head) {
    if (head.size() < 32) return nullptr;
    const std::uint64_t offset = GetU64(head.data() + 12), length = GetU64(head.data() + 20);
    std::uint64_t size = 0;
    if (offset > (std::uint64_t{1} << 48) || length > (std::uint64_t{1} << 32) ||
        __builtin_add_overflow(offset + 32, length, &size))
        return nullptr;
    return StatedSize(record, size);
}

// A cabinet file: its length at byte 8.
std::unique_ptr<EndScanner> CabinetRule(CFoundObject& record, Head head) {
    if (head.size() < 12) return nullptr;
    return StatedSize(record, GetU32(head.data() + 8));
}

// An enhanced metafile: the header record gives the length of the whole
// metafile at byte 48.
std::unique_ptr<EndScanner> EmfRule(CFoundObject& record, Head head) {
    if (head.size() < 52) return nullptr;
    return StatedSize(record, GetU32(head.data() + 48));
}

// A placeable Windows metafile: the 22-byte placeable header, then the
// metafile whose header gives its length in 16-bit words at its byte 6.
std::unique_ptr<EndScanner> WmfRule(CFoundObject& record, Head head) {
    if (head.size() < 32) return nullptr;
    return StatedSize(record, 22 + std::uint64_t{GetU32(head.data() + 22 + 6)} * 2);
}

// An SQLite database: page size (big-endian at byte 16, 1 for 65536) times
// the page count at byte 28, which is only trusted when the change counter
// at byte 24 equals the one at byte 92 that wrote it.
std::unique_ptr<EndScanner> SqliteRule(CFoundObject& record, Head head) {
    if (head.size() < 100) return nullptr;
    const std::uint16_t raw = GetBE16(head.data() + 16);
    const std::uint32_t pageSize = raw == 1 ? 65536 : raw;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return nullptr;
    if (GetBE32(head.data() + 24) != GetBE32(head.data() + 92)) return nullptr;
    return StatedSize(record, std::uint64_t{pageSize} * GetBE32(head.data() + 28));
}

// An Outlook data file: the end of the file is in its header, at byte 184
// (64 bits) for the Unicode format, at byte 168 (32 bits) for the ANSI one.
std::unique_ptr<EndScanner> PstRule(CFoundObject& record, Head head) {
    if (head.size() < 192) return nullptr;
    const std::uint16_t version = GetU16(head.data() + 10);
    if (version == 14 || version == 15) return StatedSize(record, GetU32(head.data() + 168));
    if (version >= 23) return StatedSize(record, GetU64(head.data() + 184));
    return nullptr;
}

// An Encapsulated PostScript file with a preview: a 30-byte header gives
// the offset and length of the PostScript, the metafile and the TIFF parts.
std::unique_ptr<EndScanner> EpsPreviewRule(CFoundObject& record, Head head) {
    if (head.size() < 30) return nullptr;
    std::uint64_t end = 0;
    for (std::size_t at = 4; at < 28; at += 8) {
        const std::uint32_t offset = GetU32(head.data() + at), length = GetU32(head.data() + at + 4);
        if (length) end = std::max(end, std::uint64_t{offset} + length);
    }
    return StatedSize(record, end);
}

}  // namespace tl::content
