#include "signatures/file_signature.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "storage/little_endian.h"

namespace tl {
namespace {

constexpr std::string_view kTrimChars = ",; *.";

struct DwordValue {
    std::string_view name;
    std::uint32_t FileSignature::*field;
};
constexpr DwordValue kDwordValues[] = {
    {"InternalProcessing", &FileSignature::InternalProcessing},
    {"SearchEnable", &FileSignature::SearchEnable},
    {"ShowFilesThisType", &FileSignature::ShowFilesThisType},
    {"Enable", &FileSignature::Enable},
    {"View", &FileSignature::View},
    {"DefaultSize", &FileSignature::DefaultSize},
    {"SearchOrder", &FileSignature::SearchOrder},
};

struct StringValue {
    std::string_view name;
    std::string FileSignature::*field;
};
constexpr StringValue kStringValues[] = {
    {"Title", &FileSignature::Title},
    {"Description", &FileSignature::Description},
    {"FileExtensions", &FileSignature::FileExtensions},
    {"Prefix", &FileSignature::Prefix},
    {"Group", &FileSignature::Group},
    {"LastUpdate", &FileSignature::LastUpdate},
};

std::string PatternValueName(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "Signature%.2d", n);
    return name;
}

// The number of a pattern-text value name ("signature07" -> 7; names
// compared lower-cased), or 0 for any other name.
int PatternValueNumber(std::string_view lower) {
    constexpr std::string_view kStem = "signature";
    if (lower.size() != kStem.size() + 2 || !lower.starts_with(kStem)) return 0;
    const char hi = lower[kStem.size()];
    const char lo = lower[kStem.size() + 1];
    if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return 0;
    return (hi - '0') * 10 + (lo - '0');
}

}  // namespace

std::string SignatureKeyName(std::uint32_t id) {
    char name[16];
    std::snprintf(name, sizeof name, "%.5u", id);
    return name;
}

bool FileSignature::Matches(const std::uint8_t* block, std::size_t length) const {
    for (const auto& p : Patterns)
        if (p.Matches(block, length)) return true;
    return false;
}

void FileSignature::AddPatternText(std::string_view text) {
    if (auto pattern = ParsePatternText(text)) {
        Patterns.push_back(std::move(*pattern));
        Reserved32 = 0;
    }
}

void FileSignature::AddPattern(std::uint32_t kind, std::span<const std::uint8_t> data, std::int32_t offset,
                               std::uint16_t length, std::uint16_t repeat) {
    SignaturePattern p;
    p.Elements.push_back(PatternElement::Make(kind, data, offset, length, repeat));
    Patterns.push_back(std::move(p));
}

void FileSignature::AddBytePattern(std::uint8_t value, std::int32_t offset) {
    AddPattern(kPatternByte, std::span<const std::uint8_t>(&value, 1), offset, 1, 0);
}

void FileSignature::AddWordPattern(std::uint16_t value, std::int32_t offset) {
    std::uint8_t b[2];
    PutU16(b, value);
    AddPattern(kPatternWord, b, offset, 2, 0);
}

void FileSignature::AddDwordPattern(std::uint32_t value, std::int32_t offset) {
    std::uint8_t b[4];
    PutU32(b, value);
    AddPattern(kPatternDword, b, offset, 4, 0);
}

void FileSignature::AddQwordPattern(std::uint64_t value, std::int32_t offset) {
    std::uint8_t b[8];
    PutU64(b, value);
    AddPattern(kPatternQword, b, offset, 8, 0);
}

std::vector<std::string_view> FileSignature::ExtensionList() const {
    std::vector<std::string_view> list;
    std::string_view rest = FileExtensions;
    while (!rest.empty()) {
        const std::size_t sep = rest.find_first_of(",;");
        const std::string_view piece = platform::TrimChars(rest.substr(0, sep), kTrimChars);
        if (!piece.empty()) list.push_back(piece);
        rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    }
    return list;
}

std::string FileSignature::GetFirstExtension() const {
    const std::vector<std::string_view> list = ExtensionList();
    return list.empty() ? std::string() : std::string(list.front());
}

std::string FileSignature::DisplayTitle() const {
    if (!Title.empty()) return Title;
    if (!Description.empty()) return Description;
    return "Type " + std::to_string(Id);
}

std::vector<std::uint8_t> FileSignature::Serialize() const { return Serialize(Patterns); }

std::vector<std::uint8_t> FileSignature::Serialize(std::span<const SignaturePattern> patterns) const {
    std::size_t total = kHeadBytes;
    for (const auto& p : patterns) total += p.Serialize({});
    std::vector<std::uint8_t> out(total, 0);
    std::uint8_t* h = out.data();
    const std::uint32_t words[] = {Id,         GroupId,    SearchEnable, View,        ShowFilesThisType,
                                   IsGroup,    Reserved24, Reserved28,   Reserved32,  DefaultSize,
                                   Coincidence, Reserved44, SearchOrder};
    for (std::size_t i = 0; i < std::size(words); ++i) PutU32(h + 4 * i, words[i]);
    std::memcpy(h + 52, Reserved52.data(), Reserved52.size());
    PutU32(h + 1432, static_cast<std::uint32_t>(patterns.size()));
    std::size_t pos = kHeadBytes;
    for (const auto& p : patterns) pos += p.Serialize(std::span<std::uint8_t>(out).subspan(pos));
    return out;
}

void FileSignature::ReadHead(std::span<const std::uint8_t> h) {
    std::uint32_t* words[] = {&Id,          &GroupId,    &SearchEnable, &View,       &ShowFilesThisType,
                              &IsGroup,     &Reserved24, &Reserved28,   &Reserved32, &DefaultSize,
                              &Coincidence, &Reserved44, &SearchOrder};
    for (std::size_t i = 0; i < std::size(words); ++i) *words[i] = GetU32(h.data() + 4 * i);
    std::memcpy(Reserved52.data(), h.data() + 52, Reserved52.size());
}

std::optional<FileSignature> FileSignature::Deserialize(std::span<const std::uint8_t> bytes, std::string& error) {
    if (bytes.size() > kMaxFileBytes) {
        error = "it is " + std::to_string(bytes.size()) + " bytes long; a signature file holds at most " +
                std::to_string(kMaxFileBytes);
        return std::nullopt;
    }
    if (bytes.size() < kHeadBytes) {
        error = "it is " + std::to_string(bytes.size()) + " bytes long, shorter than the " +
                std::to_string(kHeadBytes) + "-byte head";
        return std::nullopt;
    }
    FileSignature sig;
    sig.ReadHead(bytes.first(kHeadBytes));
    const auto count = static_cast<std::int32_t>(GetU32(bytes.data() + 1432));
    if (count < 0 || static_cast<std::size_t>(count) > (bytes.size() - kHeadBytes) / kPatternHeadBytes) {
        error = "its pattern count (" + std::to_string(count) + ") does not fit the bytes present";
        return std::nullopt;
    }
    std::size_t pos = kHeadBytes;
    for (std::int32_t i = 0; i < count; ++i) {
        std::size_t consumed = 0;
        std::string why;
        auto pattern = SignaturePattern::Deserialize(bytes.subspan(pos), consumed, why);
        if (!pattern) {
            error = "pattern " + std::to_string(i + 1) + ": " + why;
            return std::nullopt;
        }
        sig.Patterns.push_back(std::move(*pattern));
        pos += consumed;
    }
    if (pos != bytes.size()) {
        error = std::to_string(bytes.size() - pos) + " bytes follow the last pattern";
        return std::nullopt;
    }
    return sig;
}

bool FileSignature::LoadFromKey(const platform::SettingsStore& store, std::string_view parentKey,
                                std::string_view name) {
    std::uint32_t id = 0;
    const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), id);
    if (ec == std::errc() && ptr == name.data() + name.size()) Id = id;
    const std::string key = std::string(parentKey) + "\\" + std::string(name);
    if (!store.KeyExists(key)) return false;
    for (const auto& v : kDwordValues)
        if (auto value = store.GetDword(key, v.name)) this->*v.field = *value;
    for (const auto& v : kStringValues)
        if (auto value = store.GetString(key, v.name)) this->*v.field = std::move(*value);
    for (int n = 1; n <= kMaxPatternTexts; ++n) {
        const auto text = store.GetString(key, PatternValueName(n));
        if (!text) break;
        AddPatternText(*text);
    }
    // Patterns without a text form, as a signature-file image.
    if (auto image = store.GetValue(key, kBinaryPatternsValue); image && image->type == platform::ValueType::Binary) {
        std::string error;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(image->data.data());
        if (auto stored = Deserialize(std::span<const std::uint8_t>(bytes, image->data.size()), error)) {
            Coincidence = stored->Coincidence;
            Reserved24 = stored->Reserved24;
            Reserved28 = stored->Reserved28;
            Reserved44 = stored->Reserved44;
            Reserved52 = stored->Reserved52;
            for (auto& p : stored->Patterns) Patterns.push_back(std::move(p));
        }
    }
    return true;
}

bool FileSignature::SaveToStore(platform::SettingsStore& store, std::string_view root) const {
    const std::string key =
        std::string(root) + (IsGroup ? "\\Groups\\" : "\\Signatures\\") + SignatureKeyName(Id);
    if (!store.CreateKey(key)) return false;
    bool ok = true;
    for (const auto& v : kDwordValues) ok = store.SetDword(key, v.name, this->*v.field) && ok;
    for (const auto& v : kStringValues) ok = store.SetString(key, v.name, this->*v.field) && ok;
    // Pattern texts: the ones of this record, numbered in order.
    std::vector<SignaturePattern> binary;
    int n = 0;
    for (const auto& p : Patterns) {
        if (p.SourceText && n < kMaxPatternTexts)
            ok = store.SetString(key, PatternValueName(++n), *p.SourceText) && ok;
        else
            binary.push_back(p);
    }
    if (!binary.empty()) {
        const auto image = Serialize(binary);
        ok = store.SetValue(key, kBinaryPatternsValue, platform::ValueType::Binary,
                            std::string_view(reinterpret_cast<const char*>(image.data()), image.size())) &&
             ok;
    }
    // The key holds this record's patterns and no others: texts numbered
    // beyond the ones just written, and a binary image this record no longer
    // needs, would come back at the next load (an import that replaced the
    // patterns of a type would be undone by a restart).
    const std::string binaryName = platform::AsciiLower(kBinaryPatternsValue);
    for (const auto& name : store.ValueNames(key)) {
        const std::string lower = platform::AsciiLower(name);
        const int number = PatternValueNumber(lower);
        const bool stale = lower == binaryName ? binary.empty() : number > n;
        if (stale) ok = store.DeleteValue(key, name) && ok;
    }
    return ok;
}

}  // namespace tl
