#include "platform/xpc/XPCPeer.h"

#include "platform/fs/TrustedItem.h"
#include "platform/system/SystemEnvironment.h"

#include "platform/process/ProcessInfo.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

bool markSenders(int socketFD) {
    int on = 1;
    return setsockopt(socketFD, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
}

long receiveMarked(int socketFD, void* buffer, std::size_t size, int* senderPid) {
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
    struct iovec iov {buffer, size};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t r = recvmsg(socketFD, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    *senderPid = 0;
    if (r <= 0) return r;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred {};
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            *senderPid = cred.pid;
        }
    }
    return r;
}

bool hasPendingInput(int socketFD) {
    char byte;
    ssize_t r;
    do {
        r = recv(socketFD, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

std::string servicePath(const std::string& serviceName) { return platform::runtimeRoot() + "/xpc/" + serviceName; }

bool serviceFolderIsTrusted(platform::Error* why) {
    const std::string root = platform::runtimeRoot();
    return platform::fs::isTrustedItem(root, platform::fs::TrustedItemKind::Folder, why) &&
           platform::fs::isTrustedItem(root + "/xpc", platform::fs::TrustedItemKind::Folder, why);
}

bool serviceSocketExists(const std::string& serviceName) {
    struct stat st {};
    return lstat(servicePath(serviceName).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace platform::xpc
