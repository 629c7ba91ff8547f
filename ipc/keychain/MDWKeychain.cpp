#include "ipc/keychain/MDWKeychain.h"

#include "foundation/NSStringExtensions.h"
#include "ipc/keychain/QRBKeychainPasswordGenerator.h"
#include "platform/memory/NoDestructor.h"

namespace {
constexpr double kUniqueIdConstant = 1.618033;
}  // namespace

MDWKeychain& MDWKeychain::shared() {
    static platform::NoDestructor<MDWKeychain> instance;
    return *instance;
}

NRVKeychainRef MDWKeychain::getKeychain() { return modernWebKeychain_; }
NRVKeychainRef* MDWKeychain::getKeychainPtr() { return &modernWebKeychain_; }
std::string MDWKeychain::getKeychainFilePath() { return "/Library/Nerova Anti-Virus/VevaroRavEzeriz.keychain"; }
std::string MDWKeychain::getKeychainPassword() { return getUniqueId(); }

std::string MDWKeychain::getUniqueId() {
    std::string pathDigest = NSStringExtensions::sha256Hash(getKeychainFilePath());
    std::string text = QRBKeychainPasswordGenerator::formatConstant(kUniqueIdConstant) +
                       QRBKeychainPasswordGenerator::serialNumberText(QRBKeychainPasswordGenerator::machineSerialNumber()) +
                       pathDigest.substr(0, 8);
    std::string salt = pathDigest.substr(16, 8);
    return NSStringExtensions::sha256HashWithSalt(text, salt.data(), salt.size());
}
