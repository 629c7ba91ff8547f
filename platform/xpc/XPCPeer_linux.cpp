#include "platform/xpc/XPCPeer.h"

#include "platform/fs/TrustedItem.h"
#include "platform/system/SystemEnvironment.h"

#include "platform/process/ProcessInfo.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::xpc {

PeerIdentity readPeerIdentity(int socketFD) {
    PeerIdentity id;
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(socketFD, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) return id;
    id.pid = cred.pid;
    id.uid = cred.uid;
    id.gid = cred.gid;
    id.ruid = cred.uid;
    id.rgid = cred.gid;
    id.auditUid = cred.uid;
    if (auto token = platform::process::auditTokenForPid(cred.pid)) {
        id.ruid = token->ruid();
        id.rgid = token->rgid();
        id.auditUid = token->auditUid();
        id.startTime = token->startTime();
    }
    // A peer that exited between connect and now cannot be identified.
    if (id.startTime == 0) id.pid = 0;
    return id;
}

std::string servicePath(const std::string& serviceName) { return platform::runtimeRoot() + "/xpc/" + serviceName; }

bool serviceFolderIsTrusted(std::string* why) {
    const std::string root = platform::runtimeRoot();
    return platform::fs::isTrustedItem(root, platform::fs::TrustedItemKind::Folder, why) &&
           platform::fs::isTrustedItem(root + "/xpc", platform::fs::TrustedItemKind::Folder, why);
}

bool serviceSocketExists(const std::string& serviceName) {
    struct stat st {};
    return lstat(servicePath(serviceName).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace platform::xpc
