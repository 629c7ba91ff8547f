// Whether a file or folder that decides trust (a trust-policy file, a folder
// of anchor certificates, the runtime root of the rendezvous sockets) can be
// relied on by this process. Another local user who can write such an item,
// or rename it away and put their own in its place, could make this process
// trust their code or talk to their sockets.
//
// The rule: the item belongs to root or to the process's effective user and
// no group or other user can write it; a shared folder may be writable by
// everyone only with the sticky bit set (nobody removes or renames another's
// entries). Every folder above it follows the same rule, where a folder
// writable by everyone with the sticky bit (/tmp) counts as fine, since the
// next step down must again belong to root or this user. The item itself is
// never a symbolic link; links above it are resolved first and the folders
// they lead to are what is checked. Access control lists are not read.
#pragma once

#include <string>

#include "platform/fs/FileManager.h"

namespace platform::fs {

enum class TrustedItemKind { File, Folder, SharedFolder };

// The rule for one item's own owner, type and mode, as read from an opened
// descriptor or lstat; the error's description (when given) says what is
// wrong.
bool isTrustedOwnerAndMode(const ItemAttributes& attributes, TrustedItemKind kind, Error* why = nullptr);

// The rule for the item at `path` and every folder above it. The error's
// description names the offending path and what is wrong with it; where a
// path could not be resolved or examined, the failing call and its errno
// come along.
bool isTrustedItem(const std::string& path, TrustedItemKind kind, Error* why = nullptr);

}  // namespace platform::fs
