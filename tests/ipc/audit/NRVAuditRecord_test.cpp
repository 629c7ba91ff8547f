#include "ipc/audit/NRVAuditRecord.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

NRVDictionary coded(const NRVAuditRecord& record) {
    NRVDictionary coder;
    record.encodeWithCoder(coder);
    return coder;
}

std::shared_ptr<NRVAuditMacUser> user(std::optional<std::string> name, std::optional<std::string> domain = {}) {
    auto u = std::make_shared<NRVAuditMacUser>(501, std::move(name));
    u->domain = std::move(domain);
    u->uuid = "0A1B2C3D-0000-4000-8000-00000000000F";
    return u;
}

TEST(NRVAuditRecordTest, RecordsSurviveCodingWithTheirFields) {
    NRVAuditRecordRemoteLogin login(NRVDate{1000});
    login.macUser = user("ann", "LOCAL");
    login.remoteAddress = "10.0.0.2";
    login.remotePort = 22;
    login.addressType = 4;
    login.loginType = 2;
    login.status = 200;
    auto back = NRVAuditRecordRemoteLogin::initWithCoder(coded(login));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->eventTimestamp, login.eventTimestamp);
    ASSERT_TRUE(back->macUser);
    EXPECT_TRUE(back->macUser->isEqual(*login.macUser));
    EXPECT_EQ(back->remoteAddress, "10.0.0.2");
    EXPECT_EQ(back->remotePort, 22);
    EXPECT_EQ(back->status, 200);
    EXPECT_EQ(back->loginType, 2);

    NRVAuditRecordUserAuthentication auth(NRVDate{5});
    auth.returnValue = UINT64_MAX;
    auth.signingID = "com.example";
    auth.macUser = user("ann");
    auto authBack = NRVAuditRecordUserAuthentication::initWithCoder(coded(auth));
    ASSERT_TRUE(authBack);
    EXPECT_EQ(authBack->returnValue, UINT64_MAX);
    EXPECT_TRUE(authBack->isEqual(auth));
    EXPECT_EQ(*auth.dictionaryForReport().find("ReturnValue"), NRVValue("18446744073709551615"));
}

TEST(NRVAuditRecordTest, DecodingIsStrict) {
    NRVAuditRecordFork fork(NRVDate{1});
    fork.parentPID = 1;
    fork.childPID = 2;
    NRVDictionary good = coded(fork);
    ASSERT_TRUE(NRVAuditRecordFork::initWithCoder(good));

    NRVDictionary noTimestamp = good;
    noTimestamp.erase("Timestamp");
    EXPECT_FALSE(NRVAuditRecordFork::initWithCoder(noTimestamp));
    EXPECT_FALSE(NRVAuditRecord::initWithCoder(noTimestamp));

    // Every field, one at a time, with a value of the wrong type.
    NRVAuditRecordUserAuthentication auth(NRVDate{1});
    auth.macUser = user("bob");
    auth.signingID = "s";
    auth.teamID = "t";
    NRVDictionary full = coded(auth);
    for (const auto& key : full.keys()) {
        NRVDictionary bad = full;
        const NRVValue* original = full.find(key);
        bad.set(key, original->isString() ? NRVValue(7) : NRVValue("wrong"));
        EXPECT_FALSE(NRVAuditRecordUserAuthentication::initWithCoder(bad)) << key;
    }
    NRVDictionary badUser = full;
    NRVDictionary nested = *full.find("MacUser")->asDictionary();
    nested.set("UUID", "not-a-uuid");
    badUser.set("MacUser", nested);
    EXPECT_FALSE(NRVAuditRecordUserAuthentication::initWithCoder(badUser));

    NRVDictionary wide = good;
    wide.set("ParentPid", 1LL << 40);
    EXPECT_FALSE(NRVAuditRecordFork::initWithCoder(wide)) << "a pid past 32 bits";

    NRVDictionary status = coded(NRVAuditRecordAuthenticationError(NRVDate{1}));
    status.set("Status", 300);
    auto error = NRVAuditRecordAuthenticationError::initWithCoder(status);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status, 44) << "the low 8 bits";
}

TEST(NRVAuditRecordTest, Equality) {
    EXPECT_TRUE(user("ann")->isEqual(*user("ann")));
    EXPECT_FALSE(user("ann", "LOCAL")->isEqual(*user("ann")));
    // Names compare as strings: a missing one equals nothing. Domain and uuid
    // are equal when missing on both sides.
    auto nameless = user(std::nullopt);
    EXPECT_FALSE(nameless->isEqual(*user(std::nullopt)));
    EXPECT_FALSE(nameless->isEqual(*user("ann")));
    EXPECT_TRUE(nameless->isEqual(*nameless)) << "the same object";
    auto copy = user("ann", "D")->copy();
    EXPECT_TRUE(copy->isEqual(*user("ann", "D")));

    NRVAuditRecordAuthenticationError a(NRVDate{3}), b(NRVDate{3});
    EXPECT_TRUE(a.isEqual(a)) << "the same record";
    EXPECT_FALSE(a.isEqual(b)) << "two records without a user name";
    a.username = "x";
    EXPECT_FALSE(a.isEqual(b));
    b.username = "x";
    EXPECT_TRUE(a.isEqual(b));

    NRVAuditRecordUserAuthentication c(NRVDate{3}), d(NRVDate{3});
    EXPECT_TRUE(c.isEqual(c));
    EXPECT_FALSE(c.isEqual(d)) << "neither has a user";
    c.macUser = user("ann");
    d.macUser = user("ann");
    EXPECT_TRUE(c.isEqual(d));
    d.signerType = 5;
    d.teamID = "T";
    EXPECT_TRUE(c.isEqual(d)) << "signer fields are not compared";
    d.macUser = user("bob");
    EXPECT_FALSE(c.isEqual(d));
    d.macUser = nullptr;
    EXPECT_FALSE(c.isEqual(d));
    EXPECT_FALSE(c.isEqual(a));

    NRVAuditRecordFork e(NRVDate{3}), f(NRVDate{3});
    EXPECT_TRUE(e.isEqual(e));
    EXPECT_FALSE(e.isEqual(f)) << "identity";
}

TEST(NRVAuditRecordTest, ReportsAndDescriptions) {
    NRVAuditRecordLocalLogin local(NRVDate{0});
    local.returnValue = 9;
    local.status = 1;
    const NRVDictionary report = local.dictionaryForReport();
    EXPECT_FALSE(report.contains("ReturnValue"));
    EXPECT_FALSE(coded(local).contains("ReturnValue"));
    EXPECT_EQ(report.keys(), (std::vector<std::string>{"Timestamp", "LoginType", "Status"}));

    local.macUser = user("ann");
    EXPECT_EQ(*local.dictionaryForReport().find("MacUser"), NRVValue(local.macUser->description()));
    const std::string d = local.description();
    EXPECT_EQ(d.rfind("<NRVAuditRecordLocalLogin: 0x", 0), 0u) << d;
    EXPECT_EQ(user("ann")->debugDescription().rfind("<NRVAuditMacUser: 0x", 0), 0u);
}

TEST(NRVAuditRecordTest, UserLookup) {
    auto root = NRVAuditMacUser::initWithUserID(0);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->username, "root");
    EXPECT_FALSE(root->domain);
    EXPECT_EQ(NRVAuditMacUser::initWithUserID(3999999), nullptr);
    EXPECT_EQ(NRVAuditMacUser::initWithUserID(-1), nullptr);
}

}  // namespace
