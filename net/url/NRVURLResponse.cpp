#include "net/url/NRVURLResponse.h"

#include "foundation/NRVProductInfo.h"
#include "foundation/NSArrayExtensions.h"

namespace {

NRVValue orNull(const std::optional<std::string>& s) { return s ? NRVValue(*s) : NRVValue(); }

// Made from the response when asked for: most clients never read them.
NRVValue headersOf(const NRVHTTPURLResponseRef& response) {
    return response ? NRVValue(response->allHeaderFields()) : NRVValue();
}

}  // namespace

void NRVURLResponse::addResultWithProxy(const NRVDictionary& proxyDetails, NRVHTTPURLResponseRef response,
                                        const NRVData*, std::optional<std::string> downloadedFileLocation,
                                        NRVErrorRef error) {
    const NRVValue* usage = proxyDetails.find("proxyUsageDescription");
    proxyUsageDescription_.push_back(usage && usage->asString() ? *usage->asString() : std::string());
    const NRVValue* type = proxyDetails.find("brokerConfigType");
    proxyConfigType_.push_back(type ? *type : NRVValue());
    const NRVValue* custom = proxyDetails.find("customProxyDetails");
    bool hasCustom = custom && custom->asDictionary() && !custom->asDictionary()->empty();
    customProxyDetails_.push_back(hasCustom ? *custom : NRVValue());

    std::int64_t status = response ? response->statusCode() : 0;
    statusDescription_.push_back(NRVHTTPURLResponse::localizedStringForStatusCode(status));
    statusCode_.push_back(status);
    // An error fails the attempt whatever the status said.
    httpStatusSuccess_.push_back(!error && status >= 200 && status <= 299 ? 1 : 0);
    error_.push_back(std::move(error));
    responses_.push_back(std::move(response));
    downloadedFileLocation_.push_back(std::move(downloadedFileLocation));
}

void NRVURLResponse::addResultWithProxy(const NRVDictionary& proxyDetails, NRVHTTPURLResponseRef response,
                                        const NRVData* data, NRVErrorRef error) {
    addResultWithProxy(proxyDetails, std::move(response), data, std::nullopt, std::move(error));
}

std::vector<NRVValue> NRVURLResponse::headers() const {
    std::vector<NRVValue> all;
    all.reserve(responses_.size());
    for (const auto& response : responses_) all.push_back(headersOf(response));
    return all;
}

NRVURLSessionResult NRVURLResponse::resultAt(std::size_t i, bool withHeaders) const {
    NRVURLSessionResult r;
    r.proxyUsageDescription = proxyUsageDescription_[i];
    r.brokerConfigType = proxyConfigType_[i];
    r.customProxyDetails = customProxyDetails_[i];
    r.statusDescription = statusDescription_[i];
    r.statusCode = statusCode_[i];
    r.error = error_[i];
    r.httpStatusSuccess = httpStatusSuccess_[i];
    r.responses = responses_[i];
    r.downloadedFileLocation = downloadedFileLocation_[i];
    if (withHeaders) r.httpHeaders = headersOf(responses_[i]);
    return r;
}

std::vector<NRVURLSessionResult> NRVURLResponse::resultOfSessions() const {
    bool home = NRVProductInfo::isNerovaHome();
    std::vector<NRVURLSessionResult> out;
    out.reserve(count());
    for (std::size_t i = 0; i < count(); ++i) out.push_back(resultAt(i, home));
    return out;
}

std::optional<NRVURLSessionResult> NRVURLResponse::finalResponse() const {
    if (count() == 0) return std::nullopt;
    return resultAt(count() - 1, NRVProductInfo::isNerovaHome());
}

NRVDictionary NRVURLSessionResult::dictionary() const {
    NRVDictionary d;
    d.set("proxyUsageDescription", proxyUsageDescription);
    d.set("brokerConfigType", brokerConfigType);
    d.set("customProxyDetails", customProxyDetails);
    d.set("statusDescription", statusDescription);
    d.set("statusCode", NRVValue(static_cast<long long>(statusCode)));
    d.set("error", error ? NRVValue(NRVURLResponse::errorDescription(*error)) : NRVValue());
    d.set("httpStatusSuccess", NRVValue(static_cast<long long>(httpStatusSuccess)));
    d.set("responses", responses ? NRVValue(responses->description()) : NRVValue());
    d.set("downloadedFileLocation", orNull(downloadedFileLocation));
    if (httpHeaders) d.set("httpHeaders", *httpHeaders);
    return d;
}

std::string NRVURLResponse::description() const {
    NRVArray all;
    for (const auto& r : resultOfSessions()) all.emplace_back(r.dictionary());
    return NSArrayExtensions::singleLineDescription(all);
}

std::string NRVURLResponse::compactDescription() const {
    NRVArray all;
    for (std::size_t i = 0; i < count(); ++i) {
        NRVDictionary full = resultAt(i, false).dictionary();
        NRVDictionary d;
        for (const char* key : {"brokerConfigType", "proxyUsageDescription", "statusDescription", "statusCode", "error"})
            d.set(key, *full.find(key));
        all.emplace_back(std::move(d));
    }
    return NSArrayExtensions::singleLineDescription(all);
}

std::string NRVURLResponse::errorDescription(const NRVError& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
           error.localizedDescription + "\"";
}
