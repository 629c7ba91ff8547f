#include "platform/power/PowerEvents.h"
#include "platform/thread/Mutex.h"


namespace platform::power {

namespace {

class SystemSource final : public Source {
public:
    NRVArray scheduledPowerEvents() override { return {}; }
    int cancelScheduledPowerEvent(const NRVDate&, const std::string&, const std::string&) override {
        return kReturnNotFound;
    }
};

platform::Mutex& sourceMutex() {
    static platform::Mutex m;
    return m;
}

std::shared_ptr<Source>& installed() REQUIRES(sourceMutex()) {
    static std::shared_ptr<Source> source;
    return source;
}

std::shared_ptr<Source> current() {
    platform::MutexLock lock(sourceMutex());
    if (!installed()) installed() = std::make_shared<SystemSource>();
    return installed();
}

}  // namespace

NRVArray scheduledPowerEvents() { return current()->scheduledPowerEvents(); }

int cancelScheduledPowerEvent(const NRVDate& time, const std::string& owner, const std::string& type) {
    return current()->cancelScheduledPowerEvent(time, owner, type);
}

void setSource(std::shared_ptr<Source> source) {
    platform::MutexLock lock(sourceMutex());
    installed() = std::move(source);
}

}  // namespace platform::power
