#include "ipc/keychain/QRBKeychainPasswordGenerator.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaLogger.h"
#include "platform/system/MachineSerialNumber.h"

namespace QRBKeychainPasswordGenerator {

namespace {
constexpr double kPasswordConstantA = 2.718281;
constexpr double kPasswordConstantB = 1.414213;
constexpr double kUniqueIdConstant = 3.141592;
}  // namespace

std::string formatConstant(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", value);
    return buffer;
}

std::string serialNumberText(const std::optional<std::string>& serialNumber) {
    if (serialNumber) return *serialNumber;
    // Once per process: every keychain call builds the password again.
    static std::once_flag warned;
    std::call_once(warned, [] {
        NerovaLogger::keychain().log(
            "No machine serial number: the keychain password falls back to the text shared by every such machine");
    });
    return "(null)";
}

std::optional<std::string> machineSerialNumber() { return platform::machineSerialNumber(); }

std::string generateKeychainPasswordForSerialNumber(const std::optional<std::string>& serialNumber) {
    return NSStringExtensions::sha256Hash(serialNumberText(serialNumber) + formatConstant(kPasswordConstantA) +
                                          formatConstant(kPasswordConstantB));
}

std::string generateKeychainPassword() {
    return generateKeychainPasswordForSerialNumber(machineSerialNumber()).substr(0, 12);
}

std::string getUniqueId(std::uint64_t n) {
    std::string text = formatConstant(kUniqueIdConstant) + serialNumberText(machineSerialNumber()) + std::to_string(n);
    std::uint8_t salt[8];
    for (int i = 0; i < 8; ++i) salt[i] = static_cast<std::uint8_t>(n >> (8 * i));
    return NSStringExtensions::sha256HashWithSalt(text, salt, sizeof salt);
}

}  // namespace QRBKeychainPasswordGenerator
