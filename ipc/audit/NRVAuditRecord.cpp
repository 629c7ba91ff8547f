#include "ipc/audit/NRVAuditRecord.h"

#include <cstdio>
#include <limits>

#include "foundation/NSDictionaryExtensions.h"

namespace {

// Strict reading of one coded record: a key that is present must hold its
// type and fit its width, or the whole record is refused.
class Reader {
public:
    explicit Reader(const NRVDictionary& coder) : coder_(coder) {}
    bool ok() const { return ok_; }

    template <class T>
    void int32(const char* key, T* out) {
        if (const std::int64_t* v = integer(key)) {
            if (*v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) ok_ = false;
            else *out = static_cast<T>(*v);
        }
    }
    void int64(const char* key, std::int64_t* out) {
        if (const std::int64_t* v = integer(key)) *out = *v;
    }
    // Unsigned values travel as the platform integer of the same bits.
    void uint64(const char* key, std::uint64_t* out) {
        if (const std::int64_t* v = integer(key)) *out = static_cast<std::uint64_t>(*v);
    }
    // Coded as a 32-bit integer; the record keeps its low 8 bits.
    void status(const char* key, std::uint8_t* out) {
        std::int32_t wide = 0;
        int32(key, &wide);
        *out = static_cast<std::uint8_t>(static_cast<std::uint32_t>(wide) & 0xFF);
    }
    void string(const char* key, std::optional<std::string>* out) {
        if (const NRVValue* v = coder_.find(key)) {
            if (v->asString()) *out = *v->asString();
            else ok_ = false;
        }
    }
    void user(const char* key, std::shared_ptr<NRVAuditMacUser>* out) {
        if (const NRVValue* v = coder_.find(key)) {
            const NRVDictionary* nested = v->asDictionary();
            std::unique_ptr<NRVAuditMacUser> user = nested ? NRVAuditMacUser::initWithCoder(*nested) : nullptr;
            if (user) *out = std::move(user);
            else ok_ = false;
        }
    }

private:
    const std::int64_t* integer(const char* key) {
        const NRVValue* v = coder_.find(key);
        if (!v) return nullptr;
        if (!v->asInteger()) ok_ = false;
        return v->asInteger();
    }

    const NRVDictionary& coder_;
    bool ok_ = true;
};

void encodeUser(NRVDictionary& coder, const std::shared_ptr<NRVAuditMacUser>& user) {
    if (!user) return;
    NRVDictionary nested;
    user->encodeWithCoder(nested);
    coder.set("MacUser", std::move(nested));
}

void reportUser(NRVDictionary& report, const std::shared_ptr<NRVAuditMacUser>& user) {
    if (user) report.set("MacUser", user->description());
}

void setString(NRVDictionary& dictionary, const char* key, const std::optional<std::string>& value) {
    if (value) dictionary.set(key, *value);
}

// The report shows the unsigned number; the value type's integers are
// signed, so the few values past their range are written as decimal text
// rather than as a wrong negative number.
NRVValue unsignedReportValue(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return NRVValue(static_cast<long long>(value));
    return NRVValue(std::to_string(value));
}

// A missing user equals nothing, not even another missing one.
bool sameUser(const std::shared_ptr<NRVAuditMacUser>& a, const std::shared_ptr<NRVAuditMacUser>& b) {
    return a && b && a->isEqual(*b);
}

template <class Record>
std::unique_ptr<Record> decoded(const NRVDictionary& coder, Reader& reader, std::unique_ptr<Record> record) {
    return reader.ok() ? std::move(record) : nullptr;
}

}  // namespace

bool NRVAuditRecord::decodeBase(const NRVDictionary& coder, NRVDate* timestamp) {
    const NRVValue* v = coder.find("Timestamp");
    if (!v || !v->asDate()) return false;
    *timestamp = *v->asDate();
    return true;
}

std::unique_ptr<NRVAuditRecord> NRVAuditRecord::initWithCoder(const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    return std::make_unique<NRVAuditRecord>(timestamp);
}

void NRVAuditRecord::encodeWithCoder(NRVDictionary& coder) const { coder.set("Timestamp", eventTimestamp); }

NRVDictionary NRVAuditRecord::dictionaryForReport() const {
    NRVDictionary report;
    report.set("Timestamp", eventTimestamp);
    return report;
}

std::string NRVAuditRecord::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<") + className() + ": " + address + " " +
           NSDictionaryExtensions::singleLineDescription(dictionaryForReport()) + ">";
}

// Fork

std::unique_ptr<NRVAuditRecordFork> NRVAuditRecordFork::initWithCoder(const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    auto record = std::make_unique<NRVAuditRecordFork>(timestamp);
    Reader reader(coder);
    reader.int32("ParentPid", &record->parentPID);
    reader.int32("ChildPid", &record->childPID);
    return decoded(coder, reader, std::move(record));
}

void NRVAuditRecordFork::encodeWithCoder(NRVDictionary& coder) const {
    NRVAuditRecord::encodeWithCoder(coder);
    coder.set("ParentPid", parentPID);
    coder.set("ChildPid", childPID);
}

NRVDictionary NRVAuditRecordFork::dictionaryForReport() const {
    NRVDictionary report = NRVAuditRecord::dictionaryForReport();
    report.set("ParentPid", parentPID);
    report.set("ChildPid", childPID);
    return report;
}

// Remote login

std::unique_ptr<NRVAuditRecordRemoteLogin> NRVAuditRecordRemoteLogin::initWithCoder(const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    auto record = std::make_unique<NRVAuditRecordRemoteLogin>(timestamp);
    Reader reader(coder);
    reader.user("MacUser", &record->macUser);
    reader.string("NetworkAddress", &record->remoteAddress);
    reader.int32("NetworkPort", &record->remotePort);
    reader.int64("AddressType", &record->addressType);
    reader.int64("LoginType", &record->loginType);
    reader.status("Status", &record->status);
    return decoded(coder, reader, std::move(record));
}

void NRVAuditRecordRemoteLogin::encodeWithCoder(NRVDictionary& coder) const {
    NRVAuditRecord::encodeWithCoder(coder);
    encodeUser(coder, macUser);
    setString(coder, "NetworkAddress", remoteAddress);
    coder.set("NetworkPort", remotePort);
    coder.set("AddressType", static_cast<long long>(addressType));
    coder.set("LoginType", static_cast<long long>(loginType));
    coder.set("Status", static_cast<int>(status));
}

NRVDictionary NRVAuditRecordRemoteLogin::dictionaryForReport() const {
    NRVDictionary report = NRVAuditRecord::dictionaryForReport();
    reportUser(report, macUser);
    setString(report, "NetworkAddress", remoteAddress);
    report.set("NetworkPort", remotePort);
    report.set("AddressType", static_cast<long long>(addressType));
    report.set("LoginType", static_cast<long long>(loginType));
    report.set("Status", static_cast<int>(status));
    return report;
}

// Local login

std::unique_ptr<NRVAuditRecordLocalLogin> NRVAuditRecordLocalLogin::initWithCoder(const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    auto record = std::make_unique<NRVAuditRecordLocalLogin>(timestamp);
    Reader reader(coder);
    reader.user("MacUser", &record->macUser);
    reader.int64("LoginType", &record->loginType);
    reader.status("Status", &record->status);
    return decoded(coder, reader, std::move(record));
}

void NRVAuditRecordLocalLogin::encodeWithCoder(NRVDictionary& coder) const {
    NRVAuditRecord::encodeWithCoder(coder);
    encodeUser(coder, macUser);
    coder.set("LoginType", static_cast<long long>(loginType));
    coder.set("Status", static_cast<int>(status));
}

NRVDictionary NRVAuditRecordLocalLogin::dictionaryForReport() const {
    NRVDictionary report = NRVAuditRecord::dictionaryForReport();
    reportUser(report, macUser);
    report.set("LoginType", static_cast<long long>(loginType));
    report.set("Status", static_cast<int>(status));
    return report;
}

// User authentication

std::unique_ptr<NRVAuditRecordUserAuthentication> NRVAuditRecordUserAuthentication::initWithCoder(
    const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    auto record = std::make_unique<NRVAuditRecordUserAuthentication>(timestamp);
    Reader reader(coder);
    reader.user("MacUser", &record->macUser);
    reader.int64("SignerType", &record->signerType);
    reader.string("SigningID", &record->signingID);
    reader.string("TeamID", &record->teamID);
    reader.status("Status", &record->status);
    reader.uint64("ReturnValue", &record->returnValue);
    return decoded(coder, reader, std::move(record));
}

void NRVAuditRecordUserAuthentication::encodeWithCoder(NRVDictionary& coder) const {
    NRVAuditRecord::encodeWithCoder(coder);
    encodeUser(coder, macUser);
    coder.set("SignerType", static_cast<long long>(signerType));
    setString(coder, "SigningID", signingID);
    setString(coder, "TeamID", teamID);
    coder.set("Status", static_cast<int>(status));
    coder.set("ReturnValue", static_cast<long long>(returnValue));
}

NRVDictionary NRVAuditRecordUserAuthentication::dictionaryForReport() const {
    NRVDictionary report = NRVAuditRecord::dictionaryForReport();
    reportUser(report, macUser);
    report.set("SignerType", static_cast<long long>(signerType));
    setString(report, "SigningID", signingID);
    setString(report, "TeamID", teamID);
    report.set("Status", static_cast<int>(status));
    report.set("ReturnValue", unsignedReportValue(returnValue));
    return report;
}

bool NRVAuditRecordUserAuthentication::isEqual(const NRVAuditRecord& other) const {
    if (this == &other) return true;
    const auto* o = dynamic_cast<const NRVAuditRecordUserAuthentication*>(&other);
    return o && sameUser(macUser, o->macUser) && eventTimestamp == o->eventTimestamp && status == o->status &&
           returnValue == o->returnValue;
}

// Authentication error

std::unique_ptr<NRVAuditRecordAuthenticationError> NRVAuditRecordAuthenticationError::initWithCoder(
    const NRVDictionary& coder) {
    NRVDate timestamp;
    if (!decodeBase(coder, &timestamp)) return nullptr;
    auto record = std::make_unique<NRVAuditRecordAuthenticationError>(timestamp);
    Reader reader(coder);
    reader.string("Username", &record->username);
    reader.status("Status", &record->status);
    reader.uint64("ReturnValue", &record->returnValue);
    return decoded(coder, reader, std::move(record));
}

void NRVAuditRecordAuthenticationError::encodeWithCoder(NRVDictionary& coder) const {
    NRVAuditRecord::encodeWithCoder(coder);
    setString(coder, "Username", username);
    coder.set("Status", static_cast<int>(status));
    coder.set("ReturnValue", static_cast<long long>(returnValue));
}

NRVDictionary NRVAuditRecordAuthenticationError::dictionaryForReport() const {
    NRVDictionary report = NRVAuditRecord::dictionaryForReport();
    setString(report, "Username", username);
    report.set("Status", static_cast<int>(status));
    report.set("ReturnValue", unsignedReportValue(returnValue));
    return report;
}

bool NRVAuditRecordAuthenticationError::isEqual(const NRVAuditRecord& other) const {
    if (this == &other) return true;
    // The user name compares as a string: a missing one equals nothing.
    const auto* o = dynamic_cast<const NRVAuditRecordAuthenticationError*>(&other);
    return o && eventTimestamp == o->eventTimestamp && username && o->username && *username == *o->username &&
           status == o->status &&
           returnValue == o->returnValue;
}
