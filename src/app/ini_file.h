// Reader of the INI-style language files: sections, keys and values, with
// the encodings such files come in.
//
// Rules: "[name]" opens a section; "key=value" lines belong to the open
// section; lines starting with ';' or '#' are comments. A header without its
// closing ']' opens no section: the keys after it are ignored until the next
// sound header, so a broken header cannot pour keys into another section.
// Blanks around keys and values are removed, then one pair of double quotes
// enclosing a value (so that a value can keep leading or trailing blanks).
// Section and key names compare without regard to ASCII case; the first of
// two equal keys wins. Values are cut at 4096 characters.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tl {

class IniFile {
public:
    static constexpr std::size_t kMaxValueChars = 4096;

    // The text of a file's bytes as UTF-8: UTF-8 with or without its
    // byte-order mark, UTF-16LE or UTF-16BE with their byte-order marks, and
    // UTF-16LE without one (recognised by its zero high bytes). nullopt for
    // anything else (an encoding we cannot tell).
    static std::optional<std::string> DecodeText(std::string_view bytes);

    static IniFile Parse(std::string_view utf8);

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    std::size_t SectionCount() const { return sections_.size(); }
    // Section names as written, in the order they first appear.
    const std::vector<std::string>& SectionNames() const { return sectionOrder_; }

private:
    std::map<std::string, std::map<std::string, std::string>, std::less<>> sections_;
    std::vector<std::string> sectionOrder_;
};

// Decodes the escapes of language-file values: "\n", "\t" and "\r" become a
// line feed, a tab and a carriage return; any other backslash stays as it is.
std::string DecodeIniEscapes(std::string_view value);

}  // namespace tl
