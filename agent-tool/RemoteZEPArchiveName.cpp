#include "agent-tool/RemoteZEPArchiveName.h"

namespace RemoteZEPArchiveName {

bool isAcceptable(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.size() > kMaximumLength) return false;
    if (name.front() == '-') return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace RemoteZEPArchiveName
