#include "net/NRVNetworkExtensionEvent.h"

#include "net/NRVSecureDecoding.h"

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

NRVNetworkExtensionEvent NRVNetworkExtensionEvent::initWithCoder(const NRVDictionary& coder, NRVError* error) {
    using namespace NRVSecureDecoding;
    NRVNetworkExtensionEvent e;
    decodeString(coder, "destIP", e.destIP, error);
    decodeInt64(coder, "destPort", e.destPort, error);
    decodeString(coder, "sourceIP", e.sourceIP, error);
    decodeInt64(coder, "sourcePort", e.sourcePort, error);
    decodeInt64(coder, "ipVersion", e.ipVersion, error);
    decodeString(coder, "protocol", e.protocol, error);
    decodeString(coder, "URL", e.URL, error);
    decodeUInt64(coder, "pid", e.pid, error);
    decodeBool(coder, "isProxyConnection", e.isProxyConnection, error);
    decodeBool(coder, "isBrowser", e.isBrowser, error);
    decodeBool(coder, "isDelayed", e.isDelayed, error);
    decodeBool(coder, "isURLValid", e.isURLValid, error);
    return e;
}
