#include "signatures/document_recognisers.h"

#include <array>
#include <string_view>

#include "filesystems/found_tree.h"
#include "platform/text.h"
#include "signatures/signature_database.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::size_t kEntryBytes = 128;
constexpr std::size_t kEntriesRead = 100;

// The zero-terminated UTF-16 name at the start of a directory entry (at most
// 32 characters), as UTF-8.
std::string EntryName(const std::uint8_t* entry) {
    std::u16string name;
    for (std::size_t i = 0; i < 32; ++i) {
        const char16_t c = static_cast<char16_t>(GetU16(entry + 2 * i));
        if (c == 0) break;
        name += c;
    }
    return platform::Utf16ToUtf8(name);
}

std::int16_t TypeOfStreamName(const std::string& name) {
    struct Row {
        std::string_view name;
        std::int16_t type;
    };
    static constexpr Row kRows[] = {
        {"Workbook", 101}, {"WordDocument", 109}, {"PowerPoint Document", 105}, {"Scene", 501},
        {"Props", 106},    {"VisioDocument", 107}, {"Envelope", 104},        {"DocumentViewStyles", 520},
        {"BodyText", 521},
    };
    for (const auto& row : kRows)
        if (platform::EqualsIgnoreAsciiCase(name, row.name)) return row.type;
    // "Symbol " with the blank, and something after it.
    if (name.size() > 7 && platform::EqualsIgnoreAsciiCase(std::string_view(name).substr(0, 7), "Symbol ")) return 500;
    return 0;
}

bool MultiplyChecked(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

}  // namespace

std::int16_t ClassifyCompoundDirectory(std::span<const std::uint8_t> directory) {
    if (directory.size() < kEntryBytes || !platform::EqualsIgnoreAsciiCase(EntryName(directory.data()), "Root Entry"))
        return kTypeCompoundDocument;
    for (std::size_t k = 0; k < kEntriesRead && (k + 1) * kEntryBytes <= directory.size(); ++k)
        if (const std::int16_t type = TypeOfStreamName(EntryName(directory.data() + k * kEntryBytes))) return type;
    return kTypeCompoundDocument;
}

std::int16_t RecogniseCompoundDocument(CVolume& volume, CFoundObject& record, std::span<const std::uint8_t> block) {
    if (block.size() < 52) return kTypeCompoundDocument;
    const std::uint64_t s = std::uint64_t{1} << (GetU16(block.data() + 30) & 0x1F);
    const std::uint64_t fatSectors = GetU32(block.data() + 44);
    // Sectors the FAT can describe, times the sector size: an upper bound.
    std::uint64_t size = 0;
    if (MultiplyChecked(s / 4, fatSectors, size) && MultiplyChecked(size, s, size)) {
        record.Size = size;
    } else {
        record.Size = volume.Size > record.DataOffset ? volume.Size - record.DataOffset : 0;  // nonsense: the rest of the volume
    }
    std::uint64_t directory = 0;
    if (!MultiplyChecked(GetU32(block.data() + 48), s, directory) || __builtin_add_overflow(directory, s, &directory) ||
        __builtin_add_overflow(directory, record.DataOffset, &directory))
        return kTypeCompoundDocument;
    if (volume.Size && directory >= volume.Size) return kTypeCompoundDocument;  // outside the volume
    std::array<std::uint8_t, kEntriesRead * kEntryBytes> entries{};
    if (volume.ReadSectors(entries.data(), directory / 512, std::uint64_t{entries.size() / 512}) == 0)
        return kTypeCompoundDocument;
    return ClassifyCompoundDirectory(entries);
}

void ApplySizeRules(CFoundObject& record, std::span<const std::uint8_t> block) {
    if (block.size() < 8) return;
    switch (record.TypeId) {
    case 503:
        record.Size = GetU32(block.data() + 2);
        record.Flags |= FO_CONTENT_SIZE | FO_ENCLOSING;
        break;
    case 502:
        record.Size = std::uint64_t{GetU32(block.data() + 4)} + 2048;
        record.Flags |= FO_CONTENT_SIZE;
        break;
    case 504:
        // The image begins 32768 bytes before the matched block; a match
        // nearer the volume's start cannot be one.
        if (record.DataOffset >= 32768) record.DataOffset -= 32768;
        break;
    default:
        break;
    }
}

std::uint64_t SizeByChoice(const CFoundObject& record, SizeChoice choice, std::uint64_t customSize,
                           const CFoundTree& tree, const SignatureDatabase* signatures) {
    const auto defaultSize = [&]() -> std::uint64_t {
        if (!signatures) return 0;
        std::uint16_t type = static_cast<std::uint16_t>(record.TypeId);
        const FileSignature* sig = signatures->FindForObject(type, record.GetName());
        return sig ? std::uint64_t{sig->SharedDefaultSize()} * 1024 : 0;
    };
    switch (choice) {
    case SizeChoice::DefaultSize:
        return defaultSize();
    case SizeChoice::NextAnyType:
    case SizeChoice::NextSameType: {
        std::uint64_t at = record.DataOffset;
        // Bounded: each step moves strictly forward through the offset index.
        for (std::size_t steps = 0; steps < 1'000'000; ++steps) {
            const CFoundObject* next = tree.FindAfterOffset(at);
            if (!next) break;
            if (choice == SizeChoice::NextAnyType || next->TypeId == record.TypeId) return next->DataOffset - record.DataOffset;
            at = next->DataOffset;
        }
        return defaultSize();
    }
    case SizeChoice::Custom:
        return customSize;
    }
    return 0;
}

}  // namespace tl
