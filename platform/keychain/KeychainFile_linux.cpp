#include "platform/keychain/KeychainFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/keychain/KeychainCrypto.h"
#include "platform/keychain/KeychainFormat.h"
#include "platform/keychain/KeychainState.h"

namespace platform::keychain::detail {

Status statusForErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS: return status::writePermission;
        case ENOENT:
        case ENOTDIR: return status::noSuchKeychain;
        case ELOOP: return status::invalidKeychain;
        default: return status::io;
    }
}

Identity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads the open file from its start, at most kMaxFileSize bytes.
Status readWhole(int fd, std::vector<std::uint8_t>* out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return status::io;
    if (!S_ISREG(st.st_mode)) return status::invalidKeychain;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return status::invalidKeychain;
    out->clear();
    std::uint8_t buffer[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return status::io;
        }
        if (n == 0) break;
        offset += n;
        if (static_cast<std::uint64_t>(offset) > kMaxFileSize) return status::invalidKeychain;
        out->insert(out->end(), buffer, buffer + n);
    }
    return status::success;
}

// Loads the open file into the state unless it is the one already loaded.
// Keeps the master key when the file was wrapped the same way and its tag
// checks out; a file with a failing tag is refused.
Status loadFrom(int fd, Keychain::State& s) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return status::io;
    if (s.loaded && s.identity == identityOf(st)) return status::success;
    std::vector<std::uint8_t> bytes;
    if (Status rc = readWhole(fd, &bytes); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    Keychain::State fresh;
    if (!parseFile(bytes, &fresh)) {
        s.loaded = false;
        return status::invalidKeychain;
    }
    if (!s.masterKey.empty() && s.header.sameWrapping(fresh.header)) {
        if (!fileTagMatches(fresh, s.masterKey)) {
            s.loaded = false;
            return status::invalidKeychain;
        }
        fresh.masterKey = std::move(s.masterKey);
        fresh.passwordCheck = std::move(s.passwordCheck);
    }
    fresh.identity = identityOf(st);
    fresh.loaded = true;
    s = std::move(fresh);
    return status::success;
}

Status openForReading(const std::string& path, ScopedFD* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return statusForErrno(errno);
    out->reset(fd);
    return status::success;
}

// Brings the state up to date with the file at the path, reading it only
// when it changed.
Status refresh(const std::string& path, Keychain::State& s) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        s.loaded = false;
        return statusForErrno(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        s.loaded = false;
        return status::invalidKeychain;
    }
    if (s.loaded && s.identity == identityOf(st)) return status::success;
    ScopedFD fd;
    if (Status rc = openForReading(path, &fd); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    return loadFrom(fd.get(), s);
}

// Takes the keychain's exclusive lock: an flock on "<path>.lock", a file
// that stays in place while the keychain itself is replaced by renames (a
// lock on the keychain file would keep a waiter one replacement behind, and a
// busy writer could starve it). The lock file is checked to still be the one
// at its path, since deleting a keychain removes it too.
Status lockKeychain(const std::string& path, ScopedFD* out) {
    std::string lockPath = path + ".lock";
    for (int attempt = 0; attempt < kMaxReplaceRetries; ++attempt) {
        int raw = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (raw < 0) return statusForErrno(errno);
        ScopedFD fd(raw);
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) return status::io;
        }
        struct stat held {}, now {};
        if (::fstat(fd.get(), &held) != 0) return status::io;
        if (!S_ISREG(held.st_mode)) return status::invalidKeychain;
        if (::lstat(lockPath.c_str(), &now) != 0) {
            if (errno == ENOENT) continue;
            return statusForErrno(errno);
        }
        if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
            *out = std::move(fd);
            return status::success;
        }
    }
    return status::io;
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes the state into a new temporary file beside `path`; the caller
// renames or links it into place, then takes the identity from the still
// open descriptor (a stat of the path could see a later writer's file).
Status writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD) {
    std::vector<std::uint8_t> bytes = serializeBody(s);
    sha256Digest(bytes, s.checksum);
    SecureBytes macKey = subkey(s.masterKey, "nerova keychain file tag");
    hmacSHA256(macKey.span(), {s.checksum, kDigestLength}, s.mac);
    bytes.insert(bytes.end(), s.checksum, s.checksum + kDigestLength);
    bytes.insert(bytes.end(), s.mac, s.mac + kDigestLength);
    if (bytes.size() > kMaxFileSize) return status::dataTooLarge;

    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int raw = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
    if (raw < 0) return statusForErrno(errno);
    ScopedFD fd(raw);
    *tempPath = name.data();
    if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) {
        ::unlink(tempPath->c_str());
        return status::io;
    }
    *tempFD = std::move(fd);
    return status::success;
}

bool takeIdentity(int fd, Keychain::State& s) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    s.identity = identityOf(st);
    return true;
}

}  // namespace platform::keychain::detail
