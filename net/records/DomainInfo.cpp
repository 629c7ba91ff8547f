#include "net/records/DomainInfo.h"

#include "net/records/NRVSecureDecoding.h"

void DomainInfo::encodeWithCoder(NRVDictionary& coder) const {
    if (domain) coder.set("domain", *domain);
    coder.set("kelpId", NRVSecureDecoding::encodeUInt64(kelpId));
    coder.set("reputation", NRVSecureDecoding::encodeUInt64(reputation));
    coder.set("ttl", NRVSecureDecoding::encodeUInt64(ttl));
    if (universalCategories) coder.set("universalCategories", *universalCategories);
}

std::optional<DomainInfo> DomainInfo::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    NRVError refused;
    DomainInfo d;
    decodeString(coder, "domain", d.domain, &refused);
    decodeUInt64(coder, "kelpId", d.kelpId, &refused);
    decodeUInt64(coder, "reputation", d.reputation, &refused);
    decodeUInt64(coder, "ttl", d.ttl, &refused);
    decodeNumberArray(coder, "universalCategories", d.universalCategories, &refused);
    if (refused.code != 0) {
        NRVSetError(error, std::move(refused));
        return std::nullopt;
    }
    return d;
}
