// The per-area unified-log handles: one shared handle per category, all under
// the subsystem "com.nerova.rivovovuvev".
#pragma once

#include <string>
#include <string_view>

#include "platform/log/LogStore.h"

// A handle of one subsystem and category. Messages are finished text: they
// are never read as a format. A handle is two views of texts with static
// storage (literals), so handles need no heap and are made at compile time;
// safe to use from any thread.
class NRVLogHandle {
public:
    constexpr NRVLogHandle(std::string_view subsystem, std::string_view category)
        : subsystem_(subsystem), category_(category) {}

    constexpr std::string_view subsystem() const { return subsystem_; }
    constexpr std::string_view category() const { return category_; }
    bool isEnabled(platform::log::Level level) const { return platform::log::isEnabled(level); }
    void log(platform::log::Level level, std::string_view message) const;
    void log(std::string_view message) const { log(platform::log::Level::Default, message); }
    void info(std::string_view message) const { log(platform::log::Level::Info, message); }
    void debug(std::string_view message) const { log(platform::log::Level::Debug, message); }
    void error(std::string_view message) const { log(platform::log::Level::Error, message); }
    void fault(std::string_view message) const { log(platform::log::Level::Fault, message); }

private:
    std::string_view subsystem_;
    std::string_view category_;
};

// The process's default handle (no subsystem, category "default").
const NRVLogHandle& NRVDefaultLog();

class NerovaLogger {
public:
    NerovaLogger() = delete;
    static constexpr const char* kSubsystem = "com.nerova.rivovovuvev";

    static const NRVLogHandle& pointofinterest();
    static const NRVLogHandle& automation();
    static const NRVLogHandle& action();
    static const NRVLogHandle& appcontrol();
    static const NRVLogHandle& auth();
    static const NRVLogHandle& cache();
    static const NRVLogHandle& captive();
    static const NRVLogHandle& cbr();
    static const NRVLogHandle& cleancache();
    static const NRVLogHandle& config();
    static const NRVLogHandle& datacollection();
    static const NRVLogHandle& lockfern();
    static const NRVLogHandle& engine();
    static const NRVLogHandle& esclient();
    static const NRVLogHandle& wck();
    static const NRVLogHandle& esserver();
    static const NRVLogHandle& eventprocessor();
    static const NRVLogHandle& eventwriter();
    static const NRVLogHandle& extension();
    static const NRVLogHandle& fda();
    static const NRVLogHandle& health();
    static const NRVLogHandle& heartbeat();
    static const NRVLogHandle& helper();
    static const NRVLogHandle& install();
    static const NRVLogHandle& journal();
    static const NRVLogHandle& keychain();
    static const NRVLogHandle& livequery();
    static const NRVLogHandle& liveresponse();
    static const NRVLogHandle& logcollector();
    static const NRVLogHandle& mcs();
    static const NRVLogHandle& migration();
    static const NRVLogHandle& mitre();
    static const NRVLogHandle& modernweb();
    static const NRVLogHandle& notification();
    static const NRVLogHandle& policy();
    static const NRVLogHandle& privilege();
    static const NRVLogHandle& proxy();
    static const NRVLogHandle& push();
    static const NRVLogHandle& queue();
    static const NRVLogHandle& scan();
    static const NRVLogHandle& registration();
    static const NRVLogHandle& response();
    static const NRVLogHandle& nerovaupdater();
    static const NRVLogHandle& wqr();
    static const NRVLogHandle& zep();
    static const NRVLogHandle& sensor();
    static const NRVLogHandle& session();
    static const NRVLogHandle& session_dup();
    static const NRVLogHandle& signing();
    static const NRVLogHandle& kmtq();
    static const NRVLogHandle& status();
    static const NRVLogHandle& wbj();
    static const NRVLogHandle& sysext();
    static const NRVLogHandle& telemetry();
    static const NRVLogHandle& useragent();
    static const NRVLogHandle& websocket();
    static const NRVLogHandle& tovui();
    static const NRVLogHandle& xpc();
    static const NRVLogHandle& ztna();
    static const NRVLogHandle& confighome();
    static const NRVLogHandle& homedlf();
    static const NRVLogHandle& diagnostics();
    static const NRVLogHandle& vyb();
};
