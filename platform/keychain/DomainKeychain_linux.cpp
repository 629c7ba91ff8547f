#include "platform/keychain/DomainKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/crypto/OpenSSLState.h"

#include <openssl/rand.h>

#include <cerrno>

#include "platform/fd/ScopedFD.h"
#include "platform/fd/WriteAll.h"
#include "platform/fs/FileManager.h"
#include "platform/keychain/KeychainFile.h"
#include "platform/system/SystemEnvironment.h"

namespace platform::keychain {

using detail::fail;
using detail::failCall;

namespace {

constexpr std::size_t kKeyLength = 64;  // hexadecimal characters

std::string keyPath(Domain domain) { return domainKeychainPath(domain) + ".key"; }

// Reads the key file: a regular file of exactly the key's length. A missing
// file is itemNotFound; any other failure authFailed.
bool readKey(const std::string& path, SecureBytes* out, platform::Error* error) {
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (raw < 0) {
        const int code = errno;
        return failCall(error, code == ENOENT ? status::itemNotFound : status::authFailed, "open", code, path);
    }
    ScopedFD fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failCall(error, status::authFailed, "fstat", errno, path);
    if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeyLength)) return fail(error, status::authFailed);
    SecureBytes key(kKeyLength);
    const ssize_t n = ::read(fd.get(), key.data(), kKeyLength);
    if (n < 0) return failCall(error, status::authFailed, "read", errno, path);
    if (n != static_cast<ssize_t>(kKeyLength)) return fail(error, status::authFailed);
    *out = std::move(key);
    return true;
}

bool makeKey(const std::string& path, SecureBytes* out, platform::Error* error) {
    std::uint8_t random[kKeyLength / 2];
    if (RAND_bytes(random, sizeof random) != 1) return fail(error, status::internalComponent);
    SecureBytes key(kKeyLength);
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < sizeof random; ++i) {
        key.data()[2 * i] = static_cast<std::uint8_t>(kHex[random[i] >> 4]);
        key.data()[2 * i + 1] = static_cast<std::uint8_t>(kHex[random[i] & 0xF]);
    }
    secureWipe(random, sizeof random);
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (raw < 0) {
        const int code = errno;
        return code == EEXIST ? fail(error, status::duplicateKeychain)
                              : failCall(error, status::writePermission, "open", code, path);
    }
    ScopedFD fd(raw);
    const char* failed = nullptr;
    if (!writeAll(fd.get(), key.data(), kKeyLength)) failed = "write";
    else if (::fsync(fd.get()) != 0) failed = "fsync";
    if (failed) {
        const int code = errno;
        ::unlink(path.c_str());
        return failCall(error, status::io, failed, code, path);
    }
    *out = std::move(key);
    return true;
}

}  // namespace

std::string domainKeychainPath(Domain domain) {
    if (domain == Domain::User) return platform::homeDirectory() + "/.local/share/nerova/keychains/login.keychain";
    return platform::resolveSystemPath("/var/lib/nerova/keychains/System.keychain");
}

bool copyDomainDefault(Domain domain, std::shared_ptr<Keychain>* out, platform::Error* error) {
    std::string path = domainKeychainPath(domain);
    SecureBytes key;
    platform::Error keyError;
    if (!readKey(keyPath(domain), &key, &keyError)) {
        if (statusOf(keyError) != status::itemNotFound) {
            if (error) *error = std::move(keyError);
            return false;
        }
        const std::string folder = platform::fs::deletingLastPathComponent(path);
        platform::Error folderError;
        if (!platform::fs::createDirectory(folder, true, &folderError)) {
            return failCall(error, status::writePermission, "mkdir", folderError.code, folder);
        }
        if (platform::fs::itemExists(path)) return fail(error, status::authFailed);  // a keychain whose key is gone
        if (!makeKey(keyPath(domain), &key, error)) return false;
        platform::Error createError;
        if (Keychain::create(path, key.view(), out, &createError)) return true;
        if (statusOf(createError) != status::duplicateKeychain) {
            if (error) *error = std::move(createError);
            return false;
        }
    }
    std::shared_ptr<Keychain> keychain = Keychain::open(path);
    if (!keychain->unlock(key.view(), error)) return false;
    *out = std::move(keychain);
    return true;
}

}  // namespace platform::keychain
