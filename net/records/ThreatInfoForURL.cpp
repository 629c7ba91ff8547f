#include "net/records/ThreatInfoForURL.h"

#include "net/records/NRVSecureDecoding.h"

void ThreatInfoForURL::encodeWithCoder(NRVDictionary& coder) const {
    if (url) coder.set("url", *url);
    if (threatName) coder.set("threatName", *threatName);
    coder.set("kelpUriID", NRVSecureDecoding::encodeUInt64(kelpUriID));
    coder.set("ttl", NRVSecureDecoding::encodeUInt64(ttl));
    if (riskLevel) coder.set("riskLevel", *riskLevel);
    if (universalCategory) coder.set("universalCategory", *universalCategory);
}

std::optional<ThreatInfoForURL> ThreatInfoForURL::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    NRVError refused;
    ThreatInfoForURL t;
    decodeString(coder, "url", t.url, &refused);
    decodeString(coder, "threatName", t.threatName, &refused);
    decodeUInt64(coder, "kelpUriID", t.kelpUriID, &refused);
    decodeUInt64(coder, "ttl", t.ttl, &refused);
    decodeString(coder, "riskLevel", t.riskLevel, &refused);
    decodeString(coder, "universalCategory", t.universalCategory, &refused);
    if (refused.code != 0) {
        NRVSetError(error, std::move(refused));
        return std::nullopt;
    }
    return t;
}
