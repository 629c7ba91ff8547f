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
    // Throws NRVError; an item at the destination is never replaced.
    virtual void moveItem(const std::string& atPath, const std::string& toPath) const;
};
