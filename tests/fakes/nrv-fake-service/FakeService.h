// The fake product services the tests start as real processes: one program,
// one role per run, with knobs that make it misbehave on purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/XPCConnection.h"

namespace fake {

struct Options {
    std::string role;
    std::optional<std::string> name;  // --name=TEXT
    bool nameNil = false;             // --name-nil
    std::optional<std::string> record;  // --record=FILE
    std::optional<std::string> closings;  // --closings=FILE (agent: a line per call connection that ended)
    std::optional<std::string> seed;    // --seed=FILE
    // --set=TYPE:KEY=VALUE (false) and --set-enciphered=TYPE:KEY=PLAIN (true), in order.
    std::vector<std::pair<std::string, bool>> settings;
    bool wrongKind = false;  // --wrong-kind (settings: every stored value read back as a number)
    std::optional<std::string> folder;  // --folder=DIR (root service output)
    std::optional<std::string> service;  // --service=NAME (agent: override the per-user name)
    std::optional<std::string> endpoint;  // --endpoint=NAME (exec-after-connect, impostor)
    std::optional<std::string> controlEndpoint;  // --control-endpoint=NAME (impostor)
    bool noCall = false;                  // --no-call (exec-after-connect: connect only)
    bool neverReply = false;
    bool replyTwice = false;  // --reply-twice (root service: a second, opposite answer)
    std::optional<bool> reply;  // --reply=yes|no
    int delayMs = 0;
    // --limit-seconds=N (probe: how long it waits for the connection). Only a
    // hang runs into it: a connection or a refusal ends the wait at once, and
    // on a loaded, sanitized machine a connection that checks this large
    // program's signature on both sides can take many seconds.
    double limitSeconds = 60.0;
    int crashAfter = 0;  // 0: never
    bool unsignedRun = false;
    std::optional<std::string> runtimeRoot;
};

// Counts handled calls, applies --delay-ms, --never-reply and --crash-after,
// then answers through `answer`. Replies held for --never-reply are kept for
// the life of the process, so they are never sent nor dropped.
class Misbehaviour {
public:
    explicit Misbehaviour(const Options& options) : options_(options) {}
    void handle(const platform::xpc::Reply& reply, std::function<void(const platform::xpc::Reply&)> answer);

private:
    const Options& options_;
    std::atomic<int> calls_{0};
    std::mutex mutex_;
    std::vector<platform::xpc::Reply> held_;
};

int runBroker(const Options& options);
int runAgent(const Options& options);
int runRootService(const Options& options);
int runSettings(const Options& options);
int runMapUpdater(const Options& options);
int runProbe(const Options& options);
int runExecAfterConnect(const Options& options, const std::vector<std::string>& program);
int runDispenser(const Options& options);
int runImpostor(const Options& options);

// Prints READY on standard output (flushed) once the role listens.
void announceReady();
// Blocks until SIGTERM or SIGINT.
int waitForTermination();

}  // namespace fake
