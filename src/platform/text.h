// Text conversions: UTF-8 in memory, UTF-16LE where a stored format needs it,
// 8-bit code pages through iconv.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tl::platform {

// UTF-8 to UTF-16 code units. Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 code units to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// UTF-8 to code points. Invalid UTF-8 sequences become U+FFFD.
std::u32string Utf8ToUtf32(std::string_view utf8);

// Little-endian byte form of UTF-16 text (no terminator, no byte-order mark).
std::string Utf8ToUtf16LeBytes(std::string_view utf8);
std::string Utf16LeBytesToUtf8(std::span<const std::uint8_t> bytes);  // an odd last byte is dropped

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// Converts 8-bit text of the named code page ("CP437", "CP1252", ...) to UTF-8.
// Bytes the code page cannot map become U+FFFD; an unknown code page yields
// the bytes with every non-ASCII byte replaced by U+FFFD.
std::string CodePageToUtf8(std::string_view bytes, const char* codePage);

// `text` without the characters of `chars` at either end.
std::string_view TrimChars(std::string_view text, std::string_view chars);
// Blanks of a text line: space, tab, CR and LF.
inline constexpr std::string_view kLineBlanks = " \t\r\n";

// Lower-cases ASCII letters only (keys of the settings store and language files).
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// The case-free form of one character, for matching names without regard to
// case: the lower case of its upper case by the Unicode mapping of the
// C.UTF-8 locale ('S', 's' and long s all give 's'). Where that locale is
// missing, only ASCII letters are folded.
char32_t FoldCase(char32_t c);

}  // namespace tl::platform
