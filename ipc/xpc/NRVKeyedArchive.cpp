#include "ipc/xpc/NRVKeyedArchive.h"

#include "platform/plist/PropertyListBounds.h"
#include "platform/plist/PropertyList.h"

namespace NRVKeyedArchive {

std::optional<NRVData> archivedDataWithRootObject(const NRVValue& object, NRVError* error) {
    NRVDictionary archive;
    if (!object.isNull()) archive.set(kRootKey, object);
    auto bytes = platform::plist::serialize(NRVValue(std::move(archive)), platform::plist::Format::Binary);
    if (!bytes || !platform::plist::isBoundedBinaryPropertyList(reinterpret_cast<const std::uint8_t*>(bytes->data()),
                                                                bytes->size())) {
        NRVSetError(error, NRVError(kErrorDomain, 1, "The object cannot be archived as property-list values."));
        return std::nullopt;
    }
    return NRVData(bytes->begin(), bytes->end());
}

NRVValue unarchivedRootObject(const NRVData& data, NRVError* error) {
    if (!platform::plist::isBoundedBinaryPropertyList(data.data(), data.size())) {
        NRVSetError(error, NRVError(kErrorDomain, 2, "The data is not a bounded keyed archive."));
        return NRVValue();
    }
    auto archive = platform::plist::readData(std::string(data.begin(), data.end()));
    if (!archive || !archive->isDictionary()) {
        NRVSetError(error, NRVError(kErrorDomain, 2, "The data is not a keyed archive."));
        return NRVValue();
    }
    const NRVValue* root = (*archive)[kRootKey];
    return root ? *root : NRVValue();
}

}  // namespace NRVKeyedArchive
