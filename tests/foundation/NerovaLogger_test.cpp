#include "foundation/NerovaLogger.h"

#include <gtest/gtest.h>

namespace plog = platform::log;

TEST(NerovaLogger, EveryGetterHasItsCategoryUnderTheProductSubsystem) {
    using Getter = const NRVLogHandle& (*)();
    struct Case {
        Getter getter;
        const char* category;
    } cases[] = {
        {NerovaLogger::pointofinterest, "PointsOfInterest"}, {NerovaLogger::automation, "automation"},
        {NerovaLogger::action, "action"}, {NerovaLogger::appcontrol, "appcontrol"}, {NerovaLogger::auth, "auth"},
        {NerovaLogger::cache, "cache"}, {NerovaLogger::captive, "captive"}, {NerovaLogger::cbr, "cbr"},
        {NerovaLogger::cleancache, "cleancache"}, {NerovaLogger::config, "config"},
        {NerovaLogger::datacollection, "datacollection"}, {NerovaLogger::lockfern, "lockfern"},
        {NerovaLogger::engine, "engine"}, {NerovaLogger::esclient, "esclient"}, {NerovaLogger::wck, "wck"},
        {NerovaLogger::esserver, "esserver"}, {NerovaLogger::eventprocessor, "eventprocessor"},
        {NerovaLogger::eventwriter, "eventwriter"}, {NerovaLogger::extension, "extension"},
        {NerovaLogger::fda, "fda"}, {NerovaLogger::health, "health"}, {NerovaLogger::heartbeat, "heartbeat"},
        {NerovaLogger::helper, "helper"}, {NerovaLogger::install, "install"}, {NerovaLogger::journal, "journal"},
        {NerovaLogger::keychain, "keychain"}, {NerovaLogger::livequery, "livequery"},
        {NerovaLogger::liveresponse, "liveresponse"}, {NerovaLogger::logcollector, "logcollector"},
        {NerovaLogger::mcs, "mcs"}, {NerovaLogger::migration, "migration"}, {NerovaLogger::mitre, "mitre"},
        {NerovaLogger::modernweb, "modernweb"}, {NerovaLogger::notification, "notification"},
        {NerovaLogger::policy, "policy"}, {NerovaLogger::privilege, "privilege"}, {NerovaLogger::proxy, "proxy"},
        {NerovaLogger::push, "push"}, {NerovaLogger::queue, "queue"}, {NerovaLogger::scan, "scan"},
        {NerovaLogger::registration, "registration"}, {NerovaLogger::response, "response"},
        {NerovaLogger::nerovaupdater, "updater"}, {NerovaLogger::wqr, "wqr"}, {NerovaLogger::zep, "zep"},
        {NerovaLogger::sensor, "sensor"}, {NerovaLogger::session, "session"},
        {NerovaLogger::session_dup, "session_dup"}, {NerovaLogger::signing, "signing"},
        {NerovaLogger::kmtq, "kmtq"}, {NerovaLogger::status, "status"}, {NerovaLogger::wbj, "wbj"},
        {NerovaLogger::sysext, "sysext"}, {NerovaLogger::telemetry, "telemetry"},
        {NerovaLogger::useragent, "useragent"}, {NerovaLogger::websocket, "websocket"},
        {NerovaLogger::tovui, "tovui"}, {NerovaLogger::xpc, "xpc"}, {NerovaLogger::ztna, "ztna"},
        {NerovaLogger::confighome, "confighome"}, {NerovaLogger::homedlf, "homedlf"},
        {NerovaLogger::diagnostics, "diagnostics"}, {NerovaLogger::vyb, "vyb"},
    };
    ASSERT_EQ(std::size(cases), 63u);

    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    for (const auto& c : cases) {
        const NRVLogHandle& handle = c.getter();
        EXPECT_EQ(&handle, &c.getter()) << c.category;
        EXPECT_EQ(handle.subsystem(), "com.nerova.rivovovuvev") << c.category;
        EXPECT_EQ(handle.category(), c.category);
        handle.error(std::string("through ") + c.category);
    }
    EXPECT_EQ(&NRVDefaultLog(), &NRVDefaultLog());
    NRVDefaultLog().log("default handle");
    plog::setSink(nullptr);

    auto records = capture->records();
    ASSERT_EQ(records.size(), std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(records[i].subsystem, "com.nerova.rivovovuvev");
        EXPECT_EQ(records[i].category, cases[i].category);
        EXPECT_EQ(records[i].level, plog::Level::Error);
        EXPECT_EQ(records[i].message, std::string("through ") + cases[i].category);
    }
    EXPECT_EQ(records.back().subsystem, "");
    EXPECT_EQ(records.back().category, "default");
    EXPECT_EQ(records.back().level, plog::Level::Default);
}

TEST(NerovaLogger, MessagesAreNeverReadAsFormats) {
    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    NerovaLogger::zep().info("100% done %s %@ %n");
    plog::setSink(nullptr);
    auto records = capture->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "100% done %s %@ %n");
    EXPECT_EQ(records[0].level, plog::Level::Info);
}
