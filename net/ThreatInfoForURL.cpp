#include "net/ThreatInfoForURL.h"

#include "net/NRVSecureDecoding.h"

void ThreatInfoForURL::encodeWithCoder(NRVDictionary& coder) const {
    if (url) coder.set("url", *url);
    if (threatName) coder.set("threatName", *threatName);
    coder.set("kelpUriID", NRVSecureDecoding::encodeUInt64(kelpUriID));
    coder.set("ttl", NRVSecureDecoding::encodeUInt64(ttl));
    if (riskLevel) coder.set("riskLevel", *riskLevel);
    if (universalCategory) coder.set("universalCategory", *universalCategory);
}

ThreatInfoForURL ThreatInfoForURL::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    ThreatInfoForURL t;
    decodeString(coder, "url", t.url, error);
    decodeString(coder, "threatName", t.threatName, error);
    decodeUInt64(coder, "kelpUriID", t.kelpUriID, error);
    decodeUInt64(coder, "ttl", t.ttl, error);
    decodeString(coder, "riskLevel", t.riskLevel, error);
    decodeString(coder, "universalCategory", t.universalCategory, error);
    return t;
}
