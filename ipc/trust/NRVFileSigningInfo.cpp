#include "ipc/trust/NRVFileSigningInfo.h"

#include <array>
#include <string_view>

#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NSStringExtensions.h"
#include "platform/plist/PropertyList.h"

namespace {

// The system path lists, as the configuration gives them.
constexpr std::string_view kSystemExactPaths = "/usr/sbin/mDNSResponder";
constexpr std::string_view kSystemPathPrefixes = "/System/Library/";

bool anyOf(std::string_view list, const auto& matches) {
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        if (!item.empty() && matches(item)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

void readInteger(const NRVDictionary& source, const char* key, std::int64_t* out) {
    const NRVValue* v = source.find(key);
    if (v && v->asInteger()) *out = *v->asInteger();
}

void readUnsigned(const NRVDictionary& source, const char* key, std::uint64_t* out) {
    const NRVValue* v = source.find(key);
    if (v && v->asInteger()) *out = static_cast<std::uint64_t>(*v->asInteger());
}

void readString(const NRVDictionary& source, const char* key, std::string* out) {
    const NRVValue* v = source.find(key);
    if (v && v->asString()) *out = *v->asString();
}

// All or nothing: a list with one element that is no string is not taken.
void readStrings(const NRVDictionary& source, const char* key, std::vector<std::string>* out) {
    const NRVValue* v = source.find(key);
    if (!v || !v->asArray()) return;
    std::vector<std::string> strings;
    for (const NRVValue& item : *v->asArray()) {
        if (!item.asString()) return;
        strings.push_back(*item.asString());
    }
    *out = std::move(strings);
}

void setString(NRVDictionary& d, const char* key, const std::string& value) {
    if (!value.empty()) d.set(key, value);
}

NRVValue unsignedValue(std::uint64_t value) { return NRVValue(static_cast<long long>(value)); }

std::optional<NRVDictionary> propertyListDictionary(const std::string& data) {
    std::optional<NRVValue> value = platform::plist::readData(data);
    if (!value || !value->asDictionary()) return std::nullopt;
    return std::move(*value->asDictionary());
}

std::optional<std::string> binaryPropertyList(NRVDictionary report) {
    return platform::plist::serialize(NRVValue(std::move(report)), platform::plist::Format::Binary);
}

}  // namespace

// Base record

std::string NRVSigningInfo::signTypeName() const {
    static constexpr std::array<const char*, 8> kNames = {
        "Not Signed", "Not Available", "Nerova", "Nerova", "Apple", "Apple Developer", "Adhoc", "Other",
    };
    if (signType < 0 || signType >= static_cast<std::int64_t>(kNames.size())) return "Unknown";
    return kNames[static_cast<std::size_t>(signType)];
}

bool NRVSigningInfo::signedByNerova() const {
    return isValid && (signType == NRVSignTypeNerova || signType == NRVSignTypeNerovaAlternate);
}
bool NRVSigningInfo::signedByApple() const { return isValid && signType == NRVSignTypeApple; }
bool NRVSigningInfo::signedByAppleDeveloper() const { return isValid && signType == NRVSignTypeAppleDeveloper; }

void NRVSigningInfo::readBase(const NRVDictionary& source) {
    readInteger(source, "lastStatusCode", &lastStatusCode);
    if (const NRVValue* v = source.find("lastError"); v && v->asString()) lastError = *v->asString();
    readInteger(source, "signType", &signType);
    if (const NRVValue* v = source.find("valid"); v && v->asBool()) isValid = *v->asBool();
    if (const NRVValue* v = source.find("calculationTime")) {
        if (v->asReal()) calculationTime = *v->asReal();
        else if (v->asInteger()) calculationTime = static_cast<double>(*v->asInteger());
    }
}

NRVSigningInfo NRVSigningInfo::initWithCoder(const NRVDictionary& coder) {
    NRVSigningInfo info;
    info.readBase(coder);
    return info;
}

void NRVSigningInfo::encodeWithCoder(NRVDictionary& coder) const {
    coder.set("lastStatusCode", static_cast<long long>(lastStatusCode));
    if (lastError) coder.set("lastError", *lastError);
    coder.set("signType", static_cast<long long>(signType));
    coder.set("valid", isValid);
    coder.set("calculationTime", calculationTime);
}

NRVDictionary NRVSigningInfo::dictionaryForReport() const {
    NRVDictionary report;
    report.set("lastStatusCode", static_cast<long long>(lastStatusCode));
    if (lastError) report.set("lastError", *lastError);
    report.set("signType", static_cast<long long>(signType));
    report.set("valid", isValid);
    report.set("signedByNerova", signedByNerova());
    report.set("signedByApple", signedByApple());
    report.set("calculationTime", calculationTime);
    return report;
}

std::optional<std::string> NRVSigningInfo::serialize() const { return binaryPropertyList(dictionaryForReport()); }

NRVSigningInfo NRVSigningInfo::initWithSerializedData(const std::string& data) {
    NRVSigningInfo info;
    if (std::optional<NRVDictionary> d = propertyListDictionary(data)) info.readBase(*d);
    return info;
}

std::string NRVSigningInfo::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}

// File record

void NRVFileSigningInfo::readFile(const NRVDictionary& source) {
    readString(source, "teamIdentifier", &teamIdentifier);
    readString(source, "identifier", &identifier);
    readStrings(source, "authorities", &authorities);
    readString(source, "path", &path);
    readString(source, "designatedRequirement", &designatedRequirement);
    readUnsigned(source, "fsid", &fsid);
    readUnsigned(source, "inode", &inode);
    readUnsigned(source, "codeSignOptions", &codeSignOptions);
    readString(source, "sha1", &sha1);
    readUnsigned(source, "fileSize", &fileSize);
    // The two halves of the time are one value: take both or neither.
    const NRVValue* sec = source.find("fileModTimeSec");
    const NRVValue* nsec = source.find("fileModTimeNsec");
    if (sec && nsec && sec->asInteger() && nsec->asInteger()) {
        fileModTimeSec = *sec->asInteger();
        fileModTimeNsec = *nsec->asInteger();
    }
}

NRVFileSigningInfo NRVFileSigningInfo::initWithCoder(const NRVDictionary& coder) {
    NRVFileSigningInfo info;
    info.readBase(coder);
    info.readFile(coder);
    return info;
}

void NRVFileSigningInfo::encodeWithCoder(NRVDictionary& coder) const {
    NRVSigningInfo::encodeWithCoder(coder);
    setString(coder, "teamIdentifier", teamIdentifier);
    setString(coder, "identifier", identifier);
    NRVArray names(authorities.begin(), authorities.end());
    coder.set("authorities", std::move(names));
    setString(coder, "path", path);
    setString(coder, "designatedRequirement", designatedRequirement);
    coder.set("fsid", unsignedValue(fsid));
    coder.set("inode", unsignedValue(inode));
    coder.set("codeSignOptions", unsignedValue(codeSignOptions));
    setString(coder, "sha1", sha1);
    coder.set("fileSize", unsignedValue(fileSize));
    coder.set("fileModTimeSec", static_cast<long long>(fileModTimeSec));
    coder.set("fileModTimeNsec", static_cast<long long>(fileModTimeNsec));
}

NRVDictionary NRVFileSigningInfo::dictionaryForReport() const {
    NRVDictionary report = NRVSigningInfo::dictionaryForReport();
    setString(report, "path", path);
    setString(report, "teamIdentifier", teamIdentifier);
    setString(report, "identifier", identifier);
    NRVArray names(authorities.begin(), authorities.end());
    report.set("authorities", std::move(names));
    setString(report, "designatedRequirement", designatedRequirement);
    report.set("fileSize", unsignedValue(fileSize));
    report.set("fsid", unsignedValue(fsid));
    report.set("inode", unsignedValue(inode));
    report.set("codeSignOptions", unsignedValue(codeSignOptions));
    setString(report, "sha1", sha1);
    report.set("fileModTimeSec", static_cast<long long>(fileModTimeSec));
    report.set("fileModTimeNsec", static_cast<long long>(fileModTimeNsec));
    return report;
}

std::optional<std::string> NRVFileSigningInfo::serialize() const { return binaryPropertyList(dictionaryForReport()); }

NRVFileSigningInfo NRVFileSigningInfo::initWithSerializedData(const std::string& data) {
    NRVFileSigningInfo info;
    if (std::optional<NRVDictionary> d = propertyListDictionary(data)) {
        info.readBase(*d);
        info.readFile(*d);
    }
    return info;
}

std::string NRVFileSigningInfo::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}

bool NRVFileSigningInfo::isSystemPath() const {
    if (anyOf(kSystemExactPaths, [&](std::string_view exact) { return path == exact; })) return true;
    return anyOf(kSystemPathPrefixes,
                 [&](std::string_view prefix) { return NSStringExtensions::hasPrefixCaseInsensitiveSearch(path, prefix); });
}

bool NRVFileSigningInfo::isSystemProcess() const { return signedByApple() && isSystemPath(); }
