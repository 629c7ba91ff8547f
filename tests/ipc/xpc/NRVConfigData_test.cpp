#include "ipc/xpc/NRVConfigData.h"

#include <gtest/gtest.h>

#include "ipc/xpc/NRVKeyedArchive.h"
#include "platform/plist/PropertyList.h"
#include "support/BinaryPropertyList.h"

namespace {

// The record as the other side of the transport sees it: its fields written
// out and read back.
std::optional<NRVConfigData> acrossTheWire(const NRVConfigData& record) {
    auto bytes = platform::plist::serialize(NRVValue(record.encodeWithCoder()), platform::plist::Format::Binary);
    if (!bytes) return std::nullopt;
    auto fields = platform::plist::readData(*bytes);
    if (!fields || !fields->isDictionary()) return std::nullopt;
    return NRVConfigData::initWithCoder(*fields->asDictionary());
}

NRVData bytes(const std::string& s) { return NRVData(s.begin(), s.end()); }

}  // namespace

TEST(NRVConfigDataTest, EveryPropertyListValueRoundTrips) {
    NRVDictionary settings;
    settings.set("AccountName", "user");
    settings.set("Port", 8080);
    settings.set("Enabled", true);
    const NRVValue cases[] = {
        NRVValue(),  // nil
        NRVValue("text"),
        NRVValue(42),
        NRVValue(1.5),
        NRVValue(NRVDate{1000.0}),
        NRVValue(NRVData{1, 2, 3}),
        NRVValue(NRVArray{NRVValue("a"), NRVValue(2)}),
        NRVValue(settings),
    };
    for (const auto& value : cases) {
        NRVError error;
        auto record = NRVConfigData::initWithPayload(value, &error);
        ASSERT_TRUE(record) << error.localizedDescription;
        EXPECT_FALSE(record->rawPayload().empty());
        auto received = acrossTheWire(*record);
        ASSERT_TRUE(received);
        EXPECT_EQ(received->payload(), value);
    }
}

TEST(NRVConfigDataTest, PayloadsThatAreNoArchiveGiveNil) {
    const struct {
        const char* label;
        NRVData raw;
    } cases[] = {
        {"empty", {}},
        {"garbage", bytes("not an archive at all")},
        {"truncated archive", [] {
             auto d = *NRVKeyedArchive::archivedDataWithRootObject(NRVValue("x"));
             d.resize(d.size() - 1);
             return d;
         }()},
        {"XML property list", bytes(*platform::plist::serialize(NRVValue(NRVDictionary{}), platform::plist::Format::XML))},
        {"array at the top", bytes(*platform::plist::serialize(NRVValue(NRVArray{NRVValue(1)}), platform::plist::Format::Binary))},
        // Made by hand: no writer nests this deep.
        {"nested too deeply", bytes(testsupport::nestedArraysUnder("root", NRVKeyedArchive::kMaxDepth + 1))},
    };
    for (const auto& c : cases) {
        NRVConfigData record;
        record.setRawPayload(c.raw);
        NRVError error;
        EXPECT_TRUE(record.payload(&error).isNull()) << c.label;
        EXPECT_EQ(error.domain, NRVKeyedArchive::kErrorDomain) << c.label;
    }
}

TEST(NRVConfigDataTest, RecordFieldsAreCheckedOnDecoding) {
    NRVDictionary wrongKind;
    wrongKind.set(NRVConfigData::kRawPayloadKey, "a string, not data");
    EXPECT_FALSE(NRVConfigData::initWithCoder(wrongKind));

    auto missing = NRVConfigData::initWithCoder(NRVDictionary{});
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->payload().isNull());

    EXPECT_EQ(NRVConfigData().encodeWithCoder().keys(), std::vector<std::string>{"Raw Payload"});
    NRVError error;
    EXPECT_FALSE(NRVConfigData::initWithPayload(NRVValue(NRVArray{NRVValue()}), &error));
    EXPECT_FALSE(error.localizedDescription.empty());
}
