// The protocol the ticket dispenser serves: eventsForTicket:withReply: takes
// a ticket number as decimal text and answers the batch, or nil.
#pragma once

#include "ipc/xpc/NRVXPCTypes.h"

NRVXPCProtocol NRVXPCTicketDispenserProtocol();
