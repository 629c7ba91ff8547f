// The collection engine's diagnostics lines: unified log only (category
// "diagnostics"), never the collection log. The message is formatted here and
// handed to the base library's logger as the single argument of "%s", so a
// "%" inside an argument (a path, a host name) is never read as a format.
//
//   NerovaDiagnostics("zep", "Preparing ZEP collection (CLI mode).");
//   NerovaDiagnostics("zep", "%@ is nil", key);
//   NerovaDiagnostics("zep", "%@.zip created at %@", archiveName, finalPath);
//
// Formats are those of foundation/NerovaDiagnostics.h. %@ and %s take text
// (std::string, std::string_view, const char*); the integer conversions take
// integers, the floating ones numbers, %p pointers. A missing or mismatched
// argument logs the error line "Failed to create log with format: ..."
// instead of the message. A blank tag or format writes nothing.
//
// Only string-like tags and formats select this form; the base library's
// variadic NerovaDiagnostics takes std::string pointers, so the two never
// compete for a call.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>

namespace NerovaDiagnosticsWrapper {

using Argument = std::variant<std::string_view, long long, unsigned long long, double, const void*>;

template <typename T>
Argument makeArgument(const T& value) {
    using Decayed = std::decay_t<T>;
    if constexpr (std::is_same_v<Decayed, const char*> || std::is_same_v<Decayed, char*>) {
        const char* text = value;
        return text ? std::string_view(text) : std::string_view("(null)");
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string_view(value);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return static_cast<long long>(value);
    } else if constexpr (std::is_integral_v<T>) {
        return static_cast<unsigned long long>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<double>(value);
    } else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return static_cast<const void*>(value);
    } else {
        static_assert(sizeof(T) == 0, "NerovaDiagnostics takes text, numbers and pointers");
    }
}

void log(std::string_view tags, std::string_view format, std::span<const Argument> arguments);

}  // namespace NerovaDiagnosticsWrapper

template <typename... Args>
void NerovaDiagnostics(std::string_view tags, std::string_view format, const Args&... args) {
    const std::array<NerovaDiagnosticsWrapper::Argument, sizeof...(Args)> arguments{
        NerovaDiagnosticsWrapper::makeArgument(args)...};
    NerovaDiagnosticsWrapper::log(tags, format, arguments);
}
