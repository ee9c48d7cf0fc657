// The view filter: which found objects the folder tree and the file lists
// show. One flat record of 728 bytes, kept byte for byte as the unnamed
// binary value of the settings key "<program root>\Filter". Integers are
// 32-bit little-endian words, times 64-bit file times, the pattern
// NUL-terminated UTF-16LE; bytes that no field names keep what they were
// loaded with.
//
//   8 reserved (1)        20 DeletedOnly        48 reserved (1)
//  52 UseWildcard         56 UseDate            64 UseSize (kept, no effect)
//  80 TypeMode           120 Wildcard (256 UTF-16 units, "*")
// 632 DateFrom (0)       640 DateTo (all ones)  656, 672 reserved (all ones)
//
// The views fill on the main thread and the filter sheet edits the record
// there too: it takes no lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/settings_store.h"
#include "platform/time.h"

namespace tl {

struct CFoundObject;
class SignatureDatabase;

class FilterSettings {
public:
    static constexpr std::size_t kSize = 728;
    static constexpr std::string_view kKeyName = "Filter";
    static constexpr std::uint32_t kWildcardUnits = 256;

    enum Offset : std::uint32_t {
        kReserved8 = 8,
        kDeletedOnly = 20,
        kReserved48 = 48,
        kUseWildcard = 52,
        kUseDate = 56,
        kUseSize = 64,
        kTypeMode = 80,
        kWildcard = 120,
        kDateFrom = 632,
        kDateTo = 640,
        kReserved656 = 656,
        kReserved672 = 672,
    };

    // Values of TypeMode.
    enum TypeModeValue : std::uint32_t {
        kAllFiles = 0,      // files of every type, known or not
        kKnownTypes = 1,    // only files whose type the signature database knows
        kCheckedTypes = 2,  // only files of the types checked in the filter's type tree
    };

    // The key of the record below the program's settings root.
    static std::string KeyPath(std::string_view root) { return std::string(root) + "\\" + std::string(kKeyName); }

    FilterSettings() { Reset(); }

    // The defaults of every field, every other byte zero.
    void Reset();

    // Reads the record from the store; false (and the record unchanged) when
    // the value is missing, not binary, or of another size.
    bool Load(const platform::SettingsStore& store, std::string_view key);
    bool Save(platform::SettingsStore& store, std::string_view key) const;

    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(bytes_.data()), kSize); }
    bool AssignBytes(std::string_view bytes);  // false when the size is not kSize

    std::uint32_t GetU32(std::uint32_t offset) const;
    void SetU32(std::uint32_t offset, std::uint32_t value);
    platform::FileTime GetFileTime(std::uint32_t offset) const;
    void SetFileTime(std::uint32_t offset, platform::FileTime value);

    bool DeletedOnly() const { return GetU32(kDeletedOnly) != 0; }
    void SetDeletedOnly(bool on) { SetU32(kDeletedOnly, on ? 1 : 0); }
    bool UseWildcard() const { return GetU32(kUseWildcard) != 0; }
    void SetUseWildcard(bool on) { SetU32(kUseWildcard, on ? 1 : 0); }
    bool UseDate() const { return GetU32(kUseDate) != 0; }
    void SetUseDate(bool on) { SetU32(kUseDate, on ? 1 : 0); }
    bool UseSize() const { return GetU32(kUseSize) != 0; }
    void SetUseSize(bool on) { SetU32(kUseSize, on ? 1 : 0); }
    std::uint32_t TypeMode() const { return GetU32(kTypeMode); }
    void SetTypeMode(std::uint32_t mode) { SetU32(kTypeMode, mode); }
    // UTF-8 view of the pattern; stored cut to 255 UTF-16 units (a whole
    // character at the cut) and NUL-filled to the field's end.
    std::string Wildcard() const;
    void SetWildcard(std::string_view utf8);
    platform::FileTime DateFrom() const { return GetFileTime(kDateFrom); }
    void SetDateFrom(platform::FileTime t) { SetFileTime(kDateFrom, t); }
    platform::FileTime DateTo() const { return GetFileTime(kDateTo); }
    void SetDateTo(platform::FileTime t) { SetFileTime(kDateTo, t); }

    // True when the views are not to show `object`: a null object; one that
    // is not deleted and holds nothing deleted while only deleted objects
    // are shown; a file whose name does not fit the pattern (compared
    // exactly; folders are never tested, so they stay reachable); an object
    // created outside the date range (an unknown creation time passes); a
    // file of a type the type mode leaves out. The nodes that only hold
    // found objects (CFoundTree::IsContainerNode) are always shown.
    // `signatures` gives the types (null: no type is known).
    bool IsHidden(const CFoundObject* object, const SignatureDatabase* signatures) const;

private:
    std::array<std::uint8_t, kSize> bytes_{};
};

}  // namespace tl
