#include "platform/system/MachineSerialNumber.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd/ScopedFD.h"
#include "platform/system/SystemEnvironment.h"

namespace platform {

std::optional<std::string> machineSerialNumber() {
    std::string path = resolveSystemPath("/sys/class/dmi/id/product_serial");
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    char buffer[256];
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    std::string serial(buffer, static_cast<std::size_t>(n));
    const char* blanks = " \t\r\n";
    serial.erase(0, serial.find_first_not_of(blanks));
    auto end = serial.find_last_not_of(blanks);
    serial.erase(end == std::string::npos ? 0 : end + 1);
    // Firmware without a real serial fills the field with placeholder text.
    if (serial.empty() || serial == "None" || serial == "Not Specified" || serial == "Default string")
        return std::nullopt;
    return serial;
}

}  // namespace platform
