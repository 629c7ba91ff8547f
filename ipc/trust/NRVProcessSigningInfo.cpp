#include "ipc/trust/NRVProcessSigningInfo.h"

#include "foundation/NSDictionaryExtensions.h"
#include "platform/plist/PropertyList.h"

namespace {

void readPid(const NRVDictionary& source, std::uint64_t* pid) {
    const NRVValue* v = source.find("pid");
    if (v && v->asInteger()) *pid = static_cast<std::uint64_t>(*v->asInteger());
}

}  // namespace

NRVProcessSigningInfo NRVProcessSigningInfo::initWithCoder(const NRVDictionary& coder) {
    NRVProcessSigningInfo info;
    info.readBase(coder);
    readPid(coder, &info.pid);
    return info;
}

void NRVProcessSigningInfo::encodeWithCoder(NRVDictionary& coder) const {
    NRVSigningInfo::encodeWithCoder(coder);
    coder.set("pid", static_cast<long long>(pid));
}

NRVDictionary NRVProcessSigningInfo::dictionaryForReport() const {
    NRVDictionary report = NRVSigningInfo::dictionaryForReport();
    report.set("pid", static_cast<long long>(pid));
    return report;
}

std::optional<std::string> NRVProcessSigningInfo::serialize() const {
    return platform::plist::serialize(NRVValue(dictionaryForReport()), platform::plist::Format::Binary);
}

NRVProcessSigningInfo NRVProcessSigningInfo::initWithSerializedData(const std::string& data) {
    NRVProcessSigningInfo info;
    std::optional<NRVValue> value = platform::plist::readData(data);
    if (value && value->asDictionary()) {
        info.readBase(*value->asDictionary());
        readPid(*value->asDictionary(), &info.pid);
    }
    return info;
}

std::string NRVProcessSigningInfo::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}
