#include "net/DomainInfo.h"

#include "net/NRVSecureDecoding.h"

void DomainInfo::encodeWithCoder(NRVDictionary& coder) const {
    if (domain) coder.set("domain", *domain);
    coder.set("kelpId", NRVSecureDecoding::encodeUInt64(kelpId));
    coder.set("reputation", NRVSecureDecoding::encodeUInt64(reputation));
    coder.set("ttl", NRVSecureDecoding::encodeUInt64(ttl));
    if (universalCategories) coder.set("universalCategories", *universalCategories);
}

DomainInfo DomainInfo::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    DomainInfo d;
    decodeString(coder, "domain", d.domain, error);
    decodeUInt64(coder, "kelpId", d.kelpId, error);
    decodeUInt64(coder, "reputation", d.reputation, error);
    decodeUInt64(coder, "ttl", d.ttl, error);
    decodeNumberArray(coder, "universalCategories", d.universalCategories, error);
    return d;
}
