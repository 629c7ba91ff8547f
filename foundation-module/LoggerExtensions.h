// The module's and the settings client's log handles: one shared handle per
// product area, all in the subsystem "com.nerova.rivovovuvev", and helpers
// that prefix a message with the calling type and function. The handles are
// constant-initialised statics; everything here is safe from any thread.
#pragma once

#include <string_view>

#include "foundation/NerovaLogger.h"

namespace LoggerExtensions {

const NRVLogHandle& alcAdapter();
const NRVLogHandle& config();
const NRVLogHandle& install();
const NRVLogHandle& journal();
const NRVLogHandle& livequery();
const NRVLogHandle& mitre();
const NRVLogHandle& eventprocessor();
const NRVLogHandle& netext();
const NRVLogHandle& osquery();
const NRVLogHandle& wbj();
const NRVLogHandle& update();
const NRVLogHandle& xpc();
const NRVLogHandle& mcs();
const NRVLogHandle& mcsAgent();
const NRVLogHandle& ztna();

// One entry "<type>.<function> <message>" when the handle is enabled for the
// level; nothing otherwise.
void logWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                    std::string_view type, platform::log::Level level);
void logDebugWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                         std::string_view type);
void logErrorWithContext(const NRVLogHandle& logger, std::string_view message, std::string_view function,
                         std::string_view type);

}  // namespace LoggerExtensions
