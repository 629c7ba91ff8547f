// The result of a code-signature check of a running process: the signing
// result and the process id. A plain value; copy freely between threads.
// Coded forms as NRVSigningInfo's, plus "pid".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ipc/trust/NRVFileSigningInfo.h"

struct NRVProcessSigningInfo : NRVSigningInfo {
    static constexpr const char* kClassName = "NRVProcessSigningInfo";

    std::uint64_t pid = 0;

    static NRVProcessSigningInfo initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const;
    NRVDictionary dictionaryForReport() const;
    std::optional<std::string> serialize() const;
    static NRVProcessSigningInfo initWithSerializedData(const std::string& data);
    std::string description() const;
};
