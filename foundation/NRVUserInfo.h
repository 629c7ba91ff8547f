// Whether a user belongs to the administrators' group "admin" (its primary
// group or a supplementary one). Any lookup failure answers false.
// Threading: callable from any thread.
#pragma once

#include <cstdint>

class NRVUserInfo {
public:
    static bool isMemberOfAdmin();  // the process's real user
    static bool isMemberOfAdminForUid(std::uint32_t uid);
};
