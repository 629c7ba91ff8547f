#include "ipc/audit/NRVProcessInfo.h"

#include "foundation/NSDictionaryExtensions.h"

namespace {

void readString(const NRVDictionary& coder, const char* key, std::optional<std::string>* out) {
    const NRVValue* v = coder.find(key);
    if (v && v->asString()) *out = *v->asString();
}

void readUnsigned(const NRVDictionary& coder, const char* key, std::uint64_t* out) {
    const NRVValue* v = coder.find(key);
    if (v && v->asInteger()) *out = static_cast<std::uint64_t>(*v->asInteger());
}

void setString(NRVDictionary& d, const char* key, const std::optional<std::string>& value) {
    if (value) d.set(key, *value);
}

}  // namespace

NRVProcessInfo NRVProcessInfo::initWithCoder(const NRVDictionary& coder) {
    NRVProcessInfo info;
    readString(coder, "path", &info.path);
    readUnsigned(coder, "pid", &info.pid);
    readUnsigned(coder, "ppid", &info.ppid);
    readUnsigned(coder, "uid", &info.uid);
    readString(coder, "posixUserName", &info.posixUserName);
    if (const NRVValue* v = coder.find("fileSignInfo"); v && v->asDictionary())
        info.fileSignInfo = NRVFileSigningInfo::initWithCoder(*v->asDictionary());
    readString(coder, "appKey", &info.appKey);
    readString(coder, "catKey", &info.catKey);
    return info;
}

void NRVProcessInfo::encodeWithCoder(NRVDictionary& coder) const {
    setString(coder, "path", path);
    coder.set("pid", static_cast<long long>(pid));
    coder.set("ppid", static_cast<long long>(ppid));
    coder.set("uid", static_cast<long long>(uid));
    setString(coder, "posixUserName", posixUserName);
    if (fileSignInfo) {
        NRVDictionary nested;
        fileSignInfo->encodeWithCoder(nested);
        coder.set("fileSignInfo", std::move(nested));
    }
    setString(coder, "appKey", appKey);
    setString(coder, "catKey", catKey);
}

NRVDictionary NRVProcessInfo::dictionaryForReport() const {
    NRVDictionary report;
    setString(report, "path", path);
    report.set("pid", static_cast<long long>(pid));
    report.set("ppid", static_cast<long long>(ppid));
    report.set("uid", static_cast<long long>(uid));
    setString(report, "posixUserName", posixUserName);
    if (fileSignInfo) report.set("fileSignInfo", fileSignInfo->dictionaryForReport());
    setString(report, "appKey", appKey);
    setString(report, "catKey", catKey);
    return report;
}

std::string NRVProcessInfo::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}
