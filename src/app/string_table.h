// Built-in English texts of every message and string identifier.
//
// The language manager falls back to these when the current language file
// lacks an entry or its translation cannot be used.
#pragma once

#include <span>
#include <string_view>

namespace tl {

struct StringTableEntry {
    unsigned id;
    std::string_view text;  // UTF-8, printf-style placeholders as translators know them
};

// Every entry, sorted by identifier, identifiers unique.
std::span<const StringTableEntry> StringTableEntries();

// The built-in text of `id`, or an empty view when the table has none.
std::string_view BuiltinString(unsigned id);

}  // namespace tl
