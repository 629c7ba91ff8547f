// Feeds arbitrary text to the JSON reader that takes the status report's
// event parameters. A text that reads must print again, and the printed text
// must read back as the same value (numbers compared by value).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/NRVValueJSON.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = NRVValueJSON::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    auto printed = NRVValueJSON::prettyPrinted(*value);
    if (!printed) return 0;  // values JSON cannot hold, such as an overflowing number
    auto again = NRVValueJSON::parse(*printed);
    if (!again || !fuzz::sameValue(*value, *again, /*numbersByValue=*/true)) __builtin_trap();
    return 0;
}
