#include "foundation/NSFileManagerExtensions.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NSStringExtensions.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/memory/NoDestructor.h"

namespace NSFileManagerExtensions {

namespace {

constexpr std::string_view kSystemExactPaths = "/usr/sbin/mDNSResponder";
constexpr std::string_view kSystemPathPrefixes = "/System/Library/";
constexpr std::string_view kQRBFolder = "/Library/Nerova Anti-Virus/";
constexpr std::string_view kEncryptionFolder = "/Library/Nerova Encryption/";
constexpr std::string_view kOSQueryFolder = "/Library/Nerova Live Query/";

constexpr const char* kOwnerKey = "NSFileOwnerAccountID";
constexpr const char* kGroupKey = "NSFileGroupOwnerAccountID";
constexpr const char* kPermissionsKey = "NSFilePosixPermissions";
constexpr const char* kModificationKey = "NSFileModificationDate";

std::vector<std::string_view> split(std::string_view list) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = list.find(',', start)) != std::string_view::npos; start = comma + 1)
        parts.push_back(list.substr(start, comma - start));
    parts.push_back(list.substr(start));
    return parts;
}

bool hasFolderPrefix(std::optional<std::string_view> path, std::string_view folder) {
    return path && NSStringExtensions::hasPrefixCaseInsensitiveSearch(*path, folder);
}

bool fail(NRVError* error, const platform::Error& fsError) {
    NRVSetError(error, NRVError("NSPOSIXErrorDomain", fsError.code, fsError.description));
    return false;
}

NRVDictionary rootAdminAttributes(int permissions) {
    NRVDictionary d;
    d.set(kOwnerKey, 0);
    d.set(kGroupKey, 80);
    d.set(kPermissionsKey, permissions);
    return d;
}

// The settable part of an attribute dictionary; keys of another type are
// left alone rather than guessed at.
platform::fs::AttributeChange changeFrom(const NRVDictionary& attributes) {
    platform::fs::AttributeChange change;
    auto unsignedValue = [&](const char* key) -> std::optional<std::uint32_t> {
        const NRVValue* v = attributes.find(key);
        if (!v || !v->asInteger() || *v->asInteger() < 0 || *v->asInteger() > UINT32_MAX) return std::nullopt;
        return static_cast<std::uint32_t>(*v->asInteger());
    };
    change.ownerID = unsignedValue(kOwnerKey);
    change.groupOwnerID = unsignedValue(kGroupKey);
    change.permissions = unsignedValue(kPermissionsKey);
    if (const NRVValue* v = attributes.find(kModificationKey); v && v->asDate()) {
        const double t = v->asDate()->timeIntervalSince1970();
        if (std::isfinite(t) && std::fabs(t) < 1e15) {
            const double seconds = std::floor(t);
            change.modification = {{static_cast<std::int64_t>(seconds), static_cast<std::int64_t>((t - seconds) * 1e9)}};
        }
    }
    return change;
}

bool hasChange(const platform::fs::AttributeChange& c) {
    return c.ownerID || c.groupOwnerID || c.permissions || c.modification;
}

const char* typeName(platform::fs::ItemAttributes::Type type) {
    using Type = platform::fs::ItemAttributes::Type;
    switch (type) {
        case Type::Regular: return "NSFileTypeRegular";
        case Type::Directory: return "NSFileTypeDirectory";
        case Type::SymbolicLink: return "NSFileTypeSymbolicLink";
        case Type::Other: return "NSFileTypeUnknown";
    }
    return "NSFileTypeUnknown";
}

}  // namespace

bool isSystemApplicationPath(std::optional<std::string_view> path) {
    if (!path) return false;
    for (std::string_view exact : split(kSystemExactPaths))
        if (*path == exact) return true;
    for (std::string_view prefix : split(kSystemPathPrefixes))
        if (hasFolderPrefix(path, prefix)) return true;
    return false;
}

bool isQRBPath(std::optional<std::string_view> path) { return hasFolderPrefix(path, kQRBFolder); }
bool isEncryptionPath(std::optional<std::string_view> path) { return hasFolderPrefix(path, kEncryptionFolder); }
bool isOSQueryPath(std::optional<std::string_view> path) { return hasFolderPrefix(path, kOSQueryFolder); }

const NRVDictionary& rootAdminDirectoryAttributes() {
    static const platform::NoDestructor<NRVDictionary> attributes(rootAdminAttributes(0755));
    return *attributes;
}

const NRVDictionary& rootAdminFileAttributes() {
    static const platform::NoDestructor<NRVDictionary> attributes(rootAdminAttributes(0644));
    return *attributes;
}

std::optional<NRVDictionary> attributesOfItemAtPath(const std::string& path, NRVError* error) {
    platform::Error fsError;
    auto a = platform::fs::attributesOfItem(path, &fsError);
    if (!a) {
        fail(error, fsError);
        return std::nullopt;
    }
    NRVDictionary d;
    d.set(kOwnerKey, static_cast<long long>(a->ownerID));
    d.set(kGroupKey, static_cast<long long>(a->groupOwnerID));
    d.set(kPermissionsKey, static_cast<long long>(a->permissions));
    d.set("NSFileSize", static_cast<long long>(a->size));
    d.set("NSFileType", typeName(a->type));
    d.set(kModificationKey, NRVDate::fromUnix(static_cast<double>(a->modificationSeconds) +
                                              static_cast<double>(a->modificationNanoseconds) / 1e9));
    d.set("NSFileReferenceCount", static_cast<long long>(a->linkCount));
    return d;
}

bool createDeepDirectoryAtPath(const std::string& path, const NRVDictionary* attributes, NRVError* error) {
    const platform::fs::AttributeChange change = attributes ? changeFrom(*attributes) : platform::fs::AttributeChange{};
    // One level at a time, so that each folder this call makes gets the
    // attributes and folders that were there already keep theirs.
    std::string current = path.empty() || path[0] != '/' ? "" : "/";
    for (const std::string& component : platform::fs::pathComponents(path)) {
        if (component == "/") continue;
        current = current.empty() ? component : platform::fs::appendingPathComponent(current, component);
        bool isDirectory = false;
        if (platform::fs::fileExists(current, &isDirectory) && isDirectory) continue;
        platform::Error fsError;
        if (!platform::fs::createDirectory(current, false, &fsError)) return fail(error, fsError);
        if (hasChange(change) && !platform::fs::setAttributes(current, change, &fsError)) return fail(error, fsError);
    }
    if (current.empty()) return fail(error, {.operation = "list", .code = ENOENT, .description = "The folder \u201C\u201D doesn\u2019t exist.", .status = 0});
    return true;
}

bool copyAndOverwriteItemAtPath(std::optional<std::string_view> source, std::optional<std::string_view> destination,
                                NRVError* error) {
    if (NSStringExtensions::isNilOrWhiteSpace(source) || NSStringExtensions::isNilOrWhiteSpace(destination))
        return false;
    const std::string from(*source), to(*destination);
    platform::Error fsError;
    auto bytes = platform::fs::readFile(from, &fsError);
    if (!bytes) return fail(error, fsError);
    if (!platform::fs::writeFileAtomically(to, *bytes, &fsError)) return fail(error, fsError);
    auto attributes = attributesOfItemAtPath(from, error);
    if (!attributes) return false;
    if (!platform::fs::setAttributes(to, changeFrom(*attributes), &fsError)) return fail(error, fsError);
    return true;
}

std::optional<std::vector<std::string>> expandPathForAllUsers(std::optional<std::string_view> path, NRVError* error) {
    if (NSStringExtensions::isNilOrWhiteSpace(path)) return std::vector<std::string>{};
    if (path->substr(0, 2) != "~/") return std::vector<std::string>{std::string(*path)};
    const std::string users = platform::resolveSystemPath(kUsersFolder);
    platform::Error fsError;
    auto entries = platform::fs::contentsOfDirectory(users, false, &fsError);
    if (!entries) {
        fail(error, fsError);
        return std::nullopt;
    }
    const std::string rest(path->substr(2));
    std::vector<std::string> expanded;
    for (const auto& entry : *entries)
        expanded.push_back(platform::fs::appendingPathComponent(platform::fs::appendingPathComponent(users, entry.name), rest));
    return expanded;
}

std::optional<std::vector<std::string>> matchesForWildCardedPath(std::optional<std::string_view> path,
                                                                 NRVError* error) {
    auto expanded = expandPathForAllUsers(path, error);
    if (!expanded) return std::nullopt;
    std::vector<std::string> matches;
    for (const std::string& candidate : *expanded) {
        const std::string directory = platform::fs::deletingLastPathComponent(candidate);
        const std::string component = platform::fs::lastPathComponent(candidate);
        platform::Error fsError;
        auto entries = platform::fs::contentsOfDirectory(directory, false, &fsError);
        if (!entries) {
            if (fsError.code == ENOENT || fsError.code == ENOTDIR) continue;
            fail(error, fsError);
            return std::nullopt;
        }
        const std::size_t star = component.find('*');
        if (star == std::string::npos) {
            for (const auto& entry : *entries)
                if (entry.name == component) {
                    matches.push_back(candidate);
                    break;
                }
            continue;
        }
        // Only the first "*" is a wildcard; later ones belong to the suffix.
        const std::string prefix = component.substr(0, star), suffix = component.substr(star + 1);
        for (const auto& entry : *entries) {
            const bool prefixOk = prefix.empty() || NSStringExtensions::hasPrefixCaseInsensitiveSearch(entry.name, prefix);
            const bool suffixOk = suffix.empty() || NSStringExtensions::hasSuffixCaseInsensitiveSearch(entry.name, suffix);
            if (prefixOk && suffixOk) matches.push_back(platform::fs::appendingPathComponent(directory, entry.name));
        }
    }
    return matches;
}

bool verifyAttribute(const NRVDictionary& expected, const std::string& atPath, NRVError* error) {
    auto actual = attributesOfItemAtPath(atPath, error);
    if (!actual) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const NRVValue* value = actual->find(expected.keyAt(i));
        if (!value || !(*value == expected.valueAt(i))) return false;
    }
    if (expected.empty()) {
        NRVSetError(error, NRVError(kErrorDomain, 1,
                                    "NSFileManager+Extension: Invalid attributes are given. Attribute: " +
                                        NSDictionaryExtensions::singleLineDescription(expected)));
        return false;
    }
    return true;
}

std::unique_ptr<platform::fswatch::FileChangeMonitor> monitorOpenFile(
    int fileDescriptor, std::uint32_t forChanges, std::function<void(std::uint32_t, const NRVError*)> withBlock) {
    if (!withBlock) return nullptr;
    auto monitor = platform::fswatch::FileChangeMonitor::create(
        fileDescriptor, forChanges, platform::dispatch::DispatchQueue::global(),
        [withBlock](std::uint32_t flags) { withBlock(flags, nullptr); });
    if (!monitor) {
        const NRVError failure("NSPOSIXErrorDomain", EINVAL, std::strerror(EINVAL));
        withBlock(0, &failure);
    }
    return monitor;
}

}  // namespace NSFileManagerExtensions
