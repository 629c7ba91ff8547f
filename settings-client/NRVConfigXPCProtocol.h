// The settings service's protocol as an interface table. Every call but the
// two status calls takes the service type (an integer) first; values travel
// as NRVConfigData records, replies come back through the reply block.
// The two status calls are optional: a service may leave them out, and a
// call to a selector it does not export gets an error reply.
#pragma once

#include "ipc/xpc/NRVXPCTypes.h"

namespace NRVConfigXPCProtocol {

constexpr const char* kProtocolName = "NRVConfigXPCProtocol";

constexpr const char* kValueForServiceType = "valueForServiceType:key:ofType:withReply:";
constexpr const char* kObjectForServiceType = "objectForServiceType:key:withReply:";
constexpr const char* kSetValueForServiceType = "setValueForServiceType:key:value:ofType:sender:withReply:";
constexpr const char* kSetObjectNotify = "setObjectForServiceType:key:object:notify:withReply:";
constexpr const char* kSetObjectSender = "setObjectForServiceType:key:object:sender:withReply:";
constexpr const char* kRemoveObject = "removeObjectForServiceType:key:withReply:";
constexpr const char* kPersistBlob = "persistBlobForServiceType:blob:forKey:sender:withReply:";
constexpr const char* kDeletePersistedBlob = "deletePersistedBlobForServiceType:key:withReply:";
constexpr const char* kPersistedBlobKeys = "persistedBlobKeysForServiceType:withReply:";
constexpr const char* kPersistedBlob = "persistedBlobForServiceType:key:withReply:";
constexpr const char* kDictionaryRepresentation = "dictionaryRepresentationForServiceType:withReply:";
constexpr const char* kRestoreDefaults = "restoreDefaultsForServiceType:forKeys:sender:withReply:";
constexpr const char* kVersionDictionary = "versionDictionaryForServiceType:withReply:";
constexpr const char* kDefaultSubscription = "defaultSubscriptionForServiceType:withReply:";
constexpr const char* kValidateSettings = "validateSettingsForServiceType:withReply:";
constexpr const char* kExecuteCommand = "executeCommandForServiceType:command:withReply:";
constexpr const char* kGetStatusJSON = "getStatusJSONForComponent:withReply:";
constexpr const char* kGetAggregatedStatusJSON = "getAggregatedStatusJSONWithReply:";

// The table, made once.
NRVXPCProtocol protocol();

}  // namespace NRVConfigXPCProtocol
