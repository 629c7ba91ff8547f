// Whose code the system trusts: the maker's team identifier and organisation,
// the places its programs run from, and the folder of anchor certificates that
// stand for the platform vendor's developer authority.
//
// The policy is compiled in. Builds made with NRV_CODESIGN_POLICY_OVERRIDE
// (the test builds) also honour the environment variable NRV_CODESIGN_POLICY,
// naming a property-list file whose keys "TeamIdentifier", "Organization",
// "AllowedPathPrefixes" (array), "AnchorsFolder" and "ServiceUser" (integer)
// replace the compiled-in values they name. Thread-safe.
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
    // that cannot be read leaves the compiled-in values in place (with a
    // line on standard error), so a broken override never widens trust.
    static const TrustPolicy& current();
    static const TrustPolicy& compiledIn();
};

}  // namespace platform::codesign
