#include "net/records/NRVNetworkExtensionEvent.h"

#include "net/records/NRVSecureDecoding.h"

void NRVNetworkExtensionEvent::encodeWithCoder(NRVDictionary& coder) const {
    if (destIP) coder.set("destIP", *destIP);
    coder.set("destPort", NRVValue(static_cast<long long>(destPort)));
    if (sourceIP) coder.set("sourceIP", *sourceIP);
    coder.set("sourcePort", NRVValue(static_cast<long long>(sourcePort)));
    coder.set("ipVersion", NRVValue(static_cast<long long>(ipVersion)));
    if (protocol) coder.set("protocol", *protocol);
    if (URL) coder.set("URL", *URL);
    coder.set("pid", NRVSecureDecoding::encodeUInt64(pid));
    coder.set("isProxyConnection", isProxyConnection);
    coder.set("isBrowser", isBrowser);
    coder.set("isDelayed", isDelayed);
    coder.set("isURLValid", isURLValid);
}

std::optional<NRVNetworkExtensionEvent> NRVNetworkExtensionEvent::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    NRVError refused;
    NRVNetworkExtensionEvent e;
    decodeString(coder, "destIP", e.destIP, &refused);
    decodeInt64(coder, "destPort", e.destPort, &refused);
    decodeString(coder, "sourceIP", e.sourceIP, &refused);
    decodeInt64(coder, "sourcePort", e.sourcePort, &refused);
    decodeInt64(coder, "ipVersion", e.ipVersion, &refused);
    decodeString(coder, "protocol", e.protocol, &refused);
    decodeString(coder, "URL", e.URL, &refused);
    decodeUInt64(coder, "pid", e.pid, &refused);
    decodeBool(coder, "isProxyConnection", e.isProxyConnection, &refused);
    decodeBool(coder, "isBrowser", e.isBrowser, &refused);
    decodeBool(coder, "isDelayed", e.isDelayed, &refused);
    decodeBool(coder, "isURLValid", e.isURLValid, &refused);
    if (refused.code != 0) {
        NRVSetError(error, std::move(refused));
        return std::nullopt;
    }
    return e;
}
