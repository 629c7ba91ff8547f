#include "platform/fs/TrustedItem.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform::fs {

namespace {

constexpr std::uint32_t kGroupOrOtherWrite = 0022;
constexpr std::uint32_t kSticky = 01000;

bool setWhy(Error* why, std::string text, std::string operation = {}, int code = 0) {
    if (why) *why = Error{.operation = std::move(operation), .code = code, .description = std::move(text), .status = 0};
    return false;
}

std::string modeText(std::uint32_t permissions) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", permissions & 07777);
    return buf;
}

bool ownerIsTrusted(std::uint32_t owner) { return owner == 0 || owner == static_cast<std::uint32_t>(::geteuid()); }

// A folder above the item: anyone may write it only when it is sticky.
bool isTrustedAncestor(const ItemAttributes& a, Error* why) {
    if (a.type != ItemAttributes::Type::Directory) return setWhy(why, "is not a folder");
    if (!ownerIsTrusted(a.ownerID)) return setWhy(why, "belongs to user " + std::to_string(a.ownerID));
    if ((a.permissions & kGroupOrOtherWrite) && !(a.permissions & kSticky))
        return setWhy(why, "is writable by group or others (mode " + modeText(a.permissions) + ")");
    return true;
}

}  // namespace

bool isTrustedOwnerAndMode(const ItemAttributes& a, TrustedItemKind kind, Error* why) {
    using Type = ItemAttributes::Type;
    if (a.type == Type::SymbolicLink) return setWhy(why, "is a symbolic link");
    if (kind == TrustedItemKind::File && a.type != Type::Regular) return setWhy(why, "is not a regular file");
    if (kind != TrustedItemKind::File && a.type != Type::Directory) return setWhy(why, "is not a folder");
    if (!ownerIsTrusted(a.ownerID)) return setWhy(why, "belongs to user " + std::to_string(a.ownerID));
    if (a.permissions & kGroupOrOtherWrite) {
        if (kind != TrustedItemKind::SharedFolder || !(a.permissions & kSticky))
            return setWhy(why, "is writable by group or others (mode " + modeText(a.permissions) + ")");
    }
    return true;
}

bool isTrustedItem(const std::string& path, TrustedItemKind kind, Error* why) {
    if (path.empty()) return setWhy(why, "no path");
    std::string clean = path;
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    if (clean == "/") {
        // The root folder has no parent to resolve; it is judged as a folder.
        Error error;
        auto a = attributesOfItem(clean, &error);
        if (!a) return setWhy(why, "/ cannot be examined", "lstat", error.code);
        if (!isTrustedOwnerAndMode(*a, kind, &error)) return setWhy(why, "/ " + error.description);
        return true;
    }
    const std::string name = lastPathComponent(clean);
    std::string parent = deletingLastPathComponent(clean);
    if (parent.empty()) parent.assign(1, clean[0] == '/' ? '/' : '.');
    if (name == "." || name == "..") return setWhy(why, path + " does not name an item");

    char resolved[PATH_MAX];
    if (!::realpath(parent.c_str(), resolved)) {
        const int code = errno;
        return setWhy(why, parent + " cannot be resolved: " + std::strerror(code), "realpath", code);
    }
    const std::string realParent = resolved;

    // Every folder from the top down to the parent.
    std::string walked = "/";
    Error error;
    for (const auto& component : pathComponents(realParent)) {
        if (component != "/") walked = appendingPathComponent(walked, component);
        auto a = attributesOfItem(walked, &error);
        if (!a) return setWhy(why, walked + " cannot be examined", "lstat", error.code);
        if (!isTrustedAncestor(*a, &error)) return setWhy(why, walked + " " + error.description);
    }

    const std::string item = appendingPathComponent(realParent, name);
    auto a = attributesOfItem(item, &error);
    if (!a) return setWhy(why, item + " cannot be examined: " + std::strerror(error.code), "lstat", error.code);
    if (!isTrustedOwnerAndMode(*a, kind, &error)) return setWhy(why, item + " " + error.description);
    return true;
}

}  // namespace platform::fs
