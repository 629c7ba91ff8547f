// The keychain file on disk, as bytes: reading it with a size cap, the
// exclusive lock, temporary files moved into place, and the identity that
// tells whether the file changed. Not part of the layer's interface.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/error/Error.h"
#include "platform/fd/ScopedFD.h"
#include "platform/keychain/KeychainStatus.h"

namespace platform::keychain::detail {

// Big enough for hundreds of thousands of items; a larger file is not ours.
constexpr std::uint64_t kMaxFileSize = 128ull << 20;

// The status a failed system call's errno stands for.
Status statusForErrno(int error);

// Each sets *error (when given) and answers false. fail: the status alone.
// failCall: a system call on the path (empty for a descriptor) failed with
// errno `code`; the status given, or the one the errno stands for.
bool fail(platform::Error* error, Status status);
bool failCall(platform::Error* error, Status status, const char* operation, int code, const std::string& path);
bool failCall(platform::Error* error, const char* operation, int code, const std::string& path);

// Which file, and which version of it: a file replaced, grown or touched since
// has another identity.
struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime = 0, ctime = 0;
    bool operator==(const Identity&) const = default;
};

// The identity of the regular file at the path; a link or any other kind of
// file is invalidKeychain.
bool identityAtPath(const std::string& path, Identity* out, platform::Error* error);
// The identity of an open file; false (io) when it cannot be had.
bool identityOfDescriptor(int fd, Identity* out, platform::Error* error = nullptr);

// The folder of the path ("." for a bare name), for syncFolder.
std::string folderOf(const std::string& path);
// Makes the folder's entries (a rename, a link, an unlink) durable.
void syncFolder(const std::string& folder);

// Opens the file without following a link and without blocking on a FIFO.
bool openForReading(const std::string& path, ScopedFD* out, platform::Error* error);
// Reads the open file from its start, at most kMaxFileSize bytes; anything
// but a regular file, and a file over the cap, is invalidKeychain.
bool readWhole(int fd, std::vector<std::uint8_t>* out, platform::Error* error);

// Takes the keychain's exclusive lock: an flock on "<path>.lock", a file
// that stays in place while the keychain itself is replaced by renames (a
// lock on the keychain file would keep a waiter one replacement behind, and a
// busy writer could starve it). The lock file is checked to still be the one
// at its path, since deleting a keychain removes it too.
bool lockKeychain(const std::string& path, ScopedFD* out, platform::Error* error);

// Writes the bytes into a new temporary file of mode 0600 beside `path`
// (dataTooLarge past kMaxFileSize); the caller renames or links it into
// place, then takes the identity from the still open descriptor (a stat of
// the path could see a later writer's file).
bool writeTemporaryFile(const std::string& path, std::span<const std::uint8_t> bytes, std::string* tempPath,
                        ScopedFD* tempFD, platform::Error* error);

}  // namespace platform::keychain::detail
