#include "app/ini_file.h"

#include <cstdint>
#include <span>

#include "platform/text.h"

namespace tl {
namespace {

std::string_view TrimLine(std::string_view s) { return platform::TrimChars(s, platform::kLineBlanks); }


// Cuts UTF-8 text at `maxChars` code points without splitting a sequence.
std::string CutChars(std::string_view s, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == maxChars) return std::string(s.substr(0, i));
            ++chars;
        }
    }
    return std::string(s);
}

std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        units += static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    }
    return platform::Utf16ToUtf8(units);
}

bool LooksLikeUtf16Le(std::string_view bytes) {
    if (bytes.size() < 4 || bytes.size() % 2 != 0) return false;
    // Text of Latin letters in UTF-16LE has a zero in most odd bytes and
    // none in the even ones.
    const std::size_t n = std::min<std::size_t>(bytes.size(), 512);
    std::size_t oddZeros = 0, evenZeros = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (bytes[i] == 0) (i % 2 ? oddZeros : evenZeros)++;
    }
    return evenZeros == 0 && oddZeros * 2 >= n / 2;
}

}  // namespace

std::optional<std::string> IniFile::DecodeText(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
        if (!platform::IsValidUtf8(bytes)) return std::nullopt;
        return std::string(bytes);
    }
    if (bytes.starts_with("\xFF\xFE")) return FromUtf16(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return FromUtf16(bytes.substr(2), true);
    if (LooksLikeUtf16Le(bytes)) return FromUtf16(bytes, false);
    if (bytes.find('\0') != std::string_view::npos || !platform::IsValidUtf8(bytes)) return std::nullopt;
    return std::string(bytes);
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    std::map<std::string, std::string>* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view line = TrimLine(text.substr(pos, eol - pos));
        pos = eol + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            current = nullptr;
            if (close == std::string_view::npos) continue;  // broken header: open no section
            const std::string_view original = TrimLine(line.substr(1, close - 1));
            const auto [it, added] = ini.sections_.try_emplace(platform::AsciiLower(original));
            if (added) ini.sectionOrder_.emplace_back(original);
            current = &it->second;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos) continue;
        const std::string key = platform::AsciiLower(TrimLine(line.substr(0, eq)));
        if (key.empty()) continue;
        std::string_view value = TrimLine(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        current->try_emplace(key, CutChars(value, kMaxValueChars));
    }
    return ini;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const auto s = sections_.find(platform::AsciiLower(section));
    if (s == sections_.end()) return std::nullopt;
    const auto k = s->second.find(platform::AsciiLower(key));
    if (k == s->second.end()) return std::nullopt;
    return k->second;
}

bool IniFile::HasSection(std::string_view section) const {
    return sections_.find(platform::AsciiLower(section)) != sections_.end();
}

std::string DecodeIniEscapes(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (next == 'n' || next == 't' || next == 'r') {
                out += next == 'n' ? '\n' : next == 't' ? '\t' : '\r';
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

}  // namespace tl
