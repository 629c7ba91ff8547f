// One settings value on its way to or from the settings service, whatever
// its type: the value travels already archived (NRVKeyedArchive), so the
// transport moves one record with one data field and never looks inside.
//
// A value type: copies are independent; not shared across threads.
#pragma once

#include <optional>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

class NRVConfigData {
public:
    // The record's class name and its one field on the wire.
    static constexpr const char* kClassName = "NRVConfigData";
    static constexpr const char* kRawPayloadKey = "Raw Payload";
    static constexpr bool supportsSecureCoding() { return true; }

    NRVConfigData() = default;

    // Archives `payload` (a null value for nil). nullopt and the error when
    // it is not made of property-list values.
    static std::optional<NRVConfigData> initWithPayload(const NRVValue& payload, NRVError* error = nullptr);

    // The archived value; a null value for nil, and also (with the error
    // set) when the raw payload is not an archive.
    NRVValue payload(NRVError* error = nullptr) const;

    // The record's fields: the raw payload under "Raw Payload".
    NRVDictionary encodeWithCoder() const;
    // nullopt when "Raw Payload" holds anything but data; a record without
    // the field decodes with no raw payload (and a nil payload).
    static std::optional<NRVConfigData> initWithCoder(const NRVDictionary& fields);

    const NRVData& rawPayload() const { return rawPayload_; }
    void setRawPayload(NRVData rawPayload) { rawPayload_ = std::move(rawPayload); }

    bool operator==(const NRVConfigData&) const = default;

private:
    NRVData rawPayload_;
};
