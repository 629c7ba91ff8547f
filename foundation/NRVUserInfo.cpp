#include "foundation/NRVUserInfo.h"

#include "platform/process/ProcessInfo.h"

bool NRVUserInfo::isMemberOfAdmin() { return isMemberOfAdminForUid(platform::process::realUserID()); }

bool NRVUserInfo::isMemberOfAdminForUid(std::uint32_t uid) { return platform::process::isUserInGroup(uid, "admin"); }
