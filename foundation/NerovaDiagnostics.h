// The plain-function diagnostics logger: one line "<tag> : <text>" in the
// unified log, subsystem "com.nerova.rivovovuvev", category "diagnostics", at
// the default level, for code that holds no log handle of its own. Beside it,
// the SHA-256 digest of a byte range as hexadecimal text.
//
// Formats are printf-style:
//   - flags (- + blank # 0 '), width and precision (digits or '*'), length
//     modifiers hh h l ll q j z t L, and the conversions d i o u x X c s p
//     e E f F g G a A and %%;
//   - %@ takes a `const char*` holding UTF-8 text (nullptr prints "(null)"),
//     exactly like %s; width and precision count bytes;
//   - a privacy marker after the percent sign ("%{public}@", "%{private}s") is
//     accepted and dropped, so no marker ever reaches the log.
// %n, positional arguments ("%1$s") and wide characters (%lc, %ls, %C, %S)
// are refused. A format that cannot be applied logs one error-level line
// "Failed to create log with format: <format>; exception: <reason>" instead
// of the message. The arguments must match the conversions, as with printf:
// a C argument list cannot be checked.
//
// Tags and formats that are nil, empty or only white space log nothing.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The core. nullopt stands for a nil string object.
void NerovaDiagnosticsWithArguments(std::optional<std::string_view> tag, std::optional<std::string_view> format,
                                    va_list arguments);

// The variadic form. Tag and format are string objects passed by pointer,
// nullptr being nil. The pointer types keep this form apart from the
// collection engine's NerovaDiagnostics(tags, format, args...), which takes
// std::string arguments and formats them itself
// (collector/NerovaDiagnosticsWrapper.h): a call with string literals or
// std::strings can only mean the engine's form, a call with std::string
// pointers only this one.
void NerovaDiagnostics(const std::string* tag, const std::string* format, ...);

// The C-string forms. A NULL or non-UTF-8 tag or format logs nothing.
void nerova_diagnostics(const char* tag, const char* format, ...);
void nerova_vdiagnostics(const char* tag, const char* format, va_list arguments);

// Stands in where diagnostics are switched off at build time; does nothing.
void disable_nerova_diagnostics(void);

// The part of a source path after its last "/"; the whole path when it holds
// no "/"; "" for NULL. Points into the argument (or at a static "").
const char* nerova_diagnostics_srcbasename(const char* path);

// Writes the SHA-256 of data as lower-case hexadecimal into out, at most
// outLength characters and no terminating NUL, and answers 64, the length of
// the whole text, whatever outLength is. NULL data counts as empty.
uint32_t nerova_diagnostics_digest(char* out, uint32_t outLength, const void* data, uint32_t dataLength);

// The format engine behind the core, shared with the collection engine's
// wrapper so that both read formats the same way.
namespace NerovaDiagnosticsFormat {

enum class Length { None, Char, Short, Long, LongLong, IntMax, Size, PtrDiff, LongDouble };

// Supplies the value of each conversion in turn; false when there is no
// argument of that kind (a typed source can tell, a C argument list cannot).
class ArgumentSource {
public:
    virtual ~ArgumentSource() = default;
    virtual bool nextSigned(Length length, long long& value) = 0;
    virtual bool nextUnsigned(Length length, unsigned long long& value) = 0;
    virtual bool nextDouble(double& value) = 0;
    virtual bool nextLongDouble(long double& value) = 0;
    virtual bool nextString(std::string_view& value) = 0;  // %s and %@
    virtual bool nextPointer(const void*& value) = 0;
};

// The formatted text, or nullopt with the reason in `failure`.
std::optional<std::string> apply(std::string_view format, ArgumentSource& arguments, std::string& failure);

// The error-level line for a format that could not be applied.
void logFailure(std::string_view format, std::string_view reason);

}  // namespace NerovaDiagnosticsFormat
