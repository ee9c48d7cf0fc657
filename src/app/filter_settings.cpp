#include "app/filter_settings.h"

#include <cstring>

#include "app/wildcard_match.h"
#include "filesystems/found_tree.h"
#include "platform/text.h"
#include "signatures/signature_database.h"
#include "storage/little_endian.h"

namespace tl {

void FilterSettings::Reset() {
    bytes_.fill(0);
    SetU32(kReserved8, 1);
    SetU32(kReserved48, 1);
    SetWildcard("*");
    SetFileTime(kDateFrom, 0);
    SetFileTime(kDateTo, ~platform::FileTime{0});
    SetFileTime(kReserved656, ~platform::FileTime{0});
    SetFileTime(kReserved672, ~platform::FileTime{0});
}

bool FilterSettings::AssignBytes(std::string_view bytes) {
    if (bytes.size() != kSize) return false;
    std::memcpy(bytes_.data(), bytes.data(), kSize);
    return true;
}

bool FilterSettings::Load(const platform::SettingsStore& store, std::string_view key) {
    const auto value = store.GetValue(key, "");
    if (!value || value->type != platform::ValueType::Binary) return false;
    return AssignBytes(value->data);
}

bool FilterSettings::Save(platform::SettingsStore& store, std::string_view key) const {
    return store.SetValue(key, "", platform::ValueType::Binary, Bytes());
}

std::uint32_t FilterSettings::GetU32(std::uint32_t offset) const { return tl::GetU32(bytes_.data() + offset); }

void FilterSettings::SetU32(std::uint32_t offset, std::uint32_t value) { PutU32(bytes_.data() + offset, value); }

platform::FileTime FilterSettings::GetFileTime(std::uint32_t offset) const { return GetU64(bytes_.data() + offset); }

void FilterSettings::SetFileTime(std::uint32_t offset, platform::FileTime value) {
    PutU64(bytes_.data() + offset, value);
}

std::string FilterSettings::Wildcard() const {
    std::u16string text;
    for (std::uint32_t i = 0; i < kWildcardUnits; ++i) {
        const std::uint16_t unit = GetU16(bytes_.data() + kWildcard + 2 * i);
        if (unit == 0) break;
        text += static_cast<char16_t>(unit);
    }
    return platform::Utf16ToUtf8(text);
}

void FilterSettings::SetWildcard(std::string_view utf8) {
    std::u16string text = platform::Utf8ToUtf16(utf8);
    if (text.size() > kWildcardUnits - 1) {
        text.resize(kWildcardUnits - 1);
        // Do not leave the first half of a surrogate pair at the cut.
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    text.resize(kWildcardUnits, u'\0');
    for (std::uint32_t i = 0; i < kWildcardUnits; ++i) PutU16(bytes_.data() + kWildcard + 2 * i, text[i]);
}

bool FilterSettings::IsHidden(const CFoundObject* object, const SignatureDatabase* signatures) const {
    if (!object) return true;
    if (CFoundTree::IsContainerNode(*object)) return false;
    if (DeletedOnly() && (object->Flags & (FO_DELETED | FO_HAS_DELETED)) == 0) return true;
    bool passes = true;
    if (UseWildcard() && !object->Name.empty() && !object->IsFolder())
        passes = WildcardMatch(Wildcard(), object->Name, false);
    if (passes && UseDate() && object->CreationTime > 0)
        passes = object->CreationTime >= DateFrom() && object->CreationTime <= DateTo();
    if (passes && !object->IsFolder() && TypeMode() != kAllFiles) {
        std::uint16_t typeId = static_cast<std::uint16_t>(object->TypeId);
        const FileSignature* type = signatures ? signatures->FindForObject(typeId, object->Name) : nullptr;
        // "Only the checked types" is a narrower "only known types": a file
        // of no known type is not of a checked one either.
        if (!type) passes = false;
        else if (TypeMode() == kCheckedTypes && type->View == 0) passes = false;
    }
    return !passes;
}

}  // namespace tl
