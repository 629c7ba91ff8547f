// A record describing one process: its executable, identifiers, owner, the
// signature check of its file and two keys its owner assigns. Created empty
// and filled by its owner; travels in keyed form and is written into reports.
//
// Keyed form: "path", "pid", "ppid", "uid", "posixUserName", "fileSignInfo"
// (the signing record's keyed form), "appKey", "catKey". A value of another
// type is not taken; a missing key gives nil or 0.
//
// Threading: a plain value; not synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ipc/trust/NRVFileSigningInfo.h"
#include "platform/value/NRVValue.h"

struct NRVProcessInfo {
    static constexpr const char* kClassName = "NRVProcessInfo";
    static constexpr bool supportsSecureCoding = true;

    std::optional<std::string> path;
    std::uint64_t pid = 0;
    std::uint64_t ppid = 0;
    std::uint64_t uid = 0;
    std::optional<std::string> posixUserName;
    std::optional<NRVFileSigningInfo> fileSignInfo;
    std::optional<std::string> appKey;
    std::optional<std::string> catKey;

    static NRVProcessInfo initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const;
    // Nil values are left out; "fileSignInfo" is the signing record's report.
    NRVDictionary dictionaryForReport() const;
    std::string description() const;  // single-line description of the report
};
