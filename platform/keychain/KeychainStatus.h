// Status numbers of the keychain and certificate services. The numbers are
// the ones peers and stored records of the product use; the texts are our own.
#pragma once

#include <cstdint>
#include <string>

namespace platform::keychain {

using Status = std::int32_t;

namespace status {
inline constexpr Status success = 0;
inline constexpr Status unimplemented = -4;
inline constexpr Status io = -36;
inline constexpr Status fileNotFound = -43;
inline constexpr Status writePermission = -61;
inline constexpr Status param = -50;
inline constexpr Status allocate = -108;
inline constexpr Status notAvailable = -25291;
inline constexpr Status authFailed = -25293;
inline constexpr Status noSuchKeychain = -25294;
inline constexpr Status invalidKeychain = -25295;
inline constexpr Status duplicateKeychain = -25296;
inline constexpr Status duplicateItem = -25299;
inline constexpr Status itemNotFound = -25300;
inline constexpr Status dataTooLarge = -25302;
inline constexpr Status noSuchAttribute = -25303;
inline constexpr Status invalidItemRef = -25304;
inline constexpr Status interactionNotAllowed = -25308;
inline constexpr Status noTrustSettings = -25263;
inline constexpr Status unknownFormat = -25257;
inline constexpr Status decode = -26275;
inline constexpr Status internalComponent = -2070;
}  // namespace status

// A sentence for the status; unknown numbers get a generic text that names
// the number.
std::string statusMessage(Status status);

}  // namespace platform::keychain
