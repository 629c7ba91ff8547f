#include "foundation-module/LoggerExtensions.h"

#include <gtest/gtest.h>

#include <memory>

namespace plog = platform::log;

namespace {

TEST(LoggerExtensions, HandlesWriteUnderTheirCategories) {
    struct Case { const NRVLogHandle& (*handle)(); const char* category; };
    const Case cases[] = {
        {LoggerExtensions::alcAdapter, "alcadapter"}, {LoggerExtensions::config, "config"},
        {LoggerExtensions::install, "install"}, {LoggerExtensions::journal, "journal"},
        {LoggerExtensions::livequery, "livequery"}, {LoggerExtensions::mitre, "mitre"},
        {LoggerExtensions::eventprocessor, "eventprocessor"}, {LoggerExtensions::netext, "netext"},
        {LoggerExtensions::osquery, "osquery"}, {LoggerExtensions::wbj, "wbj"},
        {LoggerExtensions::update, "update"}, {LoggerExtensions::xpc, "xpc"},
        {LoggerExtensions::mcs, "mcs3"}, {LoggerExtensions::mcsAgent, "mcsAgent"},
        {LoggerExtensions::ztna, "ztna"},
    };
    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    for (const auto& c : cases) c.handle().info(c.category);
    plog::setSink(nullptr);
    const auto records = capture->records();
    ASSERT_EQ(records.size(), std::size(cases));
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].subsystem, "com.nerova.rivovovuvev");
        EXPECT_EQ(records[i].category, cases[i].category);
    }
    EXPECT_EQ(&LoggerExtensions::mcs(), &LoggerExtensions::mcs());
}

TEST(LoggerExtensions, ContextHelpersPrefixTypeAndFunction) {
    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    LoggerExtensions::logErrorWithContext(LoggerExtensions::config(), "timed out", "getString(_:)", "GlobalSettingsClient");
    LoggerExtensions::logDebugWithContext(LoggerExtensions::xpc(), "100% %@", "f", "T");
    LoggerExtensions::logWithContext(LoggerExtensions::ztna(), "m", "g", "U", plog::Level::Fault);
    plog::setSink(nullptr);
    const auto records = capture->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, "GlobalSettingsClient.getString(_:) timed out");
    EXPECT_EQ(records[0].level, plog::Level::Error);
    EXPECT_EQ(records[0].category, "config");
    EXPECT_EQ(records[1].message, "T.f 100% %@");
    EXPECT_EQ(records[1].level, plog::Level::Debug);
    EXPECT_EQ(records[2].message, "U.g m");
    EXPECT_EQ(records[2].level, plog::Level::Fault);
}

}  // namespace
