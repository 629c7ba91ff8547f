// The keychain file on disk: reading it with a size cap, the exclusive lock,
// temporary files renamed into place, and the identity that tells whether the
// file changed. Not part of the layer's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fd/ScopedFD.h"
#include "platform/keychain/Keychain.h"

struct stat;

namespace platform::keychain::detail {

// Big enough for hundreds of thousands of items; a larger file is not ours.
constexpr std::uint64_t kMaxFileSize = 128ull << 20;
constexpr int kMaxReplaceRetries = 64;

Status statusForErrno(int error);

struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime = 0, ctime = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const struct stat& st);
bool writeAll(int fd, const std::uint8_t* data, std::size_t n);
std::string folderOf(const std::string& path);
Status readWhole(int fd, std::vector<std::uint8_t>* out);
Status loadFrom(int fd, Keychain::State& s);
Status openForReading(const std::string& path, ScopedFD* out);
Status refresh(const std::string& path, Keychain::State& s);
Status lockKeychain(const std::string& path, ScopedFD* out);
void syncFolder(const std::string& folder);
Status writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD);
bool takeIdentity(int fd, Keychain::State& s);

}  // namespace platform::keychain::detail
