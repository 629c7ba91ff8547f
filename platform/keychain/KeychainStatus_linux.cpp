#include "platform/keychain/KeychainStatus.h"

namespace platform::keychain {

namespace {

struct Row {
    Status status;
    const char* message;
};

constexpr Row kMessages[] = {
    {status::success, "No error."},
    {status::unimplemented, "Function or operation not implemented."},
    {status::io, "I/O error."},
    {status::fileNotFound, "The file could not be found."},
    {status::writePermission, "Write permissions error."},
    {status::param, "One or more parameters passed to a function were not valid."},
    {status::allocate, "Failed to allocate memory."},
    {status::notAvailable, "No keychain is available."},
    {status::authFailed, "The user name or passphrase you entered is not correct."},
    {status::noSuchKeychain, "The specified keychain could not be found."},
    {status::invalidKeychain, "The specified keychain is not a valid keychain file."},
    {status::duplicateKeychain, "A keychain with the same name already exists."},
    {status::duplicateItem, "The specified item already exists in the keychain."},
    {status::itemNotFound, "The specified item could not be found in the keychain."},
    {status::dataTooLarge, "The contents of this item cannot be retrieved."},
    {status::noSuchAttribute, "The specified attribute does not exist."},
    {status::invalidItemRef, "The specified item is no longer valid. It may have been deleted from the keychain."},
    {status::interactionNotAllowed, "User interaction is not allowed."},
    {status::noTrustSettings, "No trust settings were found."},
    {status::unknownFormat, "The item you are trying to import has an unknown format."},
    {status::decode, "Unable to decode the provided data."},
    {status::internalComponent, "An internal component failed."},
};

}  // namespace

std::string statusMessage(Status code) {
    for (const Row& row : kMessages) {
        if (row.status == code) return row.message;
    }
    return "OSStatus " + std::to_string(code);
}

platform::Error statusError(Status status) {
    return platform::Error{.operation = {}, .code = 0, .description = statusMessage(status), .status = status};
}

}  // namespace platform::keychain
