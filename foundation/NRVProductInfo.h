// Which edition of the protection product is installed.
#pragma once

#include <optional>

class NRVProductInfo {
public:
    NRVProductInfo() = delete;

    // The braced GUID listed under "GUIDs" of the auto-update list, and the
    // unbraced GUID of "Product" in the product information, of the home edition.
    static constexpr const char* kHomeAutoUpdateGUID = "{6E1B73C2-48A5-4F0D-9C7E-2A91D3F5B804}";
    static constexpr const char* kHomeProductGUID = "B2F4C6D8-1A3E-4B5C-8D7F-9E0A1B2C3D4E";

    // Reads the auto-update list on every call.
    static bool isHomeEdition();
    // Read once per process, then cached (also a "no").
    static bool isNerovaHome();
    // Test hook: replaces the cached answer; nullopt makes the next call read again.
    static void resetIsNerovaHomeTo(std::optional<bool> value);
};

bool NRVProductInfoIsNerovaHome();
