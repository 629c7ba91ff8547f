#include "settings-client/NRVConfigXPCProtocol.h"

#include <vector>

namespace NRVConfigXPCProtocol {

namespace {

using platform::xpc::Kind;

struct Row {
    const char* selector;
    std::vector<Kind> arguments;
    std::vector<Kind> reply;
};

// Error texts and every object argument may be nil; the service type,
// value-type codes and flags are scalars.
const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {kValueForServiceType, {Kind::Integer, Kind::String, Kind::Integer}, {Kind::Record}},
        {kObjectForServiceType, {Kind::Integer, Kind::String}, {Kind::Record}},
        {kSetValueForServiceType, {Kind::Integer, Kind::String, Kind::Record, Kind::Integer, Kind::String}, {Kind::String}},
        {kSetObjectNotify, {Kind::Integer, Kind::String, Kind::Record, Kind::Bool}, {Kind::String}},
        {kSetObjectSender, {Kind::Integer, Kind::String, Kind::Record, Kind::String}, {Kind::String}},
        {kRemoveObject, {Kind::Integer, Kind::String}, {}},
        {kPersistBlob, {Kind::Integer, Kind::Data, Kind::String, Kind::String}, {Kind::Bool}},
        {kDeletePersistedBlob, {Kind::Integer, Kind::String}, {Kind::String}},
        {kPersistedBlobKeys, {Kind::Integer}, {Kind::Array}},
        {kPersistedBlob, {Kind::Integer, Kind::String}, {Kind::Data}},
        {kDictionaryRepresentation, {Kind::Integer}, {Kind::Dictionary}},
        {kRestoreDefaults, {Kind::Integer, Kind::Array, Kind::String}, {Kind::String}},
        {kVersionDictionary, {Kind::Integer}, {Kind::Dictionary}},
        {kDefaultSubscription, {Kind::Integer}, {Kind::String}},
        {kValidateSettings, {Kind::Integer}, {Kind::Number}},
        {kExecuteCommand, {Kind::Integer, Kind::String}, {Kind::Number}},
        // The error travels as its fields (domain, code, description) or nil.
        {kGetStatusJSON, {Kind::String}, {Kind::Dictionary, Kind::Dictionary}},
        {kGetAggregatedStatusJSON, {}, {Kind::Dictionary, Kind::Dictionary}},
    };
    return table;
}

}  // namespace

NRVXPCProtocol protocol() {
    static const NRVXPCProtocol p = [] {
        auto i = std::make_shared<platform::xpc::Interface>(kProtocolName);
        for (const Row& row : rows()) i->method(row.selector, row.arguments, row.reply);
        return i;
    }();
    return p;
}

}  // namespace NRVConfigXPCProtocol
