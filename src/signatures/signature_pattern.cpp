#include "signatures/signature_pattern.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/text.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

// Bytes of data the test of a kind reads (its buffer is never shorter).
std::size_t DataBytesRead(std::uint32_t kind, std::uint16_t length) {
    switch (kind) {
    case kPatternByte: return 1;
    case kPatternWord: return 2;
    case kPatternDword: return 4;
    case kPatternQword: return 8;
    case kPatternByteRange: return 2;
    case kPatternWordRange: return 4;
    case kPatternMasked:
    case kPatternMaskedAbsent: return 2 * kMaskedAreaBytes;
    default: return length;
    }
}

// Bytes of the block one test of a fixed kind reads from its position.
std::size_t FixedWidth(std::uint32_t kind) {
    switch (kind) {
    case kPatternByte:
    case kPatternByteRange: return 1;
    case kPatternWord:
    case kPatternWordRange: return 2;
    case kPatternDword: return 4;
    case kPatternQword: return 8;
    default: return 0;
    }
}

bool EqualNoCase(std::uint8_t a, std::uint8_t b) { return (a | 0x20) == (b | 0x20); }

constexpr std::int64_t kSaturate = std::numeric_limits<std::int32_t>::max();

// A decimal integer as the C library reads one: optional sign, digits up to
// the first other character, nothing gives 0. Saturates instead of overflowing.
std::int64_t ReadDecimal(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    std::int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = std::min<std::int64_t>(v * 10 + (s[i] - '0'), kSaturate);
    return negative ? -v : v;
}

// Upper-cased, a leading "0X" skipped, hexadecimal digits up to the first
// other character; no digit gives 0. Saturates.
std::int64_t ReadHex(std::string_view s) {
    std::size_t i = 0;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) i = 2;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        v = std::min<std::int64_t>(v * 16 + d, kSaturate);
    }
    return v;
}

}  // namespace

bool IsKnownPatternKind(std::uint32_t kind) {
    switch (kind) {
    case kPatternByte: case kPatternWord: case kPatternDword: case kPatternQword:
    case kPatternByteRange: case kPatternWordRange: case kPatternBytes: case kPatternSearch:
    case kPatternSearchNoCase: case kPatternMasked: case kPatternMaskedAbsent:
        return true;
    default:
        return false;
    }
}

bool IsMaskedKind(std::uint32_t kind) { return kind == kPatternMasked || kind == kPatternMaskedAbsent; }

PatternElement PatternElement::Make(std::uint32_t kind, std::span<const std::uint8_t> data, std::int32_t offset,
                                    std::uint16_t length, std::uint16_t repeat) {
    PatternElement e;
    e.Kind = kind;
    e.Offset = offset;
    e.Repeat = repeat;
    switch (kind) {
    case kPatternByte: e.Length = 1; break;
    case kPatternWord: e.Length = 2; break;
    case kPatternDword: e.Length = 4; break;
    case kPatternQword: e.Length = 8; break;
    case kPatternByteRange: e.Length = std::max<std::uint16_t>(length, 2); break;
    case kPatternWordRange: e.Length = std::max<std::uint16_t>(length, 4); break;
    case kPatternMasked:
    case kPatternMaskedAbsent: e.Length = length ? std::min<std::uint16_t>(length, 1024) : 1024; break;
    default: e.Length = length; break;
    }
    e.Data.assign(std::max(DataBytesRead(kind, e.Length), static_cast<std::size_t>(e.Length)), 0);
    if (IsMaskedKind(kind)) e.Data.resize(2 * kMaskedAreaBytes);
    if (const std::size_t n = std::min(data.size(), e.Data.size()); n > 0) std::memcpy(e.Data.data(), data.data(), n);
    return e;
}

std::uint32_t PatternElement::ElementSize() const {
    return static_cast<std::uint32_t>(kElementHeadBytes + (IsMaskedKind(Kind) ? 2 * kMaskedAreaBytes : Length));
}

bool PatternElement::HoldsAt(const std::uint8_t* block, std::size_t length, std::size_t p) const {
    const std::uint8_t* d = Data.data();
    if (const std::size_t width = FixedWidth(Kind)) {
        for (std::size_t k = 0; k <= Repeat; ++k) {
            const std::size_t pos = p + k;
            if (pos + width > length) return false;
            const std::uint8_t* b = block + pos;
            bool ok = false;
            switch (Kind) {
            case kPatternByte: ok = b[0] == d[0]; break;
            case kPatternWord: ok = GetU16(b) == GetU16(d); break;
            case kPatternDword: ok = GetU32(b) == GetU32(d); break;
            case kPatternQword: ok = GetU64(b) == GetU64(d); break;
            case kPatternByteRange: ok = d[0] <= b[0] && b[0] <= d[1]; break;
            case kPatternWordRange: ok = GetU16(d) <= GetU16(b) && GetU16(b) <= GetU16(d + 2); break;
            default: break;
            }
            if (!ok) return false;
        }
        return true;
    }
    switch (Kind) {
    case kPatternBytes:
        return p + Length <= length && (Length == 0 || std::memcmp(block + p, d, Length) == 0);
    case kPatternSearch:
    case kPatternSearchNoCase: {
        // Start positions 0 .. 511 - Length: an occurrence that would end on
        // the block's last byte is not seen.
        if (Length == 0) return true;
        if (Length > kBlockBytes - 1) return false;
        const std::size_t lastStart = std::min(kBlockBytes - 1 - Length, length >= Length ? length - Length : 0);
        if (length < Length) return false;
        for (std::size_t s = 0; s <= lastStart; ++s) {
            bool equal = true;
            for (std::size_t i = 0; i < Length && equal; ++i)
                equal = Kind == kPatternSearch ? block[s + i] == d[i] : EqualNoCase(block[s + i], d[i]);
            if (equal) return true;
        }
        return false;
    }
    case kPatternMasked:
    case kPatternMaskedAbsent: {
        const std::uint8_t* mask = d + kMaskedAreaBytes;
        const std::size_t n = std::min<std::size_t>(Length, kMaskedAreaBytes);
        for (std::size_t i = 0; i < n; ++i) {
            if (!mask[i]) continue;
            if (p + i >= length) return false;
            const std::uint8_t b = block[p + i];
            if (Kind == kPatternMasked ? b != d[i] : (d[i] & mask[i] & b) != 0) return false;
        }
        return true;
    }
    default:
        return false;
    }
}

bool PatternElement::Holds(const std::uint8_t* block, std::size_t length) const {
    length = std::min(length, kBlockBytes);
    if (Kind == kPatternSearch || Kind == kPatternSearchNoCase) return HoldsAt(block, length, 0);
    if (Offset == -1) {
        for (std::size_t p = 0; p < kBlockBytes; ++p)
            if (HoldsAt(block, length, p)) return true;
        return false;
    }
    if (Offset < 0) return false;
    return HoldsAt(block, length, static_cast<std::size_t>(Offset));
}

bool SignaturePattern::Matches(const std::uint8_t* block, std::size_t length) const {
    for (const auto& e : Elements)
        if (!e.Holds(block, length)) return false;
    return true;
}

std::size_t SignaturePattern::Serialize(std::span<std::uint8_t> out) const {
    std::size_t total = kPatternHeadBytes;
    for (const auto& e : Elements) total += e.ElementSize();
    if (out.empty()) return total;
    if (out.size() < total) return 0;
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(total), 0);
    std::uint8_t* p = out.data();
    PutU32(p + 4, static_cast<std::uint32_t>(total));
    PutU32(p + 16, static_cast<std::uint32_t>(Elements.size()));
    p += kPatternHeadBytes;
    for (const auto& e : Elements) {
        const std::uint32_t size = e.ElementSize();
        PutU32(p + 0, e.Kind);
        PutU32(p + 4, size);
        PutU32(p + 8, static_cast<std::uint32_t>(e.Offset));
        PutU16(p + 12, e.Repeat);
        PutU16(p + 14, e.Length);
        if (const std::size_t n = std::min<std::size_t>(e.Data.size(), size - kElementHeadBytes); n > 0)
            std::memcpy(p + kElementHeadBytes, e.Data.data(), n);
        p += size;
    }
    return total;
}

std::optional<SignaturePattern> SignaturePattern::Deserialize(std::span<const std::uint8_t> bytes,
                                                              std::size_t& consumed, std::string& error) {
    consumed = 0;
    if (bytes.size() < kPatternHeadBytes) {
        error = "a pattern head is cut short";
        return std::nullopt;
    }
    const std::uint32_t blockSize = GetU32(bytes.data() + 4);
    const auto count = static_cast<std::int32_t>(GetU32(bytes.data() + 16));
    if (blockSize < kPatternHeadBytes || blockSize > bytes.size()) {
        error = "a pattern's block size (" + std::to_string(blockSize) + ") does not fit the bytes present";
        return std::nullopt;
    }
    if (count < 0 || static_cast<std::size_t>(count) > (blockSize - kPatternHeadBytes) / kElementHeadBytes) {
        error = "a pattern's element count (" + std::to_string(count) + ") does not fit its block";
        return std::nullopt;
    }
    SignaturePattern pattern;
    std::size_t pos = kPatternHeadBytes;
    for (std::int32_t i = 0; i < count; ++i) {
        if (blockSize - pos < kElementHeadBytes) {
            error = "an element head is cut short";
            return std::nullopt;
        }
        const std::uint8_t* h = bytes.data() + pos;
        const std::uint32_t kind = GetU32(h);
        const std::uint32_t size = GetU32(h + 4);
        const auto offset = static_cast<std::int32_t>(GetU32(h + 8));
        const std::uint16_t repeat = GetU16(h + 12);
        const std::uint16_t length = GetU16(h + 14);
        if (!IsKnownPatternKind(kind)) {
            error = "an element has the unknown kind " + std::to_string(kind);
            return std::nullopt;
        }
        const std::size_t expected =
            kElementHeadBytes + (IsMaskedKind(kind) ? 2 * kMaskedAreaBytes : static_cast<std::size_t>(length));
        if (size != expected || (IsMaskedKind(kind) && length > 2 * kMaskedAreaBytes) ||
            length < FixedWidth(kind) * (kind == kPatternByteRange || kind == kPatternWordRange ? 2 : 1)) {
            error = "an element's size (" + std::to_string(size) + ") disagrees with its kind and length (" +
                    std::to_string(length) + ")";
            return std::nullopt;
        }
        if (size > blockSize - pos) {
            error = "an element reaches beyond its pattern block";
            return std::nullopt;
        }
        PatternElement e;
        e.Kind = kind;
        e.Offset = offset;
        e.Repeat = repeat;
        e.Length = length;
        e.Data.assign(h + kElementHeadBytes, h + size);
        pattern.Elements.push_back(std::move(e));
        pos += size;
    }
    if (pos != blockSize) {
        error = "a pattern's block size (" + std::to_string(blockSize) + ") disagrees with its elements (" +
                std::to_string(pos) + " bytes)";
        return std::nullopt;
    }
    consumed = blockSize;
    return pattern;
}

SignaturePattern NewMaskedPattern() {
    PatternElement e;
    e.Kind = kPatternMasked;
    e.Offset = 0;
    e.Length = 0;
    e.Data.assign(2 * kMaskedAreaBytes, 0);
    std::fill(e.Data.begin() + kMaskedAreaBytes, e.Data.end(), std::uint8_t{0xFF});
    SignaturePattern pattern;
    pattern.Elements.push_back(std::move(e));
    return pattern;
}

std::optional<SignaturePattern> ParsePatternText(std::string_view input) {
    if (input.empty()) return std::nullopt;
    std::string text;
    text.reserve(input.size() + 1);
    for (char c : input)
        if (c != ' ') text += c;
    const std::size_t firstNonComma = text.find_first_not_of(',');
    text.erase(0, firstNonComma == std::string::npos ? text.size() : firstNonComma);
    text += ',';

    std::uint8_t data[2 * kMaskedAreaBytes] = {};
    std::uint8_t* mask = data + kMaskedAreaBytes;
    std::size_t highest = 0;  // one past the highest byte set
    const auto set = [&](std::size_t pos, std::uint8_t value) {
        data[pos] = value;
        mask[pos] = 0xFF;
        highest = std::max(highest, pos + 1);
    };

    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t comma = text.find(',', start);
        std::string_view item = std::string_view(text).substr(start, comma - start);
        start = comma + 1;
        std::int64_t offset = 0;
        std::string_view value = item;
        if (const std::size_t eq = item.find('='); eq != std::string_view::npos) {
            offset = ReadDecimal(item.substr(0, eq));
            value = item.substr(eq + 1);
        }
        while (!value.empty() && value.back() == ',') value.remove_suffix(1);
        if (offset < 0) continue;

        if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
            value = value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string_view();
            const std::u16string units = platform::Utf8ToUtf16(value);
            if (offset + static_cast<std::int64_t>(units.size()) >= static_cast<std::int64_t>(kBlockBytes)) continue;
            for (std::size_t i = 0; i < units.size(); ++i)
                set(static_cast<std::size_t>(offset) + i, static_cast<std::uint8_t>(units[i] & 0xFF));
        }
        std::optional<std::int64_t> number;
        if (!value.empty() && value.front() == '#') {
            number = ReadDecimal(value.substr(value.find_first_not_of('#') == std::string_view::npos
                                                  ? value.size()
                                                  : value.find_first_not_of('#')));
        } else if (!value.empty() && (value.front() == '$' || value.front() == 'x')) {
            const char lead = value.front();
            const std::size_t first = value.find_first_not_of(lead);
            number = ReadHex(value.substr(first == std::string_view::npos ? value.size() : first));
        }
        if (number && offset < static_cast<std::int64_t>(kBlockBytes) && *number >= 0 && *number < 256)
            set(static_cast<std::size_t>(offset), static_cast<std::uint8_t>(*number));
    }

    SignaturePattern pattern;
    pattern.Elements.push_back(
        PatternElement::Make(kPatternMasked, data, 0, static_cast<std::uint16_t>(highest), 0));
    pattern.SourceText = std::string(input);
    return pattern;
}

}  // namespace tl
