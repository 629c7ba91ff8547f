#include "foundation/NRVUserPrivilegeServices.h"

namespace NRVUserPrivilegeServices {

std::optional<std::string> originalURLForTranslocatedURL(const std::string&, NRVError*) { return std::nullopt; }

}  // namespace NRVUserPrivilegeServices
