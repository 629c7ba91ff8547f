// File-manager helpers of the base library: product and system path tests,
// root ownership attributes, deep folder creation, copy over an existing
// file with its attributes, "~/" expansion for every user, a single "*"
// wildcard in the last path component, attribute checks and change watching
// of an open file.
//
// Attribute dictionaries use the platform's keys: "NSFileOwnerAccountID",
// "NSFileGroupOwnerAccountID", "NSFilePosixPermissions", "NSFileSize",
// "NSFileType", "NSFileModificationDate", "NSFileReferenceCount". File-system
// failures come back as errors of the domain "NSPOSIXErrorDomain" with the
// errno as code.
//
// Threading: stateless apart from the two attribute dictionaries, which are
// made once; every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/NRVError.h"
#include "platform/fswatch/FileChangeMonitor.h"
#include "platform/value/NRVValue.h"

namespace NSFileManagerExtensions {

inline constexpr const char* kErrorDomain = "com.nerova.extensions";
// Where the user folders are, under the system root.
inline constexpr const char* kUsersFolder = "/home";

// Exact paths are compared as written; prefixes ignore case.
bool isSystemApplicationPath(std::optional<std::string_view> path);
bool isQRBPath(std::optional<std::string_view> path);
bool isEncryptionPath(std::optional<std::string_view> path);
bool isOSQueryPath(std::optional<std::string_view> path);

// Owner 0, group 80, permissions 0755 (folders) or 0644 (files).
const NRVDictionary& rootAdminDirectoryAttributes();
const NRVDictionary& rootAdminFileAttributes();

// The attributes of the item itself (a link is not followed).
std::optional<NRVDictionary> attributesOfItemAtPath(const std::string& path, NRVError* error = nullptr);

// Makes the folder and every missing folder above it, each with the given
// attributes (owner, group, permissions, modification date).
bool createDeepDirectoryAtPath(const std::string& path, const NRVDictionary* attributes, NRVError* error = nullptr);

// Replaces the destination with the source's bytes (atomically) and gives it
// the source's owner, group, permissions and modification date. A nil or
// blank path is false without an error.
bool copyAndOverwriteItemAtPath(std::optional<std::string_view> source, std::optional<std::string_view> destination,
                                NRVError* error = nullptr);

// "~/rest" becomes "<users folder>/<entry>/rest" for every entry of the users
// folder; other paths come back alone; a nil or blank path gives none.
std::optional<std::vector<std::string>> expandPathForAllUsers(std::optional<std::string_view> path,
                                                              NRVError* error = nullptr);

// The existing paths that match, after "~/" expansion, a last component with
// at most one "*" (prefix and suffix compared without case). A missing folder
// is no match; any other listing failure is nil with its error.
std::optional<std::vector<std::string>> matchesForWildCardedPath(std::optional<std::string_view> path,
                                                                 NRVError* error = nullptr);

// Whether every expected attribute equals the item's. A difference is false
// without an error; an empty expectation is false with error code 1.
bool verifyAttribute(const NRVDictionary& expected, const std::string& atPath, NRVError* error = nullptr);

// Watches the open file for the changes in mask (the vnode flags of
// platform/fswatch). The block gets the flags, on a global queue; the caller
// keeps the returned monitor and cancels it (or lets it go) to stop. When no
// watch can be made the block gets 0 and an error of code 22, and the answer
// is nullptr.
std::unique_ptr<platform::fswatch::FileChangeMonitor> monitorOpenFile(
    int fileDescriptor, std::uint32_t forChanges, std::function<void(std::uint32_t, const NRVError*)> withBlock);

}  // namespace NSFileManagerExtensions
