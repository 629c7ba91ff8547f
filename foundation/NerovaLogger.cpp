#include "foundation/NerovaLogger.h"

// Each handle is a function-local static: made on the first call, exactly
// once even when threads race for it, and never replaced, so callers may keep
// the reference. Handles are never destroyed, so code that logs while the
// process exits (static destructors, detached threads) still finds them.

void NRVLogHandle::log(platform::log::Level level, std::string_view message) const {
    platform::log::write(subsystem_, category_, level, message);
}

const NRVLogHandle& NRVDefaultLog() {
    static const NRVLogHandle* handle = new NRVLogHandle("", "default");
    return *handle;
}

const NRVLogHandle& NerovaLogger::pointofinterest() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "PointsOfInterest");
    return *handle;
}

const NRVLogHandle& NerovaLogger::automation() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "automation");
    return *handle;
}

const NRVLogHandle& NerovaLogger::action() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "action");
    return *handle;
}

const NRVLogHandle& NerovaLogger::appcontrol() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "appcontrol");
    return *handle;
}

const NRVLogHandle& NerovaLogger::auth() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "auth");
    return *handle;
}

const NRVLogHandle& NerovaLogger::cache() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "cache");
    return *handle;
}

const NRVLogHandle& NerovaLogger::captive() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "captive");
    return *handle;
}

const NRVLogHandle& NerovaLogger::cbr() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "cbr");
    return *handle;
}

const NRVLogHandle& NerovaLogger::cleancache() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "cleancache");
    return *handle;
}

const NRVLogHandle& NerovaLogger::config() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "config");
    return *handle;
}

const NRVLogHandle& NerovaLogger::datacollection() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "datacollection");
    return *handle;
}

const NRVLogHandle& NerovaLogger::lockfern() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "lockfern");
    return *handle;
}

const NRVLogHandle& NerovaLogger::engine() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "engine");
    return *handle;
}

const NRVLogHandle& NerovaLogger::esclient() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "esclient");
    return *handle;
}

const NRVLogHandle& NerovaLogger::wck() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "wck");
    return *handle;
}

const NRVLogHandle& NerovaLogger::esserver() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "esserver");
    return *handle;
}

const NRVLogHandle& NerovaLogger::eventprocessor() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "eventprocessor");
    return *handle;
}

const NRVLogHandle& NerovaLogger::eventwriter() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "eventwriter");
    return *handle;
}

const NRVLogHandle& NerovaLogger::extension() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "extension");
    return *handle;
}

const NRVLogHandle& NerovaLogger::fda() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "fda");
    return *handle;
}

const NRVLogHandle& NerovaLogger::health() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "health");
    return *handle;
}

const NRVLogHandle& NerovaLogger::heartbeat() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "heartbeat");
    return *handle;
}

const NRVLogHandle& NerovaLogger::helper() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "helper");
    return *handle;
}

const NRVLogHandle& NerovaLogger::install() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "install");
    return *handle;
}

const NRVLogHandle& NerovaLogger::journal() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "journal");
    return *handle;
}

const NRVLogHandle& NerovaLogger::keychain() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "keychain");
    return *handle;
}

const NRVLogHandle& NerovaLogger::livequery() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "livequery");
    return *handle;
}

const NRVLogHandle& NerovaLogger::liveresponse() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "liveresponse");
    return *handle;
}

const NRVLogHandle& NerovaLogger::logcollector() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "logcollector");
    return *handle;
}

const NRVLogHandle& NerovaLogger::mcs() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "mcs");
    return *handle;
}

const NRVLogHandle& NerovaLogger::migration() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "migration");
    return *handle;
}

const NRVLogHandle& NerovaLogger::mitre() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "mitre");
    return *handle;
}

const NRVLogHandle& NerovaLogger::modernweb() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "modernweb");
    return *handle;
}

const NRVLogHandle& NerovaLogger::notification() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "notification");
    return *handle;
}

const NRVLogHandle& NerovaLogger::policy() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "policy");
    return *handle;
}

const NRVLogHandle& NerovaLogger::privilege() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "privilege");
    return *handle;
}

const NRVLogHandle& NerovaLogger::proxy() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "proxy");
    return *handle;
}

const NRVLogHandle& NerovaLogger::push() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "push");
    return *handle;
}

const NRVLogHandle& NerovaLogger::queue() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "queue");
    return *handle;
}

const NRVLogHandle& NerovaLogger::scan() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "scan");
    return *handle;
}

const NRVLogHandle& NerovaLogger::registration() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "registration");
    return *handle;
}

const NRVLogHandle& NerovaLogger::response() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "response");
    return *handle;
}

const NRVLogHandle& NerovaLogger::nerovaupdater() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "updater");
    return *handle;
}

const NRVLogHandle& NerovaLogger::wqr() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "wqr");
    return *handle;
}

const NRVLogHandle& NerovaLogger::zep() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "zep");
    return *handle;
}

const NRVLogHandle& NerovaLogger::sensor() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "sensor");
    return *handle;
}

const NRVLogHandle& NerovaLogger::session() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "session");
    return *handle;
}

const NRVLogHandle& NerovaLogger::session_dup() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "session_dup");
    return *handle;
}

const NRVLogHandle& NerovaLogger::signing() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "signing");
    return *handle;
}

const NRVLogHandle& NerovaLogger::kmtq() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "kmtq");
    return *handle;
}

const NRVLogHandle& NerovaLogger::status() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "status");
    return *handle;
}

const NRVLogHandle& NerovaLogger::wbj() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "wbj");
    return *handle;
}

const NRVLogHandle& NerovaLogger::sysext() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "sysext");
    return *handle;
}

const NRVLogHandle& NerovaLogger::telemetry() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "telemetry");
    return *handle;
}

const NRVLogHandle& NerovaLogger::useragent() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "useragent");
    return *handle;
}

const NRVLogHandle& NerovaLogger::websocket() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "websocket");
    return *handle;
}

const NRVLogHandle& NerovaLogger::tovui() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "tovui");
    return *handle;
}

const NRVLogHandle& NerovaLogger::xpc() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "xpc");
    return *handle;
}

const NRVLogHandle& NerovaLogger::ztna() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "ztna");
    return *handle;
}

const NRVLogHandle& NerovaLogger::confighome() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "confighome");
    return *handle;
}

const NRVLogHandle& NerovaLogger::homedlf() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "homedlf");
    return *handle;
}

const NRVLogHandle& NerovaLogger::diagnostics() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "diagnostics");
    return *handle;
}

const NRVLogHandle& NerovaLogger::vyb() {
    static const NRVLogHandle* handle = new NRVLogHandle(kSubsystem, "vyb");
    return *handle;
}
