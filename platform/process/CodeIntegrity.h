// Whether the code a running process executes is the code its signature
// vouches for. A signature covers one file; these checks tie that file to
// the process and refuse the ways of running other code under its name.
//
// Threading: every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform::process {

// Marks this process not dumpable: its user can no longer attach a debugger
// to it or write its memory through /proc, and it leaves no core file.
// Signed programs call it first thing in main.
void markNotDumpable();

// Why the file with identity (dev, ino), opened through /proc/<pid>/exe,
// cannot stand for the code of process `pid`; nullopt when it can. It cannot
// when the process lives in another user namespace than this one (there a
// process may repoint its own executable link) or when the process does not
// map that file as executable code.
std::optional<std::string> executableMappingProblem(pid_t pid, dev_t dev, ino_t ino);

// Why process `pid` cannot count as running unmodified code; nullopt when
// nothing is found. It cannot while it is traced, or when it maps executable
// code other than its own executable and files owned by root that neither
// group nor others may write (a preloaded or injected library).
std::optional<std::string> runtimeIntegrityProblem(pid_t pid);

}  // namespace platform::process
