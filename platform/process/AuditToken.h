// The identity of a peer process that cannot be raced by process-id reuse:
// who it runs as, its pid, and its start time (clock ticks since boot, field
// 22 of /proc/<pid>/stat). The transport fills it at connect time; the
// signature checks read it and refuse a token whose start time no longer
// matches the live process.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

struct AuditToken {
    // Packed as eight 32-bit words: audit uid, euid, egid, ruid, rgid, pid,
    // start time (high half), start time (low half).
    std::array<std::uint32_t, 8> val{};

    static AuditToken make(std::uint32_t auditUid, std::uint32_t euid, std::uint32_t egid,
                           std::uint32_t ruid, std::uint32_t rgid, std::int32_t pid,
                           std::uint64_t startTime) {
        AuditToken t;
        t.val = {auditUid, euid, egid, ruid, rgid, static_cast<std::uint32_t>(pid),
                 static_cast<std::uint32_t>(startTime >> 32), static_cast<std::uint32_t>(startTime)};
        return t;
    }

    std::uint32_t auditUid() const { return val[0]; }
    std::uint32_t euid() const { return val[1]; }
    std::uint32_t egid() const { return val[2]; }
    std::uint32_t ruid() const { return val[3]; }
    std::uint32_t rgid() const { return val[4]; }
    std::int32_t pid() const { return static_cast<std::int32_t>(val[5]); }
    std::uint64_t startTime() const { return (std::uint64_t{val[6]} << 32) | val[7]; }

    // A zero token, pid 0 or pid 1 is never trusted.
    bool isTrustworthyShape() const { return pid() > 1; }
    bool operator==(const AuditToken&) const = default;
};

}  // namespace platform
