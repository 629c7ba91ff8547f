#include "ipc/xpc/NRVConfigData.h"

#include "ipc/xpc/NRVKeyedArchive.h"

std::optional<NRVConfigData> NRVConfigData::initWithPayload(const NRVValue& payload, NRVError* error) {
    auto archive = NRVKeyedArchive::archivedDataWithRootObject(payload, error);
    if (!archive) return std::nullopt;
    NRVConfigData record;
    record.rawPayload_ = std::move(*archive);
    return record;
}

NRVValue NRVConfigData::payload(NRVError* error) const {
    return NRVKeyedArchive::unarchivedRootObject(rawPayload_, error);
}

NRVDictionary NRVConfigData::encodeWithCoder() const {
    NRVDictionary fields;
    fields.set(kRawPayloadKey, rawPayload_);
    return fields;
}

std::optional<NRVConfigData> NRVConfigData::initWithCoder(const NRVDictionary& fields) {
    NRVConfigData record;
    const NRVValue* raw = fields.find(kRawPayloadKey);
    if (!raw || raw->isNull()) return record;
    const NRVData* data = raw->asData();
    if (!data) return std::nullopt;
    record.rawPayload_ = *data;
    return record;
}
