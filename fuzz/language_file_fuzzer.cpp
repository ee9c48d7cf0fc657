// Language files: the encoding guess, the INI reader, the escapes, and a
// translated message formatted with its arguments (a translation's
// placeholders come from the file and must never take the wrong argument).
#include <string_view>

#include "app/ini_file.h"
#include "app/text_format.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = IniFile::DecodeText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!text) return 0;
    const IniFile file = IniFile::Parse(*text);
    int budget = 64;
    for (const auto& section : file.SectionNames()) {
        if (--budget < 0) break;
        for (const char* key : {"1", "2", "172", "TranslatorName", "IDOK"}) {
            const auto value = file.Get(section, key);
            if (!value) continue;
            const std::string decoded = DecodeIniEscapes(*value);
            (void)TryFormatPrintf(decoded, 42, std::string("sdb1"), 3.5);
            (void)TryFormatPrintf(decoded, std::string("name"));
            (void)TryFormatPrintf(decoded);
        }
    }
    (void)file.Get("LanguageInfo", "TranslatorName");
    return 0;
}
