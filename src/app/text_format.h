// printf-style texts with the specifiers translators know (%s, %d, %I64d,
// %I64x, %C ...), formatted type-safely. A text whose placeholders do not fit
// the arguments is refused (nullopt) instead of being formatted, so that a
// faulty translation can fall back to the built-in English text.
#pragma once

#include <fmt/printf.h>

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace tl {

enum class FormatArgKind { Integer, Char, String, Float, Pointer };

template <class T>
consteval FormatArgKind FormatKindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, char> || std::is_same_v<U, char16_t> || std::is_same_v<U, wchar_t>)
        return FormatArgKind::Char;
    else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>)
        return FormatArgKind::Integer;
    else if constexpr (std::is_floating_point_v<U>)
        return FormatArgKind::Float;
    else if constexpr (std::is_convertible_v<const U&, std::string_view>)
        return FormatArgKind::String;
    else if constexpr (std::is_pointer_v<std::decay_t<U>>)
        return FormatArgKind::Pointer;
    else
        static_assert(std::is_same_v<U, void>, "unsupported argument type for a printf-style text");
}

// True when the conversions of `format` match `kinds` one for one, in order.
// Width or precision taken from an argument ('*') and "%n" never fit.
bool PlaceholdersFit(std::string_view format, std::span<const FormatArgKind> kinds);

// Rewrites the translators' specifiers into the form fmt's printf reads:
// length modifiers (I64, I32, ll, l, h, ...) are dropped (the argument's own
// type decides), %C becomes %c and %S becomes %s.
std::string NormalisePrintfFormat(std::string_view format);

// Arguments go to fmt as the types it formats directly.
template <class T>
decltype(auto) ToFormatArg(const T& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_enum_v<U>)
        return static_cast<std::underlying_type_t<U>>(value);
    else if constexpr (std::is_same_v<U, char16_t> || std::is_same_v<U, wchar_t>)
        return static_cast<char>(value < 0x80 ? value : '?');
    else if constexpr (std::is_convertible_v<const U&, std::string_view> && !std::is_pointer_v<std::decay_t<U>>)
        return std::string_view(value);
    else
        return value;
}

// Text taken from a disk, made safe for a terminal and a log line: every
// control character (C0, DEL, and the C1 range U+0080..U+009F, which some
// terminals read as escape sequences) is written as a visible escape such as
// "\x1b"; a backslash stays as it is. The rest of the UTF-8 text is kept.
std::string EscapeControls(std::string_view text);

// "12 345 678": the decimal digits of `n` grouped in threes by spaces.
std::string GroupedDigits(std::uint64_t n);

template <class... Args>
std::optional<std::string> TryFormatPrintf(std::string_view format, const Args&... args) {
    static constexpr FormatArgKind kinds[sizeof...(Args) + 1] = {FormatKindOf<Args>()..., FormatArgKind::Integer};
    if (!PlaceholdersFit(format, std::span<const FormatArgKind>(kinds, sizeof...(Args)))) return std::nullopt;
    try {
        const std::string normalised = NormalisePrintfFormat(format);
        return fmt::sprintf(normalised, ToFormatArg(args)...);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tl
