// The broker's protocol and the control channel every named service serves.
#pragma once

#include "ipc/xpc/NRVXPCTypes.h"

// statusWithReply:, registerXPCListenerEndpoint:controlListenerEndpoint:forService:withReply:,
// xpcListenerEndpointForService:withReply:. All errors travel as strings.
NRVXPCProtocol NRVNerovaXPCInterfaceProtocol();
// statusWithReply: answering the version text.
NRVXPCProtocol NRVServiceStatusProtocol();

// The version the control channel answers.
constexpr const char* kNRVServiceStatusVersion = "1.5";
