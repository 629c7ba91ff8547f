// The product's root-privileged service as the collection uses it: two
// operations, each given a folder (as a path) and answering one Bool, and the
// bounds of the collection's waits on it.
#pragma once

#include <chrono>
#include <optional>

#include "ipc/xpc/NRVXPCTypes.h"

namespace NRVRootPrivilegeService {

constexpr const char* kServiceName = "com.nerova.xpc.name.rootPrivilegeService";
constexpr double kConnectTimeoutSeconds = 3.0;
constexpr std::chrono::seconds kReplyTimeout{600};

// runZEPLogExtraction:withReply: and runWQRSummarization:withReply:.
NRVXPCProtocol NRVRootPrivilegeServiceProtocol();

// The wait for each answer: kReplyTimeout unless a test shortened it.
std::chrono::milliseconds replyTimeout();
// Tests only: nullopt returns to kReplyTimeout.
void setReplyTimeoutForUnitTest(std::optional<std::chrono::milliseconds> timeout);

}  // namespace NRVRootPrivilegeService
