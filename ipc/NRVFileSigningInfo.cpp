#include "ipc/NRVFileSigningInfo.h"

#include <array>

std::string NRVSigningInfo::signTypeName() const {
    static constexpr std::array<const char*, 8> kNames = {
        "Not Signed", "Not Available", "Nerova", "Nerova", "Apple", "Apple Developer", "Adhoc", "Other",
    };
    if (signType < 0 || signType >= static_cast<std::int64_t>(kNames.size())) return "Unknown";
    return kNames[static_cast<std::size_t>(signType)];
}
