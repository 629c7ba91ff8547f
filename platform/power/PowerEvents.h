// Scheduled power events (wake, power-on, sleep at a set time).
//
// Linux keeps no list of timed wake requests placed by programs (an RTC
// alarm has no owner and is not listed), so the system source answers an
// empty list and cancels nothing. Tests install a source of their own.
// Threading: setSource() is meant for test set-up; the calls themselves may
// come from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/value/NRVValue.h"

namespace platform::power {

// The platform's "not found" result of a cancel.
constexpr int kReturnNotFound = static_cast<int>(0xE00002F0u);

class Source {
public:
    virtual ~Source() = default;
    // Each event a dictionary with "time" (date), "eventtype" and "scheduledby".
    virtual NRVArray scheduledPowerEvents() = 0;
    // 0 when cancelled, else a result code.
    virtual int cancelScheduledPowerEvent(const NRVDate& time, const std::string& owner, const std::string& type) = 0;
};

NRVArray scheduledPowerEvents();
int cancelScheduledPowerEvent(const NRVDate& time, const std::string& owner, const std::string& type);
// nullptr returns to the system's source.
void setSource(std::shared_ptr<Source> source);

}  // namespace platform::power
