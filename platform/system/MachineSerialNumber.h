// The machine's serial number as the firmware reports it.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The product serial of the firmware tables (/sys/class/dmi/id/product_serial
// under the system root), trimmed; nullopt when it is missing, unreadable
// (it is readable by root only) or blank.
std::optional<std::string> machineSerialNumber();

}  // namespace platform
