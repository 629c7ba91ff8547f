// Scheduled power events of the machine, and cancelling the wake events that
// one owner placed. On Linux the list is empty (see platform/power).
#pragma once

#include <string>

#include "foundation/NerovaLogger.h"
#include "platform/value/NRVValue.h"

namespace NRVScheduledPowerEventHelper {

// Each event a dictionary with "time", "eventtype" and "scheduledby"; empty
// when there are none.
NRVArray scheduledPowerEvents();

// Cancels every "wake" event of the owner, in list order, logging each
// outcome on the handle; logs at debug level when there was none.
void clearScheduledAutoWakeForOwner(const std::string& owner, const NRVLogHandle& logger);

}  // namespace NRVScheduledPowerEventHelper
