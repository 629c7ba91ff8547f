#include "foundation/NRVScheduledPowerEventHelper.h"

#include <cstdio>

#include "foundation/NSArrayExtensions.h"
#include "platform/power/PowerEvents.h"

namespace NRVScheduledPowerEventHelper {

NRVArray scheduledPowerEvents() { return platform::power::scheduledPowerEvents(); }

void clearScheduledAutoWakeForOwner(const std::string& owner, const NRVLogHandle& logger) {
    bool found = false;
    for (const NRVValue& event : scheduledPowerEvents()) {
        const NRVValue* time = event["time"];
        const NRVValue* type = event["eventtype"];
        const NRVValue* scheduledBy = event["scheduledby"];
        if (!time || !time->asDate() || !type || !type->asString() || *type->asString() != "wake" || !scheduledBy ||
            !scheduledBy->asString() || *scheduledBy->asString() != owner)
            continue;
        found = true;
        const std::string when = NSArrayExtensions::description(*time);
        const int rc = platform::power::cancelScheduledPowerEvent(*time->asDate(), owner, "wake");
        if (rc == 0) {
            logger.log("cancelled scheduled wake at " + when + ".");
        } else {
            char code[16];
            std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(rc));
            logger.error("failed to cancel wake at " + when + " (rc=0x" + code + ").");
        }
    }
    if (!found) logger.debug("no scheduled wake events found to cancel.");
}

}  // namespace NRVScheduledPowerEventHelper
