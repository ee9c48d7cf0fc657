// The "settings" commands of the command line: show, set and reset the
// settings record by its field names.
#pragma once

#include <string>
#include <string_view>

#include "app/app_settings.h"

namespace tl::cli {

// Every named field, one "Name = value" line each.
std::string SettingsAsText(const AppSettings& settings);
// Every named field as one JSON object; integers as numbers, WindowRect as an
// object, texts as strings.
std::string SettingsAsJson(const AppSettings& settings);

}  // namespace tl::cli
