// Stored records of the settings store: the settings record (the input laid
// over the defaults from its fifth byte, its checksum made right so that it
// loads), and the filter record with its wildcard tested on a name from the
// input, as the views test every found object.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/app_settings.h"
#include "app/filter_settings.h"
#include "app/wildcard_match.h"
#include "filesystems/found_object.h"
#include "platform/settings_store.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string defaults = [] {
        AppSettings s;
        s.Reset(SettingsDefaults{});
        return s.Bytes();
    }();
    std::string bytes = defaults;
    std::memcpy(bytes.data() + 4, data, std::min(size, bytes.size() - 4));
    AppSettings record;
    if (!record.AssignBytes(bytes)) std::abort();
    record.SetU32(AppSettings::kChecksum, record.ComputeChecksum());

    platform::SettingsStore store;
    if (!record.Save(store, "Root", "Settings")) std::abort();
    AppSettings loaded;
    if (!loaded.Load(store, "Root", "Settings")) std::abort();  // a record with a right checksum loads
    for (const auto& field : AppSettings::Fields()) {
        // Shown as text and parsed back, as the settings command does (a
        // stored value outside a field's range is shown but not taken back).
        const std::string text = loaded.FieldText(field);
        if (!field.readOnly) (void)loaded.SetFieldFromText(field, text);
    }
    (void)loaded.GetWindowRect();
    (void)loaded.DestinationFolder();
    (void)loaded.TempFolder();
    (void)loaded.LogFileName();

    std::string filterBytes(FilterSettings::kSize, '\0');
    std::memcpy(filterBytes.data(), data, std::min(size, filterBytes.size()));
    FilterSettings filter;
    if (!filter.AssignBytes(filterBytes)) std::abort();
    const std::string pattern = filter.Wildcard();
    CFoundObject object;
    object.Init();
    const std::size_t nameAt = std::min(size, FilterSettings::kSize);
    object.SetName(std::string_view(reinterpret_cast<const char*>(data) + nameAt, std::min<std::size_t>(size - nameAt, 255)));
    (void)filter.IsHidden(&object, nullptr);
    (void)WildcardMatch(pattern, object.GetName(), true);
    return 0;
}
