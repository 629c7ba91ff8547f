// Feeds arbitrary bytes to the property-list readers (binary and XML), as a
// preference list another user wrote would reach them: the bounds check,
// then the value type. A list that reads must write again in both formats:
// binary reads back as the same value (malformed UTF-8 written as U+FFFD);
// XML, which keeps dates to the second, must read back and be stable from
// its first reading on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/plist/PropertyList.h"
#include "platform/plist/PropertyListBounds.h"

namespace plist = platform::plist;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)plist::isBoundedPropertyList(data, size);
    (void)plist::isBoundedBinaryPropertyList(data, size);
    auto value = plist::readData(std::string(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    if (auto binary = plist::serialize(*value, plist::Format::Binary)) {
        auto again = plist::readData(*binary);
        if (!again || !fuzz::sameValue(fuzz::asWritten(*value), *again)) __builtin_trap();
    }
    if (auto xml = plist::serialize(*value, plist::Format::XML)) {
        auto first = plist::readData(*xml);
        if (!first) __builtin_trap();
        auto xmlAgain = plist::serialize(*first, plist::Format::XML);
        auto second = xmlAgain ? plist::readData(*xmlAgain) : std::nullopt;
        if (!second || !fuzz::sameValue(*first, *second)) __builtin_trap();
    }
    return 0;
}
