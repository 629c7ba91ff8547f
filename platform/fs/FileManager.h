// Files and folders: what the system needs of the file system, with errors
// that carry a readable description.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error/Error.h"
#include "platform/fd/ScopedFD.h"

namespace platform::fs {

bool fileExists(const std::string& path);                      // follows links
bool fileExists(const std::string& path, bool* isDirectory);   // follows links
// true when something exists at the path itself, also a dangling link.
bool itemExists(const std::string& path);
// nullopt when the item cannot be examined (lstat fails).
std::optional<bool> isSymbolicLink(const std::string& path);
bool isWritableFile(const std::string& path);
bool isReadableFile(const std::string& path);
std::optional<std::uint64_t> fileSize(const std::string& path);

bool createDirectory(const std::string& path, bool withIntermediateDirectories, Error* error = nullptr);
// Creates an empty file or empties an existing regular one; never follows a
// link at the last component.
bool createFile(const std::string& path, Error* error = nullptr);
// Removes a file, link or whole folder tree.
bool removeItem(const std::string& path, Error* error = nullptr);
// Copies one file without overwriting: fails when the destination exists.
// A symbolic link at the source's last component is refused, never followed.
// Runs in constant memory whatever the file's size.
bool copyItem(const std::string& source, const std::string& destination, Error* error = nullptr);

// How a source path may be opened: the walk starts at `trustedFolder` (taken
// as it is, e.g. the system root) when the path lies below it, else at "/",
// and opens one component at a time without following links, except the
// links listed (full paths, e.g. the system's "/var"). What was checked is
// what gets read: a folder swapped for a link is refused (code ELOOP).
struct LinkPolicy {
    std::string trustedFolder = "/";
    std::vector<std::string> allowedLinks;
};
// The source opened read-only and non-blocking (the caller checks the type).
std::optional<ScopedFD> openWithoutLinks(const std::string& path, const LinkPolicy& policy, Error* error = nullptr);
// copyItem with the source opened by openWithoutLinks.
bool copyItem(const std::string& source, const std::string& destination, const LinkPolicy& policy,
              Error* error = nullptr);
// A new folder "<prefix>XXXXXX" (mode 0700) inside `parent`; its path.
std::optional<std::string> createTemporaryDirectory(const std::string& parent, const std::string& prefix,
                                                    Error* error = nullptr);
// chmod of a regular file, never through a link.
bool setPermissions(const std::string& path, unsigned mode, Error* error = nullptr);
// rename that never replaces: an existing destination fails with EEXIST.
bool moveItemWithoutReplacing(const std::string& source, const std::string& destination, Error* error = nullptr);
// An exclusive lock on a folder (not through a link at its last component),
// held while the descriptor lives and dropped when the process ends;
// EWOULDBLOCK when another process holds it. Leaves nothing in the folder.
std::optional<ScopedFD> lockDirectoryExclusively(const std::string& path, Error* error = nullptr);

bool contentsEqual(const std::string& a, const std::string& b);

struct DirectoryEntry {
    std::string name;
    std::string path;
    bool isDirectory = false;  // a link to a folder counts as no folder
};
// The folder's items sorted by name; hidden items ("." prefix) left out when asked.
std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path, bool skipsHiddenFiles,
                                                                Error* error = nullptr);
// Every item below the folder as a relative path, parents before children;
// nullopt when the folder cannot be opened.
// Bounded in depth.
std::optional<std::vector<std::string>> enumerateRelativePaths(const std::string& path);

// A regular file only (a FIFO or device is refused without blocking), at most
// maxSize bytes, enforced while reading.
constexpr std::uint64_t kDefaultReadLimit = 64ull << 20;
std::optional<std::string> readFile(const std::string& path, Error* error = nullptr,
                                    std::uint64_t maxSize = kDefaultReadLimit);
// Temp file in the same folder, fsync, rename: readers see old or new, never half.
bool writeFileAtomically(const std::string& path, std::string_view contents, Error* error = nullptr);
// Plain write that replaces a regular file's content, never through a link.
bool writeFile(const std::string& path, std::string_view contents, Error* error = nullptr);
bool appendToFile(const std::string& path, std::string_view contents, Error* error = nullptr);

// Identity of a file as it is now (device, inode, size, change time), used to
// tell whether a file is still the one this process last wrote.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtimeNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> fileIdentity(const std::string& path);

// Creates an empty file (mode 0600) only when nothing, not even a link, is at
// the path: the check and the creation are one step. EEXIST when something is.
bool createNewFile(const std::string& path, Error* error = nullptr);

// What the platform's file attributes carry, read without following a link
// at the last component.
struct ItemAttributes {
    enum class Type { Regular, Directory, SymbolicLink, Other };
    Type type = Type::Other;
    std::uint32_t ownerID = 0, groupOwnerID = 0;
    std::uint32_t permissions = 0;  // the 12 mode bits
    std::uint64_t size = 0;
    std::int64_t modificationSeconds = 0, modificationNanoseconds = 0;
    std::uint64_t linkCount = 0;
};
std::optional<ItemAttributes> attributesOfItem(const std::string& path, Error* error = nullptr);
// Sets what is given, in the order owner, permissions, modification time. A
// link at the last component is refused (ELOOP), never followed.
struct AttributeChange {
    std::optional<std::uint32_t> ownerID, groupOwnerID, permissions;
    std::optional<std::pair<std::int64_t, std::int64_t>> modification;  // seconds, nanoseconds
};
bool setAttributes(const std::string& path, const AttributeChange& change, Error* error = nullptr);

// readFile for a file whose owner and mode matter: opened without following
// a link at the last component, and `accept` judges the attributes of the
// opened file itself (so the file checked is the file read) before a byte is
// read. A refusal by `accept` is nullopt with *refused set and no error code;
// *identity (when given) receives the opened file's identity.
std::optional<std::string> readFileWithoutLinks(const std::string& path,
                                                const std::function<bool(const ItemAttributes&)>& accept,
                                                bool* refused, FileIdentity* identity = nullptr,
                                                Error* error = nullptr, std::uint64_t maxSize = kDefaultReadLimit);
// Unlinks one regular file: never a folder (nothing is recursed into), and a
// link is never followed. With `expected`, only when the path still names
// that very file (device and inode); otherwise ESTALE. Anything but a
// regular file is EINVAL.
bool removeRegularFile(const std::string& path, const std::optional<FileIdentity>& expected,
                       Error* error = nullptr);
// writeFileAtomically with the given permission bits instead of the umask's.
bool writeFileAtomicallyWithPermissions(const std::string& path, std::string_view contents, unsigned permissions,
                                        Error* error = nullptr);


// pread: reads up to `count` bytes at `offset` without using or moving the
// descriptor's file position. The bytes read (fewer at the end of the file),
// or nullopt and the error.
std::optional<std::string> readAtOffset(int fd, std::size_t count, std::int64_t offset, Error* error = nullptr);

// Glob with "no magic" semantics: a pattern without pattern characters comes
// back as itself whether or not it exists; no match or an error gives {}.
std::vector<std::string> glob(const std::string& pattern);

// Path text helpers in the manner of the platform's string path methods.
std::string lastPathComponent(const std::string& path);
std::string deletingLastPathComponent(const std::string& path);
std::string appendingPathComponent(const std::string& path, const std::string& component);
std::string pathExtension(const std::string& path);
std::string deletingPathExtension(const std::string& path);
// Removes "." and "..", repeated and trailing slashes; relative paths stay relative.
std::string standardizePath(const std::string& path);
std::vector<std::string> pathComponents(const std::string& path);
std::string absolutePath(const std::string& path);  // against the current folder

}  // namespace platform::fs
