// The kernel's table of all processes in one block. Each record is a fixed
// plain structure, so the block is handed out with malloc and freed by the
// caller with free. Processes that end while the table is read are left out.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct NRVKinfoProc {
    pid_t pid;
    pid_t ppid;
    std::uint32_t ruid, euid;
    std::uint32_t rgid, egid;
    std::uint64_t startTimeTicks;  // clock ticks since boot
    std::int64_t startSeconds;     // since 1970
    std::int32_t startMicroseconds;
    char comm[16];  // the kernel's command name, NUL-terminated
};

// 0 with *procList holding count records (free() it), or an error number
// with *procList NULL and *procCount 0. EINVAL when either pointer is
// missing or *procList is not NULL on entry.
int GetBSDProcessList(NRVKinfoProc** procList, std::size_t* procCount);
