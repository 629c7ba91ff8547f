// Where code touches the file system, so that tests can hand in another.
// The manager holds no state: any thread may call it.
#pragma once

#include <string>

#include "foundation/NRVError.h"

class NWKFileManager {
public:
    virtual ~NWKFileManager() = default;
    static NWKFileManager& defaultManager();
    virtual bool fileExists(const std::string& atPath) const;
    // An item at the destination is never replaced. On failure *error (when
    // given) holds the system's error in NSPOSIXErrorDomain.
    virtual bool moveItem(const std::string& atPath, const std::string& toPath, NRVError* error = nullptr) const;
};
