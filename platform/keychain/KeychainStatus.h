// Status numbers of the keychain and certificate services. The numbers are
// the ones peers and stored records of the product use; the texts are our own.
//
// The keychain calls report a failure as a platform::Error whose `status` is
// one of these numbers and whose `description` is its sentence; where a
// system call failed, its `operation` and errno `code` come along and the
// description adds the call, the path and the system's text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error/Error.h"

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

// The error of a failure with the status and nothing more.
platform::Error statusError(Status status);
// The status an error of a keychain call carries.
inline Status statusOf(const platform::Error& error) { return static_cast<Status>(error.status); }
// The status of a keychain call that answered `succeeded`, filling `error`.
inline Status statusOf(bool succeeded, const platform::Error& error) {
    return succeeded ? status::success : statusOf(error);
}

}  // namespace platform::keychain
