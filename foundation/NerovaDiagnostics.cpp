#include "foundation/NerovaDiagnostics.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <type_traits>

#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaLogger.h"
#include "foundation/sha256.h"

using platform::log::Level;

namespace NerovaDiagnosticsFormat {

namespace {

// Far beyond any real log line, small enough that a typo such as "%99999999d"
// cannot ask for gigabytes.
constexpr int kMaxWidth = 65536;

struct Spec {
    std::string flags;
    std::optional<int> width;
    std::optional<int> precision;
    Length length = Length::None;
    char conversion = 0;
};

class Formatter {
public:
    Formatter(std::string_view format, ArgumentSource& arguments) : format_(format), arguments_(arguments) {}

    std::optional<std::string> run(std::string& failure) {
        while (pos_ < format_.size()) {
            const std::size_t percent = format_.find('%', pos_);
            out_.append(format_.substr(pos_, percent == std::string_view::npos ? std::string_view::npos : percent - pos_));
            if (percent == std::string_view::npos) break;
            // A "%" that ends the format starts no conversion ("at 100%"):
            // it is text, not a reason to lose the line.
            if (percent + 1 == format_.size()) {
                out_ += '%';
                break;
            }
            start_ = percent;
            pos_ = percent + 1;
            if (!conversion()) {
                failure = failure_;
                return std::nullopt;
            }
        }
        return std::move(out_);
    }

private:
    bool fail(const std::string& reason) {
        failure_ = reason + " in conversion \"" + std::string(format_.substr(start_, pos_ - start_)) +
                   "\" at offset " + std::to_string(start_);
        return false;
    }

    bool atEnd() const { return pos_ >= format_.size(); }
    char peek() const { return atEnd() ? '\0' : format_[pos_]; }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    bool number(int& value) {
        long long n = 0;
        while (isDigit(peek())) {
            n = n * 10 + (format_[pos_++] - '0');
            if (n > kMaxWidth) return fail("Width or precision too large");
        }
        value = static_cast<int>(n);
        return true;
    }

    bool starArgument(int& value) {
        long long n = 0;
        if (!arguments_.nextSigned(Length::None, n)) return fail("Missing argument for '*'");
        if (n > kMaxWidth || n < -kMaxWidth) return fail("Width or precision too large");
        value = static_cast<int>(n);
        return true;
    }

    bool privacyMarker() {
        if (peek() != '{') return true;
        const std::size_t close = format_.find('}', pos_);
        if (close == std::string_view::npos) {
            pos_ = format_.size();
            return fail("Unterminated privacy marker");
        }
        pos_ = close + 1;
        return true;
    }

    bool parse(Spec& spec) {
        if (!privacyMarker()) return false;
        while (!atEnd() && std::strchr("-+ #0'", peek())) spec.flags += format_[pos_++];
        if (peek() == '*') {
            ++pos_;
            int width = 0;
            if (!starArgument(width)) return false;
            if (width < 0) {
                spec.flags += '-';
                width = -width;
            }
            spec.width = width;
        } else if (isDigit(peek())) {
            int width = 0;
            if (!number(width)) return false;
            if (peek() == '$') {
                ++pos_;
                return fail("Positional arguments are not supported");
            }
            spec.width = width;
        }
        if (peek() == '.') {
            ++pos_;
            int precision = 0;
            if (peek() == '*') {
                ++pos_;
                if (!starArgument(precision)) return false;
            } else if (!number(precision)) {
                return false;
            }
            if (precision >= 0) spec.precision = precision;  // a negative '*' precision means none
        }
        switch (peek()) {
            case 'h':
                ++pos_;
                spec.length = peek() == 'h' ? (++pos_, Length::Char) : Length::Short;
                break;
            case 'l':
                ++pos_;
                spec.length = peek() == 'l' ? (++pos_, Length::LongLong) : Length::Long;
                break;
            case 'q': ++pos_; spec.length = Length::LongLong; break;
            case 'j': ++pos_; spec.length = Length::IntMax; break;
            case 'z': ++pos_; spec.length = Length::Size; break;
            case 't': ++pos_; spec.length = Length::PtrDiff; break;
            case 'L': ++pos_; spec.length = Length::LongDouble; break;
            default: break;
        }
        if (atEnd()) return fail("Incomplete conversion at the end of the format");
        spec.conversion = format_[pos_++];
        return true;
    }

    // The printf spec of one conversion with its value type's length, '*'
    // already resolved to numbers.
    static std::string printfSpec(const Spec& spec, const char* length) {
        // Appended piece by piece: GCC 12 at -O3 takes the concatenated form
        // for an overlapping copy (a false -Wrestrict).
        std::string result("%");
        result.append(spec.flags);
        if (spec.width) result.append(std::to_string(*spec.width));
        if (spec.precision) result.append(".").append(std::to_string(*spec.precision));
        result.append(length);
        result.push_back(spec.conversion);
        return result;
    }

    template <typename Value>
    void appendPrintf(const std::string& spec, Value value) {
        const int size = std::snprintf(nullptr, 0, spec.c_str(), value);
        if (size <= 0) return;
        const std::size_t old = out_.size();
        out_.resize(old + static_cast<std::size_t>(size) + 1);
        std::snprintf(out_.data() + old, static_cast<std::size_t>(size) + 1, spec.c_str(), value);
        out_.resize(old + static_cast<std::size_t>(size));
    }

    // Precision cuts by bytes but never inside a UTF-8 sequence.
    void appendText(const Spec& spec, std::string_view text) {
        if (spec.precision && text.size() > static_cast<std::size_t>(*spec.precision)) {
            std::size_t cut = static_cast<std::size_t>(*spec.precision);
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            text = text.substr(0, cut);
        }
        const std::size_t width = spec.width ? static_cast<std::size_t>(*spec.width) : 0;
        const std::size_t padding = width > text.size() ? width - text.size() : 0;
        const bool left = spec.flags.find('-') != std::string::npos;
        if (!left) out_.append(padding, ' ');
        out_.append(text);
        if (left) out_.append(padding, ' ');
    }

    bool conversion() {
        Spec spec;
        if (!parse(spec)) return false;
        const bool integerLength = spec.length != Length::None && spec.length != Length::LongDouble;
        switch (spec.conversion) {
            case '%': out_ += '%'; return true;
            case 'd':
            case 'i': {
                if (spec.length == Length::LongDouble) return fail("Invalid length modifier");
                long long value = 0;
                if (!arguments_.nextSigned(spec.length, value)) return fail("Missing or mismatched argument");
                appendPrintf(printfSpec(spec, "ll"), value);
                return true;
            }
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                if (spec.length == Length::LongDouble) return fail("Invalid length modifier");
                unsigned long long value = 0;
                if (!arguments_.nextUnsigned(spec.length, value)) return fail("Missing or mismatched argument");
                appendPrintf(printfSpec(spec, "ll"), value);
                return true;
            }
            case 'c': {
                if (spec.length == Length::Long) return fail("Wide characters are not supported");
                if (spec.length != Length::None) return fail("Invalid length modifier");
                long long value = 0;
                if (!arguments_.nextSigned(Length::None, value)) return fail("Missing or mismatched argument");
                const char byte = static_cast<char>(value);
                appendText(Spec{spec.flags, spec.width, std::nullopt, Length::None, 's'},
                           byte ? std::string_view(&byte, 1) : std::string_view());
                return true;
            }
            case 's':
            case '@': {
                if (spec.length == Length::Long) return fail("Wide strings are not supported");
                if (spec.length != Length::None) return fail("Invalid length modifier");
                std::string_view value;
                if (!arguments_.nextString(value)) return fail("Missing or mismatched argument");
                appendText(spec, value);
                return true;
            }
            case 'p': {
                if (spec.length != Length::None) return fail("Invalid length modifier");
                const void* value = nullptr;
                if (!arguments_.nextPointer(value)) return fail("Missing or mismatched argument");
                appendPrintf(printfSpec(spec, ""), value);
                return true;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                if (spec.length == Length::LongDouble) {
                    long double value = 0;
                    if (!arguments_.nextLongDouble(value)) return fail("Missing or mismatched argument");
                    appendPrintf(printfSpec(spec, "L"), value);
                } else {
                    if (integerLength && spec.length != Length::Long) return fail("Invalid length modifier");
                    double value = 0;
                    if (!arguments_.nextDouble(value)) return fail("Missing or mismatched argument");
                    appendPrintf(printfSpec(spec, ""), value);
                }
                return true;
            }
            case 'n': return fail("%n is not allowed");
            case 'C':
            case 'S': return fail("Wide characters are not supported");
            default: return fail("Unsupported conversion");
        }
    }

    std::string_view format_;
    ArgumentSource& arguments_;
    std::string out_;
    std::size_t pos_ = 0;
    std::size_t start_ = 0;
    std::string failure_;
};

}  // namespace

std::optional<std::string> apply(std::string_view format, ArgumentSource& arguments, std::string& failure) {
    return Formatter(format, arguments).run(failure);
}

void logFailure(std::string_view format, std::string_view reason) {
    const NRVLogHandle& handle = NerovaLogger::diagnostics();
    if (!handle.isEnabled(Level::Error)) return;
    handle.error("Failed to create log with format: " + std::string(format) + "; exception: " + std::string(reason));
}

}  // namespace NerovaDiagnosticsFormat

namespace {

using NerovaDiagnosticsFormat::Length;

// Reads a C argument list by the type each conversion names; it cannot tell a
// missing argument, so the caller must pass what the format asks for.
class VaListSource final : public NerovaDiagnosticsFormat::ArgumentSource {
public:
    explicit VaListSource(va_list arguments) { va_copy(arguments_, arguments); }
    ~VaListSource() override { va_end(arguments_); }
    VaListSource(const VaListSource&) = delete;
    VaListSource& operator=(const VaListSource&) = delete;

    bool nextSigned(Length length, long long& value) override {
        switch (length) {
            case Length::Char: value = static_cast<signed char>(va_arg(arguments_, int)); break;
            case Length::Short: value = static_cast<short>(va_arg(arguments_, int)); break;
            case Length::Long: value = va_arg(arguments_, long); break;
            case Length::LongLong: value = va_arg(arguments_, long long); break;
            case Length::IntMax: value = va_arg(arguments_, std::intmax_t); break;
            case Length::Size: value = va_arg(arguments_, std::make_signed_t<std::size_t>); break;
            case Length::PtrDiff: value = va_arg(arguments_, std::ptrdiff_t); break;
            default: value = va_arg(arguments_, int); break;
        }
        return true;
    }

    bool nextUnsigned(Length length, unsigned long long& value) override {
        switch (length) {
            case Length::Char: value = static_cast<unsigned char>(va_arg(arguments_, unsigned)); break;
            case Length::Short: value = static_cast<unsigned short>(va_arg(arguments_, unsigned)); break;
            case Length::Long: value = va_arg(arguments_, unsigned long); break;
            case Length::LongLong: value = va_arg(arguments_, unsigned long long); break;
            case Length::IntMax: value = va_arg(arguments_, std::uintmax_t); break;
            case Length::Size: value = va_arg(arguments_, std::size_t); break;
            case Length::PtrDiff: value = static_cast<unsigned long long>(va_arg(arguments_, std::ptrdiff_t)); break;
            default: value = va_arg(arguments_, unsigned); break;
        }
        return true;
    }

    bool nextDouble(double& value) override {
        value = va_arg(arguments_, double);
        return true;
    }

    bool nextLongDouble(long double& value) override {
        value = va_arg(arguments_, long double);
        return true;
    }

    bool nextString(std::string_view& value) override {
        const char* text = va_arg(arguments_, const char*);
        value = text ? std::string_view(text) : std::string_view("(null)");
        return true;
    }

    bool nextPointer(const void*& value) override {
        value = va_arg(arguments_, const void*);
        return true;
    }

private:
    va_list arguments_;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        char32_t scalar;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            scalar = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            scalar = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            scalar = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            scalar = (scalar << 6) | (cc & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (scalar < kMinimum[extra] || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The string object a C string would make: nil for NULL or non-UTF-8 bytes.
std::optional<std::string_view> stringObject(const char* text) {
    if (!text) return std::nullopt;
    std::string_view view(text);
    if (!isValidUTF8(view)) return std::nullopt;
    return view;
}

std::optional<std::string_view> stringObject(const std::string* text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

}  // namespace

void NerovaDiagnosticsWithArguments(std::optional<std::string_view> tag, std::optional<std::string_view> format,
                                    va_list arguments) {
    if (NSStringExtensions::isNilOrWhiteSpace(tag) || NSStringExtensions::isNilOrWhiteSpace(format)) return;
    try {
        VaListSource source(arguments);
        std::string failure;
        std::optional<std::string> text = NerovaDiagnosticsFormat::apply(*format, source, failure);
        if (!text) {
            NerovaDiagnosticsFormat::logFailure(*format, failure);
            return;
        }
        const NRVLogHandle& handle = NerovaLogger::diagnostics();
        if (!handle.isEnabled(Level::Default)) return;
        handle.log(Level::Default, std::string(*tag) + " : " + *text);
    } catch (const std::exception& error) {
        try {
            NerovaDiagnosticsFormat::logFailure(*format, error.what());
        } catch (...) {
        }
    } catch (...) {
        // A diagnostics line is never worth its caller's life.
    }
}

void NerovaDiagnostics(const std::string* tag, const std::string* format, ...) {
    auto tagObject = stringObject(tag);
    auto formatObject = stringObject(format);
    if (NSStringExtensions::isNilOrWhiteSpace(tagObject) || NSStringExtensions::isNilOrWhiteSpace(formatObject))
        return;
    va_list arguments;
    va_start(arguments, format);
    NerovaDiagnosticsWithArguments(tagObject, formatObject, arguments);
    va_end(arguments);
}

void nerova_diagnostics(const char* tag, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    NerovaDiagnosticsWithArguments(stringObject(tag), stringObject(format), arguments);
    va_end(arguments);
}

void nerova_vdiagnostics(const char* tag, const char* format, va_list arguments) {
    NerovaDiagnosticsWithArguments(stringObject(tag), stringObject(format), arguments);
}

void disable_nerova_diagnostics(void) {}

const char* nerova_diagnostics_srcbasename(const char* path) {
    if (!path) return "";
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

uint32_t nerova_diagnostics_digest(char* out, uint32_t outLength, const void* data, uint32_t dataLength) {
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    if (data) sha256_update(&ctx, static_cast<const unsigned char*>(data), dataLength);
    sha256_final(&ctx, digest);

    // Each character is bounded by outLength on its own: an odd-length buffer
    // gets the high nibble of its last pair, never a byte past its end.
    if (out) {
        for (uint32_t i = 0; i < 2 * SHA256_DIGEST_SIZE && i < outLength; ++i) {
            const unsigned char byte = digest[i / 2];
            out[i] = kHex[i % 2 == 0 ? byte >> 4 : byte & 0x0F];
        }
    }
    return 2 * SHA256_DIGEST_SIZE;
}
