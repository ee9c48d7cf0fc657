#include "app/text_format.h"

namespace tl {
namespace {

struct Conversion {
    char letter = 0;         // the conversion character, 0 for "%%"
    bool usesStar = false;   // width or precision from an argument
    std::size_t end = 0;     // index one past the conversion
    std::string body;        // flags, width and precision without length modifiers
};

// Parses the conversion starting at format[pos] == '%'.
bool ParseConversion(std::string_view f, std::size_t pos, Conversion& c) {
    std::size_t i = pos + 1;
    if (i < f.size() && f[i] == '%') {
        c.letter = 0;
        c.end = i + 1;
        return true;
    }
    const auto take = [&](auto pred) {
        while (i < f.size() && pred(f[i])) {
            if (f[i] == '*') c.usesStar = true;
            c.body += f[i++];
        }
    };
    take([](char ch) { return ch == '-' || ch == '+' || ch == ' ' || ch == '#' || ch == '0'; });
    take([](char ch) { return (ch >= '0' && ch <= '9') || ch == '*'; });
    if (i < f.size() && f[i] == '.') {
        c.body += f[i++];
        take([](char ch) { return (ch >= '0' && ch <= '9') || ch == '*'; });
    }
    // Length modifiers: dropped.
    if (f.substr(i, 3) == "I64" || f.substr(i, 3) == "I32") i += 3;
    else if (f.substr(i, 2) == "ll" || f.substr(i, 2) == "hh") i += 2;
    else if (i < f.size() && (f[i] == 'l' || f[i] == 'h' || f[i] == 'L' || f[i] == 'z' || f[i] == 'j' ||
                              f[i] == 't' || f[i] == 'q' || f[i] == 'I' || f[i] == 'w'))
        i += 1;
    if (i >= f.size()) return false;
    c.letter = f[i];
    c.end = i + 1;
    return true;
}

bool Fits(char letter, FormatArgKind kind) {
    switch (letter) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
        return kind == FormatArgKind::Integer || kind == FormatArgKind::Char;
    case 'c': case 'C':
        return kind == FormatArgKind::Char || kind == FormatArgKind::Integer;
    case 's': case 'S':
        return kind == FormatArgKind::String;
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        return kind == FormatArgKind::Float;
    case 'p':
        return kind == FormatArgKind::Pointer;
    default:
        return false;
    }
}

}  // namespace

// True when a width or precision of `body` exceeds what a message can use:
// a translation asking for a field of a billion characters would take the
// memory and time of writing them.
bool OversizedField(const std::string& body) {
    constexpr std::size_t kMaxField = 1024;
    std::size_t n = 0;
    for (const char ch : body) {
        if (ch >= '0' && ch <= '9') {
            n = n * 10 + static_cast<std::size_t>(ch - '0');
            if (n > kMaxField) return true;
        } else {
            n = 0;
        }
    }
    return false;
}

bool PlaceholdersFit(std::string_view format, std::span<const FormatArgKind> kinds) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size();) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        Conversion c;
        if (!ParseConversion(format, i, c) || c.usesStar || OversizedField(c.body)) return false;
        i = c.end;
        if (c.letter == 0) continue;
        if (next >= kinds.size() || !Fits(c.letter, kinds[next])) return false;
        ++next;
    }
    return next == kinds.size();
}

std::string NormalisePrintfFormat(std::string_view format) {
    std::string out;
    out.reserve(format.size());
    for (std::size_t i = 0; i < format.size();) {
        if (format[i] != '%') {
            out += format[i++];
            continue;
        }
        Conversion c;
        if (!ParseConversion(format, i, c)) {
            out.append(format.substr(i));
            break;
        }
        out += '%';
        if (c.letter == 0) {
            out += '%';
        } else {
            out += c.body;
            out += c.letter == 'C' ? 'c' : c.letter == 'S' ? 's' : c.letter;
        }
        i = c.end;
    }
    return out;
}

std::string EscapeControls(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned value) {
        out += "\\x";
        out += kHex[(value >> 4) & 0xF];
        out += kHex[value & 0xF];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7F) {
            escape(u);
        } else if (u == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F: the C1 controls (0x9B opens a sequence as ESC [ does).
            escape(static_cast<unsigned char>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string GroupedDigits(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return out;
}

}  // namespace tl
