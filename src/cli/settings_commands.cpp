#include "cli/settings_commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace tl::cli {

std::string SettingsAsText(const AppSettings& settings) {
    std::size_t width = 0;
    for (const auto& f : AppSettings::Fields()) width = std::max(width, f.name.size());
    std::string out;
    for (const auto& f : AppSettings::Fields()) {
        out += f.name;
        out.append(width - f.name.size(), ' ');
        out += " = ";
        out += settings.FieldText(f);
        out += '\n';
    }
    return out;
}

std::string SettingsAsJson(const AppSettings& settings) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    for (const auto& f : AppSettings::Fields()) {
        switch (f.kind) {
        case AppSettings::FieldKind::U32: j[std::string(f.name)] = settings.GetU32(f.offset); break;
        case AppSettings::FieldKind::I32: j[std::string(f.name)] = settings.GetI32(f.offset); break;
        case AppSettings::FieldKind::FileTime: j[std::string(f.name)] = settings.GetFileTime(f.offset); break;
        case AppSettings::FieldKind::Rect: {
            const WindowRect r = settings.GetWindowRect();
            j[std::string(f.name)] = {{"left", r.left}, {"top", r.top}, {"width", r.width}, {"height", r.height}};
            break;
        }
        case AppSettings::FieldKind::Text: j[std::string(f.name)] = settings.FieldText(f); break;
        }
    }
    return j.dump(2) + "\n";
}

}  // namespace tl::cli
