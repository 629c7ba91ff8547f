// Records of security-relevant system events (a fork, a remote or local
// login, a user authentication, an authentication error), made to travel
// between processes in coded form and to be written into reports. They carry
// data only.
//
// Coded form: a dictionary of the keys below. Decoding is strict: a record
// without a "Timestamp" date, or with any present key holding a value of
// another type or out of its width, is refused (nullptr); absent keys other
// than the timestamp stay 0 or nil.
//
// Threading: plain values; not synchronised.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ipc/audit/NRVAuditMacUser.h"
#include "platform/value/NRVValue.h"

class NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecord";
    static constexpr bool supportsSecureCoding = true;

    explicit NRVAuditRecord(NRVDate eventTimestamp) : eventTimestamp(eventTimestamp) {}
    virtual ~NRVAuditRecord() = default;

    static std::unique_ptr<NRVAuditRecord> initWithCoder(const NRVDictionary& coder);
    virtual void encodeWithCoder(NRVDictionary& coder) const;
    virtual NRVDictionary dictionaryForReport() const;
    virtual const char* className() const { return kClassName; }
    // "<class: 0x... {report on one line}>"
    std::string description() const;
    // Object identity unless a record kind compares its fields.
    virtual bool isEqual(const NRVAuditRecord& other) const { return this == &other; }

    NRVDate eventTimestamp;

protected:
    // The base part of a coded record; false when it must be refused.
    static bool decodeBase(const NRVDictionary& coder, NRVDate* timestamp);
};

class NRVAuditRecordFork : public NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecordFork";
    using NRVAuditRecord::NRVAuditRecord;
    static std::unique_ptr<NRVAuditRecordFork> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const override;
    NRVDictionary dictionaryForReport() const override;
    const char* className() const override { return kClassName; }

    std::int32_t parentPID = 0;
    std::int32_t childPID = 0;
};

class NRVAuditRecordRemoteLogin : public NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecordRemoteLogin";
    using NRVAuditRecord::NRVAuditRecord;
    static std::unique_ptr<NRVAuditRecordRemoteLogin> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const override;
    NRVDictionary dictionaryForReport() const override;
    const char* className() const override { return kClassName; }

    std::shared_ptr<NRVAuditMacUser> macUser;
    std::optional<std::string> remoteAddress;
    std::int32_t remotePort = 0;
    std::int64_t addressType = 0;
    std::int64_t loginType = 0;
    std::uint8_t status = 0;
};

class NRVAuditRecordLocalLogin : public NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecordLocalLogin";
    using NRVAuditRecord::NRVAuditRecord;
    static std::unique_ptr<NRVAuditRecordLocalLogin> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const override;
    NRVDictionary dictionaryForReport() const override;
    const char* className() const override { return kClassName; }

    std::shared_ptr<NRVAuditMacUser> macUser;
    std::int64_t loginType = 0;
    std::uint8_t status = 0;
    std::uint64_t returnValue = 0;  // neither coded nor reported
};

class NRVAuditRecordUserAuthentication : public NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecordUserAuthentication";
    using NRVAuditRecord::NRVAuditRecord;
    static std::unique_ptr<NRVAuditRecordUserAuthentication> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const override;
    NRVDictionary dictionaryForReport() const override;
    const char* className() const override { return kClassName; }
    // The same record, or: same kind, equal user (a missing user equals no
    // other, missing or not), timestamp, status and return value; the signer
    // fields are not compared.
    bool isEqual(const NRVAuditRecord& other) const override;

    std::shared_ptr<NRVAuditMacUser> macUser;
    std::int64_t signerType = 0;
    std::optional<std::string> signingID;
    std::optional<std::string> teamID;
    std::uint8_t status = 0;
    std::uint64_t returnValue = 0;
};

class NRVAuditRecordAuthenticationError : public NRVAuditRecord {
public:
    static constexpr const char* kClassName = "NRVAuditRecordAuthenticationError";
    using NRVAuditRecord::NRVAuditRecord;
    static std::unique_ptr<NRVAuditRecordAuthenticationError> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const override;
    NRVDictionary dictionaryForReport() const override;
    const char* className() const override { return kClassName; }
    // The same record, or: same kind, equal timestamp, user name (a missing
    // name equals no other, missing or not), status and return value.
    bool isEqual(const NRVAuditRecord& other) const override;

    std::optional<std::string> username;
    std::uint8_t status = 0;
    std::uint64_t returnValue = 0;
};
