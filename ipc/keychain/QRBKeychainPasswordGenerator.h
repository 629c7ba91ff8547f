// Keychain passwords built at run time from the machine's serial number.
// Without a serial number the text "(null)" stands in its place, so every
// such machine gets the same password; a warning is logged when that happens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace QRBKeychainPasswordGenerator {

// The product keychain's password: the first 12 characters of
// generateKeychainPasswordForSerialNumber(machineSerialNumber()).
std::string generateKeychainPassword();
// SHA-256 (64 lower-case hexadecimal characters) of the serial number
// followed by two fixed numbers of the product.
std::string generateKeychainPasswordForSerialNumber(const std::optional<std::string>& serialNumber);
std::optional<std::string> machineSerialNumber();
// Salted SHA-256 of a fixed number, the serial number and `n`, salted with
// the 8 bytes of `n` in little-endian order.
std::string getUniqueId(std::uint64_t n);

// The serial number as it enters the texts: itself, or "(null)".
std::string serialNumberText(const std::optional<std::string>& serialNumber);
// A fixed number of the product in the six-decimal form the texts use.
std::string formatConstant(double value);

}  // namespace QRBKeychainPasswordGenerator
