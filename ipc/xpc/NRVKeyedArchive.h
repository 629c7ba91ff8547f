// The archive convention shared by settings payloads and notification
// payloads: one object stored under the key "root" of a keyed archive (a
// binary property list here). What comes out of an archive from another
// process is property-list values only: there is no class to instantiate.
#pragma once

#include <optional>

#include "foundation/NRVError.h"
#include "platform/plist/PropertyList.h"
#include "platform/value/NRVValue.h"

namespace NRVKeyedArchive {

constexpr const char* kRootKey = "root";
constexpr const char* kErrorDomain = "NRVKeyedArchiveErrorDomain";
// Nesting an archive may have (the archive's own dictionary counts as one
// level), that of every property list; its expanded size is bounded by the
// property-list check as well.
constexpr int kMaxDepth = platform::plist::kMaxDepth;

// A null value archives nil. nullopt (and the error) when the object holds
// something a property list cannot carry (a null inside a container) or is
// nested beyond kMaxDepth.
std::optional<NRVData> archivedDataWithRootObject(const NRVValue& object, NRVError* error = nullptr);

// The object under "root"; a null value for nil. Data that is not such an
// archive also gives a null value, with the error set: a payload from
// another process is never trusted to decode.
NRVValue unarchivedRootObject(const NRVData& data, NRVError* error = nullptr);

}  // namespace NRVKeyedArchive
