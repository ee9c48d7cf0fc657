// Little-endian reads and writes on byte spans. Every on-disk structure is
// read through these, with the bounds checked by the caller or by the
// checked forms, never by casting a struct over untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tl {

inline std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t GetU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(GetU32(p)) | (static_cast<std::uint64_t>(GetU32(p + 4)) << 32);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Checked forms: nullopt when the value does not lie wholly inside `bytes`.
inline std::optional<std::uint16_t> ReadU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) return std::nullopt;
    return GetU16(bytes.data() + offset);
}
inline std::optional<std::uint32_t> ReadU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
    return GetU32(bytes.data() + offset);
}
inline std::optional<std::uint64_t> ReadU64(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 8) return std::nullopt;
    return GetU64(bytes.data() + offset);
}

}  // namespace tl
