// The interface of the management agent's per-user service:
//   requestArchiveName:        reply: one optional string, the archive name
//                              without ".zip";
//   requestArchiveUpload:at:   the archive name without ".zip" and the path of
//                              the folder that holds the archive; one-way.
#pragma once

#include "ipc/xpc/NRVXPCTypes.h"

NRVXPCProtocol NRVRemoteZEPProtocol();
