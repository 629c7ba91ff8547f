// A product tree under a root of its own, a staging folder and a status
// logger whose lines the test reads back.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "collector/StatusLogger.h"
#include "platform/log/LogStore.h"
#include "support/TestSupport.h"

class ProductTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::log::setSink(std::make_shared<platform::log::CaptureSink>());
        std::filesystem::create_directories(root);
        std::filesystem::create_directories(staging);
    }
    void TearDown() override { platform::log::setSink(nullptr); }

    std::vector<std::string> lines() const { return testsupport::lines(logger->progressStatus()); }

    // An executable shell script at a product path; returns its real path.
    std::string script(const std::string& productPath, const std::string& body) {
        const std::string path = root + productPath;
        testsupport::writeText(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }

    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    std::string staging = tmp / "staging";
    testsupport::ScopedEnv rootEnv{"NRV_SYSTEM_ROOT", root};
    std::shared_ptr<StatusLogger> logger = std::make_shared<StatusLogger>(tmp / "run.log");
};
