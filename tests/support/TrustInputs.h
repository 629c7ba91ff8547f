// Files and folders that decide trust, made in every way another local user
// could hold or reach them, and a real second user to own them.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "support/TestSupport.h"

namespace testsupport::trust {

// A second local account, made with useradd when the tests run as root and
// removed with userdel when this goes; ok() is false (say why) otherwise.
class ScopedLocalUser {
public:
    ScopedLocalUser() : name_("nrvtrust" + std::to_string(::getpid())) {
        if (::geteuid() != 0) {
            why_ = "the tests do not run as root";
            return;
        }
        auto r = runProgram({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name_});
        if (r.status != 0) {
            why_ = "useradd failed: " + r.err;
            return;
        }
        made_ = true;
        if (struct passwd* pw = ::getpwnam(name_.c_str())) {
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        } else {
            why_ = "the new user has no entry";
        }
    }
    ~ScopedLocalUser() {
        if (made_) runProgram({"/usr/sbin/userdel", name_});
    }
    ScopedLocalUser(const ScopedLocalUser&) = delete;
    ScopedLocalUser& operator=(const ScopedLocalUser&) = delete;

    bool ok() const { return made_ && why_.empty(); }
    const std::string& why() const { return why_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }

private:
    std::string name_, why_;
    bool made_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

enum class ItemKind { File, Folder, SharedFolder };

// How the item, or the folder holding it, is owned and protected.
enum class Variant {
    Good,                  // this user's, 0644 / 0755 / 01777
    OtherUsersItem,        // the item belongs to the second user
    GroupWritable,         // 0664 / 0775 (a shared folder: 0775, without the sticky bit)
    OtherWritable,         // 0646 / 0757 (a shared folder: 0777, without the sticky bit)
    Link,                  // a symbolic link to a good item
    InOtherWritableFolder, // the folder holding it is 0777
    InStickyFolder,        // the folder holding it is 01777, like /tmp
    InOtherUsersFolder,    // the folder holding it belongs to the second user
};

inline const char* variantName(Variant v) {
    switch (v) {
        case Variant::Good: return "good";
        case Variant::OtherUsersItem: return "owned by another user";
        case Variant::GroupWritable: return "group-writable";
        case Variant::OtherWritable: return "writable by others";
        case Variant::Link: return "a symbolic link";
        case Variant::InOtherWritableFolder: return "in a folder others can write";
        case Variant::InStickyFolder: return "in a sticky folder everyone can write";
        case Variant::InOtherUsersFolder: return "in a folder of another user";
    }
    return "?";
}

inline constexpr Variant kAllVariants[] = {
    Variant::Good,     Variant::OtherUsersItem,        Variant::GroupWritable,  Variant::OtherWritable,
    Variant::Link,     Variant::InOtherWritableFolder, Variant::InStickyFolder, Variant::InOtherUsersFolder,
};

// Makes the item at `path` with `fill` (which writes the file, or makes the
// folder and what it holds), then gives it, or the folder holding it (which
// must be made by then), the variant's owner and mode.
inline void makeItem(const std::string& path, ItemKind kind, Variant variant, const ScopedLocalUser& user,
                     const std::function<void(const std::string&)>& fill) {
    namespace stdfs = std::filesystem;
    const std::string parent = stdfs::path(path).parent_path().string();
    stdfs::create_directories(parent);
    const unsigned good = kind == ItemKind::File ? 0644 : kind == ItemKind::Folder ? 0755 : 01777;
    // A link's target lies one folder up, so that a folder that is read
    // whole (anchors) does not hold the real item beside the link.
    const std::string made =
        variant == Variant::Link ? stdfs::path(parent).parent_path().string() + "/" + stdfs::path(path).filename().string() + ".real"
                                 : path;
    fill(made);
    auto check = [&](int rc, const std::string& what) {
        if (rc != 0) throw std::runtime_error(what + " failed for " + path);
    };
    check(::chmod(made.c_str(), good), "chmod");
    switch (variant) {
        case Variant::Good: break;
        case Variant::OtherUsersItem: check(::chown(made.c_str(), user.uid(), user.gid()), "chown"); break;
        case Variant::GroupWritable:
            check(::chmod(made.c_str(), kind == ItemKind::SharedFolder ? 0775 : (good | 020)), "chmod");
            break;
        case Variant::OtherWritable:
            check(::chmod(made.c_str(), kind == ItemKind::SharedFolder ? 0777 : (good | 002)), "chmod");
            break;
        case Variant::Link: stdfs::create_symlink(made, path); break;
        case Variant::InOtherWritableFolder: check(::chmod(parent.c_str(), 0777), "chmod"); break;
        case Variant::InStickyFolder: check(::chmod(parent.c_str(), 01777), "chmod"); break;
        case Variant::InOtherUsersFolder: check(::chown(parent.c_str(), user.uid(), user.gid()), "chown"); break;
    }
}

}  // namespace testsupport::trust
