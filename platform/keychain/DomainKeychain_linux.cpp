#include "platform/keychain/DomainKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cerrno>

#include "platform/fd/ScopedFD.h"
#include "platform/fd/WriteAll.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace platform::keychain {

namespace {

constexpr std::size_t kKeyLength = 64;  // hexadecimal characters

std::string keyPath(Domain domain) { return domainKeychainPath(domain) + ".key"; }

// Reads the key file: a regular file of exactly the key's length.
Status readKey(const std::string& path, SecureBytes* out) {
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (raw < 0) return errno == ENOENT ? status::itemNotFound : status::authFailed;
    ScopedFD fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeyLength))
        return status::authFailed;
    SecureBytes key(kKeyLength);
    if (::read(fd.get(), key.data(), kKeyLength) != static_cast<ssize_t>(kKeyLength)) return status::authFailed;
    *out = std::move(key);
    return status::success;
}

Status makeKey(const std::string& path, SecureBytes* out) {
    std::uint8_t random[kKeyLength / 2];
    if (RAND_bytes(random, sizeof random) != 1) return status::internalComponent;
    SecureBytes key(kKeyLength);
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < sizeof random; ++i) {
        key.data()[2 * i] = static_cast<std::uint8_t>(kHex[random[i] >> 4]);
        key.data()[2 * i + 1] = static_cast<std::uint8_t>(kHex[random[i] & 0xF]);
    }
    secureWipe(random, sizeof random);
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (raw < 0) return errno == EEXIST ? status::duplicateKeychain : status::writePermission;
    ScopedFD fd(raw);
    if (!writeAll(fd.get(), key.data(), kKeyLength) || ::fsync(fd.get()) != 0) {
        ::unlink(path.c_str());
        return status::io;
    }
    *out = std::move(key);
    return status::success;
}

}  // namespace

std::string domainKeychainPath(Domain domain) {
    if (domain == Domain::User) return platform::homeDirectory() + "/.local/share/nerova/keychains/login.keychain";
    return platform::resolveSystemPath("/var/lib/nerova/keychains/System.keychain");
}

Status copyDomainDefault(Domain domain, std::shared_ptr<Keychain>* out) {
    std::string path = domainKeychainPath(domain);
    SecureBytes key;
    Status rc = readKey(keyPath(domain), &key);
    if (rc == status::itemNotFound) {
        if (!platform::fs::createDirectory(platform::fs::deletingLastPathComponent(path), true))
            return status::writePermission;
        if (platform::fs::itemExists(path)) return status::authFailed;  // a keychain whose key is gone
        if ((rc = makeKey(keyPath(domain), &key)) != status::success) return rc;
        rc = Keychain::create(path, key.view(), out);
        if (rc != status::duplicateKeychain) return rc;
    } else if (rc != status::success) {
        return rc;
    }
    std::shared_ptr<Keychain> keychain = Keychain::open(path);
    if ((rc = keychain->unlock(key.view())) != status::success) return rc;
    *out = std::move(keychain);
    return status::success;
}

}  // namespace platform::keychain
