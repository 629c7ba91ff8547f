#include "foundation/NerovaLogger.h"

// Each handle is a constant-initialised function-local static: it exists
// before any code runs, takes no heap and has nothing to destroy, so callers
// may keep the reference and code that logs while the process exits (static
// destructors, detached threads) still finds it.

void NRVLogHandle::log(platform::log::Level level, std::string_view message) const {
    platform::log::write(subsystem_, category_, level, message);
}

const NRVLogHandle& NRVDefaultLog() {
    static constexpr NRVLogHandle handle("", "default");
    return handle;
}

const NRVLogHandle& NerovaLogger::pointofinterest() {
    static constexpr NRVLogHandle handle(kSubsystem, "PointsOfInterest");
    return handle;
}

const NRVLogHandle& NerovaLogger::automation() {
    static constexpr NRVLogHandle handle(kSubsystem, "automation");
    return handle;
}

const NRVLogHandle& NerovaLogger::action() {
    static constexpr NRVLogHandle handle(kSubsystem, "action");
    return handle;
}

const NRVLogHandle& NerovaLogger::appcontrol() {
    static constexpr NRVLogHandle handle(kSubsystem, "appcontrol");
    return handle;
}

const NRVLogHandle& NerovaLogger::auth() {
    static constexpr NRVLogHandle handle(kSubsystem, "auth");
    return handle;
}

const NRVLogHandle& NerovaLogger::cache() {
    static constexpr NRVLogHandle handle(kSubsystem, "cache");
    return handle;
}

const NRVLogHandle& NerovaLogger::captive() {
    static constexpr NRVLogHandle handle(kSubsystem, "captive");
    return handle;
}

const NRVLogHandle& NerovaLogger::cbr() {
    static constexpr NRVLogHandle handle(kSubsystem, "cbr");
    return handle;
}

const NRVLogHandle& NerovaLogger::cleancache() {
    static constexpr NRVLogHandle handle(kSubsystem, "cleancache");
    return handle;
}

const NRVLogHandle& NerovaLogger::config() {
    static constexpr NRVLogHandle handle(kSubsystem, "config");
    return handle;
}

const NRVLogHandle& NerovaLogger::datacollection() {
    static constexpr NRVLogHandle handle(kSubsystem, "datacollection");
    return handle;
}

const NRVLogHandle& NerovaLogger::lockfern() {
    static constexpr NRVLogHandle handle(kSubsystem, "lockfern");
    return handle;
}

const NRVLogHandle& NerovaLogger::engine() {
    static constexpr NRVLogHandle handle(kSubsystem, "engine");
    return handle;
}

const NRVLogHandle& NerovaLogger::esclient() {
    static constexpr NRVLogHandle handle(kSubsystem, "esclient");
    return handle;
}

const NRVLogHandle& NerovaLogger::wck() {
    static constexpr NRVLogHandle handle(kSubsystem, "wck");
    return handle;
}

const NRVLogHandle& NerovaLogger::esserver() {
    static constexpr NRVLogHandle handle(kSubsystem, "esserver");
    return handle;
}

const NRVLogHandle& NerovaLogger::eventprocessor() {
    static constexpr NRVLogHandle handle(kSubsystem, "eventprocessor");
    return handle;
}

const NRVLogHandle& NerovaLogger::eventwriter() {
    static constexpr NRVLogHandle handle(kSubsystem, "eventwriter");
    return handle;
}

const NRVLogHandle& NerovaLogger::extension() {
    static constexpr NRVLogHandle handle(kSubsystem, "extension");
    return handle;
}

const NRVLogHandle& NerovaLogger::fda() {
    static constexpr NRVLogHandle handle(kSubsystem, "fda");
    return handle;
}

const NRVLogHandle& NerovaLogger::health() {
    static constexpr NRVLogHandle handle(kSubsystem, "health");
    return handle;
}

const NRVLogHandle& NerovaLogger::heartbeat() {
    static constexpr NRVLogHandle handle(kSubsystem, "heartbeat");
    return handle;
}

const NRVLogHandle& NerovaLogger::helper() {
    static constexpr NRVLogHandle handle(kSubsystem, "helper");
    return handle;
}

const NRVLogHandle& NerovaLogger::install() {
    static constexpr NRVLogHandle handle(kSubsystem, "install");
    return handle;
}

const NRVLogHandle& NerovaLogger::journal() {
    static constexpr NRVLogHandle handle(kSubsystem, "journal");
    return handle;
}

const NRVLogHandle& NerovaLogger::keychain() {
    static constexpr NRVLogHandle handle(kSubsystem, "keychain");
    return handle;
}

const NRVLogHandle& NerovaLogger::livequery() {
    static constexpr NRVLogHandle handle(kSubsystem, "livequery");
    return handle;
}

const NRVLogHandle& NerovaLogger::liveresponse() {
    static constexpr NRVLogHandle handle(kSubsystem, "liveresponse");
    return handle;
}

const NRVLogHandle& NerovaLogger::logcollector() {
    static constexpr NRVLogHandle handle(kSubsystem, "logcollector");
    return handle;
}

const NRVLogHandle& NerovaLogger::mcs() {
    static constexpr NRVLogHandle handle(kSubsystem, "mcs");
    return handle;
}

const NRVLogHandle& NerovaLogger::migration() {
    static constexpr NRVLogHandle handle(kSubsystem, "migration");
    return handle;
}

const NRVLogHandle& NerovaLogger::mitre() {
    static constexpr NRVLogHandle handle(kSubsystem, "mitre");
    return handle;
}

const NRVLogHandle& NerovaLogger::modernweb() {
    static constexpr NRVLogHandle handle(kSubsystem, "modernweb");
    return handle;
}

const NRVLogHandle& NerovaLogger::notification() {
    static constexpr NRVLogHandle handle(kSubsystem, "notification");
    return handle;
}

const NRVLogHandle& NerovaLogger::policy() {
    static constexpr NRVLogHandle handle(kSubsystem, "policy");
    return handle;
}

const NRVLogHandle& NerovaLogger::privilege() {
    static constexpr NRVLogHandle handle(kSubsystem, "privilege");
    return handle;
}

const NRVLogHandle& NerovaLogger::proxy() {
    static constexpr NRVLogHandle handle(kSubsystem, "proxy");
    return handle;
}

const NRVLogHandle& NerovaLogger::push() {
    static constexpr NRVLogHandle handle(kSubsystem, "push");
    return handle;
}

const NRVLogHandle& NerovaLogger::queue() {
    static constexpr NRVLogHandle handle(kSubsystem, "queue");
    return handle;
}

const NRVLogHandle& NerovaLogger::scan() {
    static constexpr NRVLogHandle handle(kSubsystem, "scan");
    return handle;
}

const NRVLogHandle& NerovaLogger::registration() {
    static constexpr NRVLogHandle handle(kSubsystem, "registration");
    return handle;
}

const NRVLogHandle& NerovaLogger::response() {
    static constexpr NRVLogHandle handle(kSubsystem, "response");
    return handle;
}

const NRVLogHandle& NerovaLogger::nerovaupdater() {
    static constexpr NRVLogHandle handle(kSubsystem, "updater");
    return handle;
}

const NRVLogHandle& NerovaLogger::wqr() {
    static constexpr NRVLogHandle handle(kSubsystem, "wqr");
    return handle;
}

const NRVLogHandle& NerovaLogger::zep() {
    static constexpr NRVLogHandle handle(kSubsystem, "zep");
    return handle;
}

const NRVLogHandle& NerovaLogger::sensor() {
    static constexpr NRVLogHandle handle(kSubsystem, "sensor");
    return handle;
}

const NRVLogHandle& NerovaLogger::session() {
    static constexpr NRVLogHandle handle(kSubsystem, "session");
    return handle;
}

const NRVLogHandle& NerovaLogger::session_dup() {
    static constexpr NRVLogHandle handle(kSubsystem, "session_dup");
    return handle;
}

const NRVLogHandle& NerovaLogger::signing() {
    static constexpr NRVLogHandle handle(kSubsystem, "signing");
    return handle;
}

const NRVLogHandle& NerovaLogger::kmtq() {
    static constexpr NRVLogHandle handle(kSubsystem, "kmtq");
    return handle;
}

const NRVLogHandle& NerovaLogger::status() {
    static constexpr NRVLogHandle handle(kSubsystem, "status");
    return handle;
}

const NRVLogHandle& NerovaLogger::wbj() {
    static constexpr NRVLogHandle handle(kSubsystem, "wbj");
    return handle;
}

const NRVLogHandle& NerovaLogger::sysext() {
    static constexpr NRVLogHandle handle(kSubsystem, "sysext");
    return handle;
}

const NRVLogHandle& NerovaLogger::telemetry() {
    static constexpr NRVLogHandle handle(kSubsystem, "telemetry");
    return handle;
}

const NRVLogHandle& NerovaLogger::useragent() {
    static constexpr NRVLogHandle handle(kSubsystem, "useragent");
    return handle;
}

const NRVLogHandle& NerovaLogger::websocket() {
    static constexpr NRVLogHandle handle(kSubsystem, "websocket");
    return handle;
}

const NRVLogHandle& NerovaLogger::tovui() {
    static constexpr NRVLogHandle handle(kSubsystem, "tovui");
    return handle;
}

const NRVLogHandle& NerovaLogger::xpc() {
    static constexpr NRVLogHandle handle(kSubsystem, "xpc");
    return handle;
}

const NRVLogHandle& NerovaLogger::ztna() {
    static constexpr NRVLogHandle handle(kSubsystem, "ztna");
    return handle;
}

const NRVLogHandle& NerovaLogger::confighome() {
    static constexpr NRVLogHandle handle(kSubsystem, "confighome");
    return handle;
}

const NRVLogHandle& NerovaLogger::homedlf() {
    static constexpr NRVLogHandle handle(kSubsystem, "homedlf");
    return handle;
}

const NRVLogHandle& NerovaLogger::diagnostics() {
    static constexpr NRVLogHandle handle(kSubsystem, "diagnostics");
    return handle;
}

const NRVLogHandle& NerovaLogger::vyb() {
    static constexpr NRVLogHandle handle(kSubsystem, "vyb");
    return handle;
}
