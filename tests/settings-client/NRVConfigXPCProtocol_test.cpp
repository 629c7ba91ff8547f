// The settings service's protocol, row by row, against the service's own
// list of operations written with the types the service declares. Client and
// fake service share the table, so a changed kind would pass every call
// between them and only fail against the real service: this comparison is
// what catches it.
#include "settings-client/NRVConfigXPCProtocol.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using platform::xpc::Kind;

// How each declared type travels.
Kind kindOf(const std::string& type) {
    static const std::map<std::string, Kind> kinds = {
        {"NRVConfigServiceType", Kind::Integer}, {"unsigned long long", Kind::Integer},
        {"NSString", Kind::String},              {"NRVConfigData", Kind::Record},
        {"BOOL", Kind::Bool},                    {"NSData", Kind::Data},
        {"NSArray", Kind::Array},                {"NSDictionary", Kind::Dictionary},
        {"NSNumber", Kind::Number},
        // An error object travels as its fields (domain, code, description).
        {"NSError", Kind::Dictionary},
    };
    auto it = kinds.find(type);
    if (it == kinds.end()) ADD_FAILURE() << "no kind for " << type;
    return it == kinds.end() ? Kind::Any : it->second;
}

std::vector<Kind> kindsOf(const std::vector<std::string>& types) {
    std::vector<Kind> kinds;
    for (const auto& type : types) kinds.push_back(kindOf(type));
    return kinds;
}

struct Row {
    const char* selector;
    std::vector<std::string> arguments;
    std::vector<std::string> reply;
};

const Row kServiceOperations[] = {
    {"valueForServiceType:key:ofType:withReply:", {"NRVConfigServiceType", "NSString", "unsigned long long"},
     {"NRVConfigData"}},
    {"objectForServiceType:key:withReply:", {"NRVConfigServiceType", "NSString"}, {"NRVConfigData"}},
    {"setValueForServiceType:key:value:ofType:sender:withReply:",
     {"NRVConfigServiceType", "NSString", "NRVConfigData", "unsigned long long", "NSString"},
     {"NSString"}},
    {"setObjectForServiceType:key:object:notify:withReply:", {"NRVConfigServiceType", "NSString", "NRVConfigData", "BOOL"},
     {"NSString"}},
    {"setObjectForServiceType:key:object:sender:withReply:",
     {"NRVConfigServiceType", "NSString", "NRVConfigData", "NSString"},
     {"NSString"}},
    {"removeObjectForServiceType:key:withReply:", {"NRVConfigServiceType", "NSString"}, {}},
    {"persistBlobForServiceType:blob:forKey:sender:withReply:", {"NRVConfigServiceType", "NSData", "NSString", "NSString"},
     {"BOOL"}},
    {"deletePersistedBlobForServiceType:key:withReply:", {"NRVConfigServiceType", "NSString"}, {"NSString"}},
    {"persistedBlobKeysForServiceType:withReply:", {"NRVConfigServiceType"}, {"NSArray"}},
    {"persistedBlobForServiceType:key:withReply:", {"NRVConfigServiceType", "NSString"}, {"NSData"}},
    {"dictionaryRepresentationForServiceType:withReply:", {"NRVConfigServiceType"}, {"NSDictionary"}},
    {"restoreDefaultsForServiceType:forKeys:sender:withReply:", {"NRVConfigServiceType", "NSArray", "NSString"},
     {"NSString"}},
    {"versionDictionaryForServiceType:withReply:", {"NRVConfigServiceType"}, {"NSDictionary"}},
    {"defaultSubscriptionForServiceType:withReply:", {"NRVConfigServiceType"}, {"NSString"}},
    {"validateSettingsForServiceType:withReply:", {"NRVConfigServiceType"}, {"NSNumber"}},
    {"executeCommandForServiceType:command:withReply:", {"NRVConfigServiceType", "NSString"}, {"NSNumber"}},
    {"getStatusJSONForComponent:withReply:", {"NSString"}, {"NSDictionary", "NSError"}},
    {"getAggregatedStatusJSONWithReply:", {}, {"NSDictionary", "NSError"}},
};

}  // namespace

TEST(NRVConfigXPCProtocol, EveryRowHasTheServicesSelectorAndKinds) {
    const auto& methods = NRVConfigXPCProtocol::protocol()->methods();
    EXPECT_EQ(NRVConfigXPCProtocol::protocol()->name(), "NRVConfigXPCProtocol");
    EXPECT_EQ(methods.size(), std::size(kServiceOperations)) << "no operation more or less than the service's";
    for (const Row& row : kServiceOperations) {
        SCOPED_TRACE(row.selector);
        auto it = methods.find(row.selector);
        ASSERT_NE(it, methods.end());
        EXPECT_EQ(it->second.arguments, kindsOf(row.arguments));
        // Every operation answers through its reply block.
        ASSERT_TRUE(it->second.reply.has_value());
        EXPECT_EQ(*it->second.reply, kindsOf(row.reply));
    }
}
