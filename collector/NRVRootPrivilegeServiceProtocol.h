// The product's root-privileged service as the collection uses it: two
// operations, each given a folder (as a path) and answering one Bool, and the
// bounds of the collection's waits on it.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "ipc/NRVXPCTypes.h"

namespace NRVRootPrivilegeService {

constexpr const char* kServiceName = "com.nerova.xpc.name.rootPrivilegeService";
constexpr double kConnectTimeoutSeconds = 3.0;
constexpr std::chrono::seconds kReplyTimeout{600};

// runZEPLogExtraction:withReply: and runWQRSummarization:withReply:.
NRVXPCProtocol NRVRootPrivilegeServiceProtocol();

// The wait for each answer: kReplyTimeout unless a test shortened it.
std::chrono::milliseconds replyTimeout();
// Tests only: nullopt returns to kReplyTimeout.
void setReplyTimeoutForTesting(std::optional<std::chrono::milliseconds> timeout);

// The answer of one call, shared between the waiting caller and the reply and
// error handlers on the connection's queue. The first answer counts; a second
// one, or any answer after the caller stopped waiting (close()), changes
// nothing. Outlives the wait because the handlers hold it too.
class ReplyCell {
public:
    void set(bool value) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_ && !value_) value_ = value;
    }
    // The answer at the end of the wait (NO when none came); later sets are ignored.
    bool close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        return value_.value_or(false);
    }

private:
    std::mutex mutex_;
    bool closed_ = false;
    std::optional<bool> value_;
};

}  // namespace NRVRootPrivilegeService
