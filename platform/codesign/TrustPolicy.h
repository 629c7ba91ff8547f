// Whose code the system trusts: the maker's team identifier and organisation,
// the places its programs run from, and the folder of anchor certificates that
// stand for the platform vendor's developer authority.
//
// The policy is compiled in. Builds made with NRV_CODESIGN_POLICY_OVERRIDE
// (the test builds; a release build is configured with the CMake option
// NRV_CODESIGN_POLICY_OVERRIDE=OFF, which leaves this code out) also honour
// the environment variable NRV_CODESIGN_POLICY, naming a property-list file
// whose keys "TeamIdentifier", "Organization", "AllowedPathPrefixes" (array),
// "AnchorsFolder" and "ServiceUser" (integer) replace the compiled-in values
// they name. The file and
// the anchors folder it names are used only when they pass the ownership
// rule of platform/fs/TrustedItem.h (root's or this user's, writable by
// nobody else). Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::codesign {

struct TrustPolicy {
    std::string teamIdentifier;
    std::string organization;
    std::vector<std::string> allowedPathPrefixes;
    std::string anchorsFolder;
    // The user every service must run as, where a test policy says so (its
    // fake services all run as one user). Otherwise a client expects root
    // of the broker and the product's services, and the login user of the
    // per-user agent.
    std::optional<std::uint32_t> serviceUser;

    // The compiled-in policy, unless overridden as said above. A policy file
    // that cannot be read or fails the ownership rule leaves the compiled-in
    // values in place (with one log line), so a broken or planted override
    // never widens trust.
    static const TrustPolicy& current();
    static const TrustPolicy& compiledIn();
};

}  // namespace platform::codesign
