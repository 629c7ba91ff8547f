#include "foundation/GetBSDProcessList.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process/ProcessInfo.h"

int GetBSDProcessList(NRVKinfoProc** procList, std::size_t* procCount) {
    if (!procList || !procCount || *procList) return EINVAL;
    *procCount = 0;
    std::optional<std::vector<pid_t>> pids = platform::process::allProcessIDs();
    if (!pids) return EIO;
    std::vector<NRVKinfoProc> records;
    records.reserve(pids->size());
    for (pid_t pid : *pids) {
        // A process that ended since the listing has no record any more.
        std::optional<platform::process::ProcessRecord> r = platform::process::readProcessRecord(pid);
        if (!r) continue;
        NRVKinfoProc k{};
        k.pid = r->pid;
        k.ppid = r->ppid;
        k.ruid = r->ruid;
        k.euid = r->euid;
        k.rgid = r->rgid;
        k.egid = r->egid;
        k.startTimeTicks = r->startTimeTicks;
        k.startSeconds = r->startSeconds;
        k.startMicroseconds = r->startMicroseconds;
        std::strncpy(k.comm, r->name.c_str(), sizeof k.comm - 1);
        records.push_back(k);
    }
    if (records.empty()) return ESRCH;
    auto* block = static_cast<NRVKinfoProc*>(std::malloc(records.size() * sizeof(NRVKinfoProc)));
    if (!block) return ENOMEM;
    std::memcpy(block, records.data(), records.size() * sizeof(NRVKinfoProc));
    *procList = block;
    *procCount = records.size();
    return 0;
}
