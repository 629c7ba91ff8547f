// Where code asks for the current time, so that tests can hand in another.
// The manager holds no state: any thread may call it.
#pragma once

#include "platform/value/NRVValue.h"

class NWKDateManagerProtocol {
public:
    virtual ~NWKDateManagerProtocol() = default;
    virtual NRVDate date() const = 0;
};

class NWKDateManager : public NWKDateManagerProtocol {
public:
    // One manager for the process, made on first use.
    static const NWKDateManagerProtocol& getDefaultManager();
    NRVDate date() const override;
};
