// The default keychains of the two preference domains, which the platform
// keeps for the user and for the system.
//
// Where the platform unlocks the user's keychain with the login password and
// the system keychain with a system key, this build keeps a random password
// in a key file beside each keychain (mode 0600, readable only by its owner)
// and unlocks the keychain with it:
//   user:   $HOME/.local/share/nerova/keychains/login.keychain (+ ".key")
//   system: /var/lib/nerova/keychains/System.keychain (+ ".key"), under the
//           system root (NRV_SYSTEM_ROOT) like every product path.
// Either keychain is made, with a new key file, on first use.
#pragma once

#include <memory>
#include <string>

#include "platform/keychain/Keychain.h"

namespace platform::keychain {

enum class Domain { User, System };

std::string domainKeychainPath(Domain domain);
// The domain's keychain, unlocked; a failure gives the error (with its
// status) and no keychain.
bool copyDomainDefault(Domain domain, std::shared_ptr<Keychain>* out, platform::Error* error = nullptr);

}  // namespace platform::keychain
