// The result of one code-signature check of a file: whether it is valid, the
// status and error text of the last step, the kind of signer, and what was
// learnt about the file. Plain values; copy freely between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Kinds of signer. 2 and 3 are both the maker's; whatever accepts one accepts the other.
enum NRVSignType : std::int64_t {
    NRVSignTypeNotSigned = 0,
    NRVSignTypeNotAvailable = 1,
    NRVSignTypeNerova = 2,
    NRVSignTypeNerovaAlternate = 3,
    NRVSignTypeApple = 4,
    NRVSignTypeAppleDeveloper = 5,
    NRVSignTypeAdhoc = 6,
    NRVSignTypeOther = 7,
};

struct NRVSigningInfo {
    bool isValid = false;
    std::int64_t lastStatusCode = 0;
    std::optional<std::string> lastError;
    std::int64_t signType = NRVSignTypeNotSigned;
    double calculationTime = 0;

    // "Not Signed", "Not Available", "Nerova", "Nerova", "Apple",
    // "Apple Developer", "Adhoc", "Other"; "Unknown" outside 0-7.
    std::string signTypeName() const;
};

struct NRVFileSigningInfo : NRVSigningInfo {
    std::string path;
    std::string teamIdentifier;
    std::string identifier;
    std::vector<std::string> authorities;
    std::string designatedRequirement;
    std::uint64_t fileSize = 0;
    std::uint64_t fsid = 0;
    std::uint64_t inode = 0;
    std::uint64_t codeSignOptions = 0;
    std::string sha1;
    std::int64_t fileModTimeSec = 0;
    std::int64_t fileModTimeNsec = 0;
};
