#include "platform/keychain/KeychainFile.h"

#include "platform/fd/WriteAll.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::keychain::detail {

namespace {

// Each try finds the lock file replaced by a deletion and creation between
// its open and its lock; past this many the keychain is too busy to lock.
constexpr int kMaxReplaceRetries = 64;

Identity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}


}  // namespace

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

bool fail(platform::Error* error, Status status) {
    if (error) *error = statusError(status);
    return false;
}

bool failCall(platform::Error* error, Status status, const char* operation, int code, const std::string& path) {
    if (error) {
        std::string call = path.empty() ? std::string(operation) : std::string(operation) + " " + path;
        *error = platform::Error{.operation = operation,
                                 .code = code,
                                 .description = statusMessage(status) + " (" + call + ": " + std::strerror(code) + ")",
                                 .status = status};
    }
    return false;
}

bool failCall(platform::Error* error, const char* operation, int code, const std::string& path) {
    return failCall(error, statusForErrno(code), operation, code, path);
}

bool identityAtPath(const std::string& path, Identity* out, platform::Error* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return failCall(error, "lstat", errno, path);
    if (!S_ISREG(st.st_mode)) return fail(error, status::invalidKeychain);
    *out = identityOf(st);
    return true;
}

bool identityOfDescriptor(int fd, Identity* out, platform::Error* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return failCall(error, status::io, "fstat", errno, {});
    *out = identityOf(st);
    return true;
}

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool openForReading(const std::string& path, ScopedFD* out, platform::Error* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return failCall(error, "open", errno, path);
    out->reset(fd);
    return true;
}

bool readWhole(int fd, std::vector<std::uint8_t>* out, platform::Error* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return failCall(error, status::io, "fstat", errno, {});
    if (!S_ISREG(st.st_mode)) return fail(error, status::invalidKeychain);
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return fail(error, status::invalidKeychain);
    out->clear();
    std::uint8_t buffer[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failCall(error, status::io, "pread", errno, {});
        }
        if (n == 0) break;
        offset += n;
        if (static_cast<std::uint64_t>(offset) > kMaxFileSize) return fail(error, status::invalidKeychain);
        out->insert(out->end(), buffer, buffer + n);
    }
    return true;
}

bool lockKeychain(const std::string& path, ScopedFD* out, platform::Error* error) {
    std::string lockPath = path + ".lock";
    for (int attempt = 0; attempt < kMaxReplaceRetries; ++attempt) {
        int raw = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (raw < 0) return failCall(error, "open", errno, lockPath);
        ScopedFD fd(raw);
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) return failCall(error, status::io, "flock", errno, lockPath);
        }
        struct stat held {}, now {};
        if (::fstat(fd.get(), &held) != 0) return failCall(error, status::io, "fstat", errno, lockPath);
        if (!S_ISREG(held.st_mode)) return fail(error, status::invalidKeychain);
        if (::lstat(lockPath.c_str(), &now) != 0) {
            if (errno == ENOENT) continue;
            return failCall(error, "lstat", errno, lockPath);
        }
        if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
            *out = std::move(fd);
            return true;
        }
    }
    return fail(error, status::io);
}

bool writeTemporaryFile(const std::string& path, std::span<const std::uint8_t> bytes, std::string* tempPath,
                        ScopedFD* tempFD, platform::Error* error) {
    if (bytes.size() > kMaxFileSize) return fail(error, status::dataTooLarge);
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int raw = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
    if (raw < 0) return failCall(error, "mkostemp", errno, pattern);
    ScopedFD fd(raw);
    *tempPath = name.data();
    const char* failed = nullptr;
    if (::fchmod(fd.get(), 0600) != 0) failed = "fchmod";
    else if (!writeAll(fd.get(), bytes.data(), bytes.size())) failed = "write";
    else if (::fsync(fd.get()) != 0) failed = "fsync";
    if (failed) {
        const int code = errno;
        ::unlink(tempPath->c_str());
        return failCall(error, status::io, failed, code, *tempPath);
    }
    *tempFD = std::move(fd);
    return true;
}

}  // namespace platform::keychain::detail
