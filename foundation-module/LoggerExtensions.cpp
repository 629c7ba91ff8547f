#include "foundation-module/LoggerExtensions.h"

#include <string>

namespace LoggerExtensions {

namespace {
constexpr const char* kSubsystem = NerovaLogger::kSubsystem;
}  // namespace

const NRVLogHandle& alcAdapter() {
    static constexpr NRVLogHandle handle(kSubsystem, "alcadapter");
    return handle;
}

const NRVLogHandle& config() {
    static constexpr NRVLogHandle handle(kSubsystem, "config");
    return handle;
}

const NRVLogHandle& install() {
    static constexpr NRVLogHandle handle(kSubsystem, "install");
    return handle;
}

const NRVLogHandle& journal() {
    static constexpr NRVLogHandle handle(kSubsystem, "journal");
    return handle;
}

const NRVLogHandle& livequery() {
    static constexpr NRVLogHandle handle(kSubsystem, "livequery");
    return handle;
}

const NRVLogHandle& mitre() {
    static constexpr NRVLogHandle handle(kSubsystem, "mitre");
    return handle;
}

const NRVLogHandle& eventprocessor() {
    static constexpr NRVLogHandle handle(kSubsystem, "eventprocessor");
    return handle;
}

const NRVLogHandle& netext() {
    static constexpr NRVLogHandle handle(kSubsystem, "netext");
    return handle;
}

const NRVLogHandle& osquery() {
    static constexpr NRVLogHandle handle(kSubsystem, "osquery");
    return handle;
}

const NRVLogHandle& wbj() {
    static constexpr NRVLogHandle handle(kSubsystem, "wbj");
    return handle;
}

const NRVLogHandle& update() {
    static constexpr NRVLogHandle handle(kSubsystem, "update");
    return handle;
}

const NRVLogHandle& xpc() {
    static constexpr NRVLogHandle handle(kSubsystem, "xpc");
    return handle;
}

const NRVLogHandle& mcs() {
    static constexpr NRVLogHandle handle(kSubsystem, "mcs3");
    return handle;
}

const NRVLogHandle& mcsAgent() {
    static constexpr NRVLogHandle handle(kSubsystem, "mcsAgent");
    return handle;
}

const NRVLogHandle& ztna() {
    static constexpr NRVLogHandle handle(kSubsystem, "ztna");
    return handle;
}

void logWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                    std::string_view type, platform::log::Level level) {
    if (!logger.isEnabled(level)) return;
    std::string entry;
    entry.reserve(type.size() + function.size() + message.size() + 2);
    entry.append(type).append(".").append(function).append(" ").append(message);
    logger.log(level, entry);
}

void logDebugWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                         std::string_view type) {
    logWithContext(logger, message, function, type, platform::log::Level::Debug);
}

void logErrorWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                         std::string_view type) {
    logWithContext(logger, message, function, type, platform::log::Level::Error);
}

}  // namespace LoggerExtensions
