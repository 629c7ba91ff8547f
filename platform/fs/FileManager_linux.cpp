#include "platform/fs/FileManager.h"

#include "platform/fd/WriteAll.h"
#include "platform/fs/AtomicFileWriter.h"

#include <stdio.h>
#include <sys/file.h>

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <functional>

namespace platform::fs {

namespace {

constexpr std::size_t kCopyBufferSize = 1 << 20;

// Which side of an operation failed: the errors name the file that did.
enum class Op { ReadSource, WriteDestination, CreateDirectory, CreateFile, Write, Remove, Read, List, Move };

std::string quoted(const std::string& s) { return "\u201C" + s + "\u201D"; }

// A sentence in the manner of the platform's file errors, about `path`.
std::string describe(int code, Op op, const std::string& path) {
    const std::string name = quoted(lastPathComponent(path));
    const std::string folder = quoted(lastPathComponent(deletingLastPathComponent(path)));
    const bool reading = op == Op::ReadSource || op == Op::Read || op == Op::List;
    switch (code) {
        case EEXIST:
            if (op == Op::WriteDestination) return name + " couldn\u2019t be copied to " + folder + " because an item with the same name already exists.";
            return "The file " + name + " couldn\u2019t be saved because a file with the same name already exists.";
        case ENOENT:
            if (reading) return "The file " + name + " couldn\u2019t be opened because there is no such file.";
            if (op == Op::Remove) return name + " couldn\u2019t be removed.";
            return "The folder " + folder + " doesn\u2019t exist.";
        case EACCES:
        case EPERM:
            if (reading) return "The file " + name + " couldn\u2019t be opened because you don\u2019t have permission to view it.";
            if (op == Op::Remove) return name + " couldn\u2019t be removed because you don\u2019t have permission to access it.";
            return "You don\u2019t have permission to save the file " + name + " in the folder " + folder + ".";
        case ENOSPC:
        case EDQUOT:
            return "The file " + name + " couldn\u2019t be saved because there isn\u2019t enough space.";
        case EFBIG:
            return "The file " + name + " couldn\u2019t be saved because it is too large.";
        case EROFS:
            return "The file " + name + " couldn\u2019t be saved because the volume is read only.";
        case EIO:
            if (reading) return "The file " + name + " couldn\u2019t be read because of an input/output error.";
            return "The file " + name + " couldn\u2019t be saved because of an input/output error.";
        case ENOTDIR:
            return "The file " + name + " couldn\u2019t be opened because " + folder + " is not a folder.";
        case ELOOP:
            return name + " couldn\u2019t be opened because a symbolic link lies on its path.";
        case ENAMETOOLONG:
            return "The file name " + name + " is too long.";
        case EWOULDBLOCK:
            return "The file " + name + " is in use by another process.";
        default:
            return "The operation on " + name + " couldn\u2019t be completed. (" + std::string(std::strerror(code)) + ")";
    }
}

const char* operationName(Op op) {
    switch (op) {
        case Op::ReadSource: return "read source";
        case Op::WriteDestination: return "write destination";
        case Op::CreateDirectory: return "create directory";
        case Op::CreateFile: return "create file";
        case Op::Write: return "write";
        case Op::Remove: return "remove";
        case Op::Read: return "read";
        case Op::List: return "list";
        case Op::Move: return "move";
    }
    return "";
}

bool fail(Error* error, int code, Op op, const std::string& path) {
    if (error) {
        *error = Error{};
        error->operation = operationName(op);
        error->code = code;
        error->description = describe(code, op, path);
    }
    return false;
}

bool failNotRegular(Error* error, const std::string& path) {
    if (error) {
        *error = Error{};
        error->operation = "open";
        error->code = EINVAL;
        error->description = quoted(lastPathComponent(path)) + " couldn\u2019t be opened because it isn\u2019t a regular file.";
    }
    return false;
}


// Copies the rest of `in` to `out` in constant memory. On failure errno
// holds the cause and *readFailed tells which side it came from.
bool copyData(int in, int out, bool* readFailed) {
    *readFailed = false;
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyBufferSize, 0);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) break;
        // copy_file_range does not say which side failed: space and quota
        // are the destination's, everything else is taken up by the plain
        // loop below, which can tell.
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return false;
        break;
    }
    std::string buffer(kCopyBufferSize, '\0');
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            *readFailed = true;
            return false;
        }
        if (n == 0) return true;
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n))) return false;
    }
}

bool copyFileContents(const std::string& source, const std::string& destination, Error* error);

bool copyDirectoryTree(const std::string& source, const std::string& destination, mode_t mode, Error* error) {
    if (::mkdir(destination.c_str(), (mode & 07777) | S_IRWXU) != 0)
        return fail(error, errno, Op::WriteDestination, destination);
    auto entries = contentsOfDirectory(source, false, error);
    if (!entries) return false;
    for (const auto& entry : *entries) {
        struct stat st {};
        if (::lstat(entry.path.c_str(), &st) != 0) continue;
        const std::string target = appendingPathComponent(destination, entry.name);
        // Links are left out: the archive program would follow them.
        if (S_ISDIR(st.st_mode)) {
            if (!copyDirectoryTree(entry.path, target, st.st_mode, error)) return false;
        } else if (S_ISREG(st.st_mode)) {
            if (!copyFileContents(entry.path, target, error)) return false;
        }
    }
    return true;
}

// Copies an opened regular source into a new file (never through a link,
// never over an existing item).
bool copyOpenedFile(const ScopedFD& in, const struct stat& st, const std::string& source,
                    const std::string& destination, Error* error) {
    ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    ScopedFD out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        (st.st_mode & 0777) | S_IRUSR | S_IWUSR));
    if (!out) return fail(error, errno, Op::WriteDestination, destination);
    bool readFailed = false;
    if (!copyData(in.get(), out.get(), &readFailed)) {
        int code = errno;
        ::unlink(destination.c_str());  // never leave a half copy behind
        return fail(error, code, readFailed ? Op::ReadSource : Op::Write, readFailed ? source : destination);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    return true;
}

bool copyFileContents(const std::string& source, const std::string& destination, Error* error) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
    ScopedFD in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!in) return fail(error, errno, Op::ReadSource, source);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return fail(error, errno, Op::ReadSource, source);
    if (S_ISDIR(st.st_mode)) return copyDirectoryTree(source, destination, st.st_mode, error);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, source);
    return copyOpenedFile(in, st, source, destination, error);
}

bool startsWithFolder(const std::string& path, const std::string& folder) {
    if (folder == "/") return !path.empty() && path[0] == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

void enumerate(const std::string& base, const std::string& relative, std::vector<std::string>& out, int depth) {
    // Bounded: a tree deeper than this is not one the product wrote.
    if (depth > 64) return;
    auto entries = contentsOfDirectory(relative.empty() ? base : base + "/" + relative, false);
    if (!entries) return;
    for (const auto& entry : *entries) {
        std::string rel = relative.empty() ? entry.name : relative + "/" + entry.name;
        out.push_back(rel);
        if (entry.isDirectory) enumerate(base, rel, out, depth + 1);
    }
}

}  // namespace

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool fileExists(const std::string& path, bool* isDirectory) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (isDirectory) *isDirectory = false;
        return false;
    }
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool itemExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

std::optional<bool> isSymbolicLink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return S_ISLNK(st.st_mode);
}

bool isWritableFile(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }
bool isReadableFile(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::optional<std::uint64_t> fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool createDirectory(const std::string& path, bool withIntermediateDirectories, Error* error) {
    if (path.empty()) return fail(error, ENOENT, Op::CreateDirectory, path);
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    int code = errno;
    bool isDir = false;
    if (code == EEXIST) {
        if (withIntermediateDirectories && fileExists(path, &isDir) && isDir) return true;
        return fail(error, EEXIST, Op::CreateDirectory, path);
    }
    if (code == ENOENT && withIntermediateDirectories) {
        const std::string parent = deletingLastPathComponent(path);
        if (parent.empty() || parent == path) return fail(error, code, Op::CreateDirectory, path);
        if (!createDirectory(parent, true, error)) return false;
        if (::mkdir(path.c_str(), 0777) == 0) return true;
        code = errno;
        if (code == EEXIST && fileExists(path, &isDir) && isDir) return true;
    }
    return fail(error, code, Op::CreateDirectory, path);
}

bool createFile(const std::string& path, Error* error) {
    // Never through a planted link; a FIFO must not block the open, and only
    // a regular file may be emptied.
    ScopedFD fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd) return fail(error, errno, Op::CreateFile, path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(error, errno, Op::CreateFile, path);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, path);
    if (st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0) return fail(error, errno, Op::CreateFile, path);
    return true;
}

bool removeItem(const std::string& path, Error* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail(error, errno, Op::Remove, path);
    if (S_ISDIR(st.st_mode)) {
        auto entries = contentsOfDirectory(path, false, error);
        if (!entries) return false;
        for (const auto& entry : *entries)
            if (!removeItem(entry.path, error)) return false;
        if (::rmdir(path.c_str()) != 0) return fail(error, errno, Op::Remove, path);
        return true;
    }
    if (::unlink(path.c_str()) != 0) return fail(error, errno, Op::Remove, path);
    return true;
}

bool copyItem(const std::string& source, const std::string& destination, Error* error) {
    return copyFileContents(source, destination, error);
}

std::optional<ScopedFD> openWithoutLinks(const std::string& path, const LinkPolicy& policy, Error* error) {
    const std::string trusted = standardizePath(policy.trustedFolder.empty() ? "/" : policy.trustedFolder);
    const std::string target = standardizePath(path);
    if (target.empty() || target[0] != '/') {
        fail(error, ENOENT, Op::ReadSource, path);
        return std::nullopt;
    }
    // The trusted folder is opened as it is; a path outside it is walked from "/".
    const std::string start = startsWithFolder(target, trusted) ? trusted : "/";
    ScopedFD folder(::open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        fail(error, errno, Op::ReadSource, path);
        return std::nullopt;
    }
    const std::string rest = start == "/" ? target.substr(1) : target.substr(start.size() + 1);
    std::string walked = start;
    std::size_t at = 0;
    while (at < rest.size()) {
        std::size_t slash = rest.find('/', at);
        const bool last = slash == std::string::npos;
        const std::string name = rest.substr(at, last ? std::string::npos : slash - at);
        at = last ? rest.size() : slash + 1;
        walked = appendingPathComponent(walked, name);
        if (last) {
            // O_NONBLOCK: a FIFO must not hang the open; the caller checks the type.
            ScopedFD file(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!file) {
                fail(error, errno, Op::ReadSource, path);
                return std::nullopt;
            }
            return file;
        }
        ScopedFD next(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && (errno == ENOTDIR || errno == ELOOP)) {
            // O_NOFOLLOW with O_PATH opens the link itself: tell a link from a file.
            struct stat st {};
            const bool isLink = ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            const bool allowed = std::find(policy.allowedLinks.begin(), policy.allowedLinks.end(), walked) !=
                                 policy.allowedLinks.end();
            if (isLink && allowed) {
                next.reset(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            } else if (isLink) {
                fail(error, ELOOP, Op::ReadSource, path);
                return std::nullopt;
            } else {
                errno = ENOTDIR;
            }
        }
        if (!next) {
            fail(error, errno, Op::ReadSource, path);
            return std::nullopt;
        }
        folder = std::move(next);
    }
    fail(error, EISDIR, Op::ReadSource, path);
    return std::nullopt;
}

bool copyItem(const std::string& source, const std::string& destination, const LinkPolicy& policy, Error* error) {
    auto in = openWithoutLinks(source, policy, error);
    if (!in) return false;
    struct stat st {};
    if (::fstat(in->get(), &st) != 0) return fail(error, errno, Op::ReadSource, source);
    if (S_ISDIR(st.st_mode)) return copyDirectoryTree(source, destination, st.st_mode, error);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, source);
    return copyOpenedFile(*in, st, source, destination, error);
}

std::optional<std::string> createTemporaryDirectory(const std::string& parent, const std::string& prefix,
                                                    Error* error) {
    std::string tmpl = appendingPathComponent(parent, prefix + "XXXXXX");
    if (!::mkdtemp(tmpl.data())) {
        fail(error, errno, Op::CreateDirectory, tmpl);
        return std::nullopt;
    }
    return tmpl;
}

bool setPermissions(const std::string& path, unsigned mode, Error* error) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return fail(error, errno, Op::Write, path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(error, errno, Op::Write, path);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, path);
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) return fail(error, errno, Op::Write, path);
    return true;
}

bool moveItemWithoutReplacing(const std::string& source, const std::string& destination, Error* error) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) != 0)
        return fail(error, errno, Op::Move, destination);
    return true;
}

std::optional<ScopedFD> lockDirectoryExclusively(const std::string& path, Error* error) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        fail(error, errno, Op::List, path);
        return std::nullopt;
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        fail(error, errno == EAGAIN ? EWOULDBLOCK : errno, Op::List, path);
        return std::nullopt;
    }
    return fd;
}

bool contentsEqual(const std::string& a, const std::string& b) {
    ScopedFD fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    ScopedFD fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fa || !fb) return false;
    struct stat sa {}, sb {};
    if (::fstat(fa.get(), &sa) != 0 || ::fstat(fb.get(), &sb) != 0) return false;
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode)) return false;
    if (sa.st_size != sb.st_size) return false;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
    std::string ba(1 << 16, '\0'), bb(1 << 16, '\0');
    for (;;) {
        ssize_t na = ::read(fa.get(), ba.data(), ba.size());
        if (na < 0) return false;
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(na)) {
            ssize_t nb = ::read(fb.get(), bb.data() + got, static_cast<std::size_t>(na) - got);
            if (nb <= 0) return false;
            got += static_cast<std::size_t>(nb);
        }
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) return false;
        if (na == 0) return true;
    }
}

std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path, bool skipsHiddenFiles,
                                                                Error* error) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        fail(error, errno, Op::List, path);
        return std::nullopt;
    }
    std::vector<DirectoryEntry> entries;
    while (struct dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        if (skipsHiddenFiles && name[0] == '.') continue;
        DirectoryEntry entry{name, appendingPathComponent(path, name), false};
        if (d->d_type == DT_DIR) {
            entry.isDirectory = true;
        } else if (d->d_type == DT_UNKNOWN) {
            struct stat st {};
            entry.isDirectory = ::lstat(entry.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.name < y.name; });
    return entries;
}

std::optional<std::vector<std::string>> enumerateRelativePaths(const std::string& path) {
    bool isDir = false;
    if (!fileExists(path, &isDir) || !isDir) return std::nullopt;
    DIR* probe = ::opendir(path.c_str());
    if (!probe) return std::nullopt;
    ::closedir(probe);
    std::vector<std::string> out;
    enumerate(path, "", out, 0);
    return out;
}

namespace {

// Reads `path`, opened with `openFlags`, when it is a regular file: a FIFO
// would hang the open or the read, a device like /dev/zero would never end.
// At most `maxSize` bytes, checked on the size and again while reading, since
// the file can grow. `check` sees the opened file first and may refuse it
// (having said why in `error`); `tooLarge` describes the cap in `error`.
std::optional<std::string> readRegularFile(const std::string& path, int openFlags, std::uint64_t maxSize,
                                           Error* error, const std::function<void()>& tooLarge,
                                           const std::function<bool(const struct stat&)>& check) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | openFlags));
    if (!fd) {
        fail(error, errno, Op::Read, path);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail(error, errno, Op::Read, path);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        failNotRegular(error, path);
        return std::nullopt;
    }
    if (check && !check(st)) return std::nullopt;
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        tooLarge();
        return std::nullopt;
    }
    std::string out;
    std::string buffer(1 << 16, '\0');
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fail(error, errno, Op::Read, path);
            return std::nullopt;
        }
        if (n == 0) return out;
        if (out.size() + static_cast<std::size_t>(n) > maxSize) {
            tooLarge();
            return std::nullopt;
        }
        out.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace

std::optional<std::string> readFile(const std::string& path, Error* error, std::uint64_t maxSize) {
    auto tooLarge = [&] {
        if (error) {
            error->code = EFBIG;
            error->description = "The file " + quoted(lastPathComponent(path)) + " is too large to be read.";
        }
    };
    return readRegularFile(path, 0, maxSize, error, tooLarge, nullptr);
}

bool writeFileAtomically(const std::string& path, std::string_view contents, Error* error) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return writeFileAtomicallyWithPermissions(path, contents, 0666 & ~mask, error);
}

bool writeFile(const std::string& path, std::string_view contents, Error* error) {
    ScopedFD fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode)) return failNotRegular(error, path);
    if (!fd || !writeAll(fd.get(), contents.data(), contents.size()))
        return fail(error, errno, Op::Write, path);
    return true;
}

bool appendToFile(const std::string& path, std::string_view contents, Error* error) {
    ScopedFD fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return fail(error, errno, Op::Write, path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(error, errno, Op::Write, path);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, path);
    if (!writeAll(fd.get(), contents.data(), contents.size())) {
        int code = errno;
        // Take back a partial line so the file only ever holds whole lines.
        if (::ftruncate(fd.get(), st.st_size) != 0) {}
        return fail(error, code, Op::Write, path);
    }
    return true;
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size),
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

bool createNewFile(const std::string& path, Error* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return fail(error, errno, Op::CreateFile, path);
    ::close(fd);
    return true;
}

namespace {

ItemAttributes attributesFromStat(const struct stat& st) {
    ItemAttributes a;
    a.type = S_ISREG(st.st_mode)   ? ItemAttributes::Type::Regular
             : S_ISDIR(st.st_mode) ? ItemAttributes::Type::Directory
             : S_ISLNK(st.st_mode) ? ItemAttributes::Type::SymbolicLink
                                   : ItemAttributes::Type::Other;
    a.ownerID = st.st_uid;
    a.groupOwnerID = st.st_gid;
    a.permissions = st.st_mode & 07777;
    a.size = static_cast<std::uint64_t>(st.st_size);
    a.modificationSeconds = st.st_mtim.tv_sec;
    a.modificationNanoseconds = st.st_mtim.tv_nsec;
    a.linkCount = st.st_nlink;
    return a;
}

FileIdentity identityFromStat(const struct stat& st) {
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size),
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

std::optional<ItemAttributes> attributesOfItem(const std::string& path, Error* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        fail(error, errno, Op::Read, path);
        return std::nullopt;
    }
    return attributesFromStat(st);
}

std::optional<std::string> readFileWithoutLinks(const std::string& path,
                                                const std::function<bool(const ItemAttributes&)>& accept,
                                                bool* refused, FileIdentity* identity, Error* error,
                                                std::uint64_t maxSize) {
    if (refused) *refused = false;
    auto tooLarge = [&] { fail(error, EFBIG, Op::Read, path); };
    return readRegularFile(path, O_NOFOLLOW, maxSize, error, tooLarge, [&](const struct stat& st) {
        if (accept && !accept(attributesFromStat(st))) {
            if (refused) *refused = true;
            if (error) *error = Error{};
            return false;
        }
        if (identity) *identity = identityFromStat(st);
        return true;
    });
}

bool removeRegularFile(const std::string& path, const std::optional<FileIdentity>& expected, Error* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail(error, errno, Op::Remove, path);
    if (!S_ISREG(st.st_mode)) return failNotRegular(error, path);
    if (expected && (expected->device != static_cast<std::uint64_t>(st.st_dev) ||
                     expected->inode != static_cast<std::uint64_t>(st.st_ino)))
        return fail(error, ESTALE, Op::Remove, path);
    // unlink removes the name itself: a link swapped in meanwhile is removed
    // as a link, never followed, and a folder is refused (EISDIR).
    if (::unlink(path.c_str()) != 0) return fail(error, errno, Op::Remove, path);
    return true;
}

bool writeFileAtomicallyWithPermissions(const std::string& path, std::string_view contents, unsigned permissions,
                                        Error* error) {
    AtomicFileWriter writer(path);
    Error step;
    if (!writer.open(&step, permissions) || !writer.write(contents, &step) || !writer.commit(&step))
        return fail(error, step.code, Op::Write, path);
    return true;
}

bool setAttributes(const std::string& path, const AttributeChange& change, Error* error) {
    // Through a descriptor opened without following links, so that a link
    // swapped in at the path cannot redirect the change.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(error, errno, Op::Write, path);
    int rc = 0;
    if (change.ownerID || change.groupOwnerID)
        rc = ::fchown(fd, change.ownerID ? *change.ownerID : static_cast<uid_t>(-1),
                      change.groupOwnerID ? *change.groupOwnerID : static_cast<gid_t>(-1));
    if (rc == 0 && change.permissions) rc = ::fchmod(fd, static_cast<mode_t>(*change.permissions & 07777));
    if (rc == 0 && change.modification) {
        struct timespec times[2] = {{0, UTIME_OMIT},
                                    {change.modification->first, static_cast<long>(change.modification->second)}};
        rc = ::futimens(fd, times);
    }
    const int code = errno;
    ::close(fd);
    return rc == 0 ? true : fail(error, code, Op::Write, path);
}

std::optional<std::string> readAtOffset(int fd, std::size_t count, std::int64_t offset, Error* error) {
    std::string buffer(count, '\0');
    ssize_t n;
    do {
        n = ::pread(fd, buffer.data(), count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int code = errno;
        if (error) *error = Error{"pread", code, std::strerror(code)};
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::vector<std::string> glob(const std::string& pattern) {
    glob_t g {};
    std::vector<std::string> out;
    if (::glob(pattern.c_str(), GLOB_NOMAGIC, nullptr, &g) == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; ++i) out.emplace_back(g.gl_pathv[i]);
    }
    ::globfree(&g);
    return out;
}

std::string lastPathComponent(const std::string& path) {
    if (path.empty()) return "";
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    std::size_t start = path.rfind('/', end);
    return path.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
    if (path.empty()) return "";
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    std::size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return "";
    std::size_t keep = path.find_last_not_of('/', slash);
    if (keep == std::string::npos) return "/";
    return path.substr(0, keep + 1);
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
    if (path.empty()) return component;
    if (component.empty()) return path;
    std::string base = path;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string comp = component;
    std::size_t first = comp.find_first_not_of('/');
    comp = first == std::string::npos ? "" : comp.substr(first);
    if (comp.empty()) return base;
    return base == "/" ? "/" + comp : base + "/" + comp;
}

std::string pathExtension(const std::string& path) {
    std::string name = lastPathComponent(path);
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
    return name.substr(dot + 1);
}

std::string deletingPathExtension(const std::string& path) {
    std::string ext = pathExtension(path);
    if (ext.empty()) return path;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return trimmed.substr(0, trimmed.size() - ext.size() - 1);
}

std::string standardizePath(const std::string& path) {
    if (path.empty()) return path;
    const bool absolute = path[0] == '/';
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (part.empty() || part == ".") {
        } else if (part == ".." && absolute) {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k) out += "/";
        out += parts[k];
    }
    return out;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> out;
    if (path.empty()) return out;
    if (path[0] == '/') out.push_back("/");
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    if (path.size() > 1 && path.back() == '/') out.push_back("/");
    return out;
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::string cwd(PATH_MAX, '\0');
    if (!::getcwd(cwd.data(), cwd.size())) return path;
    return appendingPathComponent(cwd.c_str(), path);
}

}  // namespace platform::fs
