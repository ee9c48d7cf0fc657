#include "platform/text.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>

namespace tl::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one code point at `pos`, advancing it. Malformed input consumes one
// byte and yields U+FFFD; `valid` reports whether the sequence was well-formed.
char32_t DecodeUtf8(std::string_view s, std::size_t& pos, bool& valid) {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    valid = true;
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
        ++pos;
        valid = false;
        return kReplacement;
    }
    if (pos + extra >= s.size()) {  // truncated sequence
        ++pos;
        valid = false;
        return kReplacement;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            valid = false;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        valid = false;
        return kReplacement;
    }
    pos += extra + 1;
    return cp;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        bool valid = true;
        const char32_t cp = DecodeUtf8(utf8, pos, valid);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::u32string Utf8ToUtf32(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        bool valid = true;
        out += DecodeUtf8(utf8, pos, valid);
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char16_t u = utf16[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
                const char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00);
                AppendUtf8(out, cp);
                ++i;
            } else {
                AppendUtf8(out, kReplacement);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::string Utf8ToUtf16LeBytes(std::string_view utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::string Utf16LeBytesToUtf8(std::span<const std::uint8_t> bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return Utf16ToUtf8(units);
}

bool IsValidUtf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        bool valid = true;
        DecodeUtf8(bytes, pos, valid);
        if (!valid) return false;
    }
    return true;
}

std::string CodePageToUtf8(std::string_view bytes, const char* codePage) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : bytes) {
            if (static_cast<unsigned char>(c) < 0x80) out += c;
            else AppendUtf8(out, kReplacement);
        }
        return out;
    }
    // Convert byte by byte so that one unmappable byte costs one U+FFFD and
    // nothing else (8-bit code pages map each byte on its own).
    for (char c : bytes) {
        char in[1] = {c};
        char buf[8];
        char* inPtr = in;
        size_t inLeft = 1;
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            AppendUtf8(out, kReplacement);
        } else {
            out.append(buf, sizeof buf - outLeft);
        }
    }
    iconv_close(cd);
    return out;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

char32_t FoldCase(char32_t c) {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    // The locale of the environment may be anything; the mapping must not
    // change with it. Made once, kept for the process.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 == static_cast<locale_t>(0) || c > 0x10FFFF) return c;
    const wint_t upper = towupper_l(static_cast<wint_t>(c), utf8);
    return static_cast<char32_t>(towlower_l(upper, utf8));
}

std::string_view TrimChars(std::string_view text, std::string_view chars) {
    const std::size_t first = text.find_first_not_of(chars);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

}  // namespace tl::platform
