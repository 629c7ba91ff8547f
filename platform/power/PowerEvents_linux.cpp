#include "platform/power/PowerEvents.h"

#include <mutex>

namespace platform::power {

namespace {

class SystemSource final : public Source {
public:
    NRVArray scheduledPowerEvents() override { return {}; }
    int cancelScheduledPowerEvent(const NRVDate&, const std::string&, const std::string&) override {
        return kReturnNotFound;
    }
};

std::mutex& sourceMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<Source>& installed() {
    static std::shared_ptr<Source> source;
    return source;
}

std::shared_ptr<Source> current() {
    std::lock_guard lock(sourceMutex());
    if (!installed()) installed() = std::make_shared<SystemSource>();
    return installed();
}

}  // namespace

NRVArray scheduledPowerEvents() { return current()->scheduledPowerEvents(); }

int cancelScheduledPowerEvent(const NRVDate& time, const std::string& owner, const std::string& type) {
    return current()->cancelScheduledPowerEvent(time, owner, type);
}

void setSource(std::shared_ptr<Source> source) {
    std::lock_guard lock(sourceMutex());
    installed() = std::move(source);
}

}  // namespace platform::power
