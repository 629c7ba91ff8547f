// The result of one code-signature check of a file: whether it is valid, the
// status and error text of the last step, the kind of signer, and what was
// learnt about the file. Plain values; copy freely between threads.
//
// Two coded forms cross process boundaries: the keyed form
// (encodeWithCoder / initWithCoder, a dictionary) and a binary property list
// of dictionaryForReport (serialize / initWithSerializedData). Both readers
// take a value only when it has the expected type; anything else leaves the
// field as a fresh record has it. Unsigned fields travel as the signed
// integer of the same bits, so every value reads back as it was written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/value/NRVValue.h"

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
    static constexpr const char* kClassName = "NRVSigningInfo";
    static constexpr bool supportsSecureCoding = true;

    bool isValid = false;
    std::int64_t lastStatusCode = 0;
    std::optional<std::string> lastError;
    std::int64_t signType = NRVSignTypeNotSigned;
    double calculationTime = 0;

    // "Not Signed", "Not Available", "Nerova", "Nerova", "Apple",
    // "Apple Developer", "Adhoc", "Other"; "Unknown" outside 0-7.
    std::string signTypeName() const;
    bool signedByNerova() const;          // valid and kind 2 or 3
    bool signedByApple() const;           // valid and kind 4
    bool signedByAppleDeveloper() const;  // valid and kind 5

    static NRVSigningInfo initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const;
    // "lastStatusCode", "lastError" (left out when nil), "signType", "valid",
    // "signedByNerova", "signedByApple", "calculationTime".
    NRVDictionary dictionaryForReport() const;
    // dictionaryForReport as a binary property list; nullopt when it cannot be written.
    std::optional<std::string> serialize() const;
    // Data that is no property list dictionary gives a fresh record.
    static NRVSigningInfo initWithSerializedData(const std::string& data);
    // The single-line description of dictionaryForReport.
    std::string description() const;

protected:
    // The base fields from a keyed or serialized form.
    void readBase(const NRVDictionary& source);
};

struct NRVFileSigningInfo : NRVSigningInfo {
    static constexpr const char* kClassName = "NRVFileSigningInfo";

    // Empty text stands for nil: left out of the coded forms and the report.
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

    static NRVFileSigningInfo initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const;
    NRVDictionary dictionaryForReport() const;
    std::optional<std::string> serialize() const;
    static NRVFileSigningInfo initWithSerializedData(const std::string& data);
    std::string description() const;

    // The path is one of the exact system paths (case-sensitive), or starts
    // with one of the system prefixes in any letter case.
    bool isSystemPath() const;
    bool isSystemProcess() const;  // signed by the platform and on a system path

private:
    void readFile(const NRVDictionary& source);
};
