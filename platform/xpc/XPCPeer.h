// Who is on the other end of a socket, read once at connect or accept time,
// and the runtime folder under which named services live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error/Error.h"
#include "platform/fd/ScopedFD.h"
#include "platform/process/AuditToken.h"

namespace platform::xpc {

struct PeerIdentity {
    int pid = 0;
    std::uint32_t uid = 0, gid = 0;      // effective, from the socket
    std::uint32_t ruid = 0, rgid = 0;    // real, from /proc
    std::uint32_t auditUid = 0;          // login uid, else the effective uid
    // Clock ticks since boot; 0 when unknown. With the pid it names the
    // process, whatever later takes the pid over.
    std::uint64_t startTime = 0;

    platform::AuditToken auditToken() const {
        return platform::AuditToken::make(auditUid, uid, gid, ruid, rgid, pid, startTime);
    }
};

// Reads the peer of a connected AF_UNIX socket. A peer whose pid cannot be
// read gives pid 0 (never trusted).
PeerIdentity readPeerIdentity(int socketFD);

// Makes the kernel attach the writing process's credentials to every byte
// sent to or from this socket (set before it listens or connects, so that
// nothing goes unmarked).
bool markSenders(int socketFD);
// recv() that also answers the process that wrote the bytes: 0 when the
// kernel attached no credentials. One call never returns bytes of two writers.
long receiveMarked(int socketFD, void* buffer, std::size_t size, int* senderPid);
// True when bytes wait to be read.
bool hasPendingInput(int socketFD);

// <runtime root>/xpc/<name>, the runtime root as platform::runtimeRoot() reads it.
std::string servicePath(const std::string& serviceName);
// Whether named services may be served or reached at all: the runtime root
// and its xpc/ folder belong to root or this user, nobody else can write
// them (nor the folders above), and the root is no link. Otherwise another
// user could put their own socket in a service's place. The error's
// description says what is wrong.
bool serviceFolderIsTrusted(platform::Error* why);
// True when a socket file exists at the service's path (it may be stale).
bool serviceSocketExists(const std::string& serviceName);

}  // namespace platform::xpc
