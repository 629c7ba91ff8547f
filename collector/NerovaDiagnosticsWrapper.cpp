#include "collector/NerovaDiagnosticsWrapper.h"

#include <cstdarg>
#include <string>

#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaDiagnostics.h"

namespace NerovaDiagnosticsWrapper {

namespace {

using NerovaDiagnosticsFormat::Length;

// Typed arguments: unlike a C argument list, a missing or mismatched one is
// detected and reported instead of read as garbage.
class TypedSource final : public NerovaDiagnosticsFormat::ArgumentSource {
public:
    explicit TypedSource(std::span<const Argument> arguments) : arguments_(arguments) {}

    bool nextSigned(Length length, long long& value) override {
        const Argument* argument = next();
        if (!argument) return false;
        if (auto* s = std::get_if<long long>(argument))
            value = *s;
        else if (auto* u = std::get_if<unsigned long long>(argument))
            value = static_cast<long long>(*u);
        else
            return false;
        if (length == Length::Char) value = static_cast<signed char>(value);
        if (length == Length::Short) value = static_cast<short>(value);
        return true;
    }

    bool nextUnsigned(Length length, unsigned long long& value) override {
        long long bits = 0;
        if (!nextSigned(Length::None, bits)) return false;
        value = static_cast<unsigned long long>(bits);
        if (length == Length::Char) value = static_cast<unsigned char>(value);
        if (length == Length::Short) value = static_cast<unsigned short>(value);
        return true;
    }

    bool nextDouble(double& value) override {
        const Argument* argument = next();
        if (!argument) return false;
        if (auto* d = std::get_if<double>(argument))
            value = *d;
        else if (auto* s = std::get_if<long long>(argument))
            value = static_cast<double>(*s);
        else if (auto* u = std::get_if<unsigned long long>(argument))
            value = static_cast<double>(*u);
        else
            return false;
        return true;
    }

    bool nextLongDouble(long double& value) override {
        double d = 0;
        if (!nextDouble(d)) return false;
        value = d;
        return true;
    }

    bool nextString(std::string_view& value) override {
        const Argument* argument = next();
        auto* text = argument ? std::get_if<std::string_view>(argument) : nullptr;
        if (!text) return false;
        value = *text;
        return true;
    }

    bool nextPointer(const void*& value) override {
        const Argument* argument = next();
        auto* pointer = argument ? std::get_if<const void*>(argument) : nullptr;
        if (!pointer) return false;
        value = *pointer;
        return true;
    }

private:
    const Argument* next() { return index_ < arguments_.size() ? &arguments_[index_++] : nullptr; }

    std::span<const Argument> arguments_;
    std::size_t index_ = 0;
};

void handOver(std::string_view tags, const char* format, ...) {
    va_list list;
    va_start(list, format);
    NerovaDiagnosticsWithArguments(tags, std::string_view(format), list);
    va_end(list);
}

}  // namespace

void log(std::string_view tags, std::string_view format, std::span<const Argument> arguments) {
    if (NSStringExtensions::isNilOrWhiteSpace(tags) || NSStringExtensions::isNilOrWhiteSpace(format)) return;
    try {
        TypedSource source(arguments);
        std::string failure;
        std::optional<std::string> message = NerovaDiagnosticsFormat::apply(format, source, failure);
        if (!message) {
            NerovaDiagnosticsFormat::logFailure(format, failure);
            return;
        }
        handOver(tags, "%s", message->c_str());
    } catch (...) {
        // Out of memory while formatting: the line is dropped, the collection goes on.
    }
}

}  // namespace NerovaDiagnosticsWrapper
