// Feeds arbitrary frame bodies to the transport's decoder and hands every
// coded record and every data value in them to the readers that take them
// from another process: settings payloads (keyed archives), the broker
// configuration archive, audit records, process and signing information,
// and the network records. A record that decodes must encode, and decoding
// that encoding must give the same fields again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "ipc/audit/NRVAuditMacUser.h"
#include "ipc/audit/NRVAuditRecord.h"
#include "ipc/xpc/NRVConfigData.h"
#include "ipc/trust/NRVFileSigningInfo.h"
#include "ipc/xpc/NRVKeyedArchive.h"
#include "ipc/audit/NRVProcessInfo.h"
#include "ipc/trust/NRVProcessSigningInfo.h"
#include "net/records/DomainInfo.h"
#include "net/records/NRVNetworkExtensionEvent.h"
#include "net/broker/NRVURLBrokerConfiguration.h"
#include "net/records/ThreatInfoForURL.h"
#include "platform/xpc/XPCFrame.h"

namespace xpc = platform::xpc;

namespace {

void requireSame(const NRVDictionary& a, const NRVDictionary& b) {
    if (!fuzz::sameValue(NRVValue(a), NRVValue(b))) __builtin_trap();
}

// Decodes, encodes, decodes the encoding and encodes again: the two
// encodings must agree.
template <class Decode, class Encode>
void roundTrip(const NRVDictionary& fields, Decode decode, Encode encode) {
    auto first = decode(fields);
    if (!first) return;
    NRVDictionary once = encode(*first);
    auto second = decode(once);
    if (!second) __builtin_trap();
    requireSame(once, encode(*second));
}

template <class T>
NRVDictionary encoded(const T& record) {
    NRVDictionary coder;
    record.encodeWithCoder(coder);
    return coder;
}

template <class Record>
void auditRoundTrip(const NRVDictionary& fields) {
    roundTrip(fields, [](const NRVDictionary& d) { return Record::initWithCoder(d); },
              [](const auto& r) { return encoded(r); });
    if (auto r = Record::initWithCoder(fields)) (void)r->description();
}

void readRecord(const xpc::CodedRecord& record) {
    const NRVDictionary& f = record.fields;
    const std::string& name = record.className;
    if (name == NRVConfigData::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return NRVConfigData::initWithCoder(d); },
                  [](const NRVConfigData& c) { return c.encodeWithCoder(); });
        if (auto config = NRVConfigData::initWithCoder(f)) (void)config->payload();
    } else if (name == NRVAuditMacUser::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return NRVAuditMacUser::initWithCoder(d); },
                  [](const auto& r) { return encoded(r); });
    } else if (name == NRVAuditRecord::kClassName) {
        auditRoundTrip<NRVAuditRecord>(f);
    } else if (name == NRVAuditRecordFork::kClassName) {
        auditRoundTrip<NRVAuditRecordFork>(f);
    } else if (name == NRVAuditRecordRemoteLogin::kClassName) {
        auditRoundTrip<NRVAuditRecordRemoteLogin>(f);
    } else if (name == NRVAuditRecordLocalLogin::kClassName) {
        auditRoundTrip<NRVAuditRecordLocalLogin>(f);
    } else if (name == NRVAuditRecordUserAuthentication::kClassName) {
        auditRoundTrip<NRVAuditRecordUserAuthentication>(f);
    } else if (name == NRVAuditRecordAuthenticationError::kClassName) {
        auditRoundTrip<NRVAuditRecordAuthenticationError>(f);
    } else if (name == NRVProcessInfo::kClassName) {
        NRVProcessInfo info = NRVProcessInfo::initWithCoder(f);
        NRVDictionary once = encoded(info);
        requireSame(once, encoded(NRVProcessInfo::initWithCoder(once)));
    } else if (name == NRVProcessSigningInfo::kClassName) {
        NRVProcessSigningInfo info = NRVProcessSigningInfo::initWithCoder(f);
        NRVDictionary once = encoded(info);
        requireSame(once, encoded(NRVProcessSigningInfo::initWithCoder(once)));
    } else if (name == NRVFileSigningInfo::kClassName) {
        NRVFileSigningInfo info = NRVFileSigningInfo::initWithCoder(f);
        NRVDictionary once = encoded(info);
        requireSame(once, encoded(NRVFileSigningInfo::initWithCoder(once)));
    } else if (name == NRVNetworkExtensionEvent::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return NRVNetworkExtensionEvent::initWithCoder(d); },
                  [](const auto& r) { return encoded(r); });
    } else if (name == DomainInfo::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return DomainInfo::initWithCoder(d); },
                  [](const auto& r) { return encoded(r); });
    } else if (name == ThreatInfoForURL::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return ThreatInfoForURL::initWithCoder(d); },
                  [](const auto& r) { return encoded(r); });
    } else if (name == NRVURLBrokerConfiguration::kClassName) {
        roundTrip(f, [](const NRVDictionary& d) { return NRVURLBrokerConfiguration::initWithCoder(d); },
                  [](const auto& r) { return encoded(r); });
    }
}

void readData(const NRVData& data) {
    NRVError error;
    NRVValue object = NRVKeyedArchive::unarchivedRootObject(data, &error);
    if (!object.isNull()) {
        auto archived = NRVKeyedArchive::archivedDataWithRootObject(object);
        if (archived) {
            if (!fuzz::sameValue(fuzz::asWritten(object), NRVKeyedArchive::unarchivedRootObject(*archived)))
                __builtin_trap();
        } else if (!fuzz::containsNul(object)) {
            __builtin_trap();
        }
    }
    (void)NRVURLBrokerConfiguration::unarchivedFromData(data);
}

void readValues(const xpc::Values& values) {
    for (const xpc::Value& value : values) {
        if (const xpc::CodedRecord* record = value.record()) readRecord(*record);
        if (const NRVValue* plain = value.plain(); plain && plain->asData()) readData(*plain->asData());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    xpc::Frame frame;
    if (!xpc::decodeFrameBody(data, size, frame)) return 0;
    readValues(frame.arguments);
    readValues(frame.values);
    return 0;
}
