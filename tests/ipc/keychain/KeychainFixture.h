// A private system root and home for keychain tests: product keychains,
// the system keychain and the machine serial number all live under it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "ipc/keychain/MDWKeychain.h"
#include "ipc/keychain/QKWKeychain.h"
#include "platform/keychain/Keychain.h"
#include "support/TestSupport.h"

class KeychainFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Cheap key derivation keeps the tests fast; the format is the same.
        platform::keychain::Keychain::setIterationCountForNewKeychains(1000);
        testsupport::writeText(root / "sys/class/dmi/id/product_serial", "C02TEST123\n");
        testsupport::writeText(root / "Library/Nerova Anti-Virus/.keep", "");
        QKWKeychain::shared().closeKeychain();
        MDWKeychain::shared().closeKeychain();
    }
    void TearDown() override {
        QKWKeychain::shared().closeKeychain();
        MDWKeychain::shared().closeKeychain();
        platform::keychain::Keychain::setIterationCountForNewKeychains(
            platform::keychain::Keychain::kDefaultIterationCount);
    }

    std::string productKeychainPath() const { return root / "Library/Nerova Anti-Virus/NerovaSecure.keychain"; }
    std::string secondKeychainPath() const { return root / "Library/Nerova Anti-Virus/VevaroRavEzeriz.keychain"; }

    static std::string fileText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    testsupport::TempDir root;
    testsupport::TempDir home;
    testsupport::ScopedEnv systemRoot{"NRV_SYSTEM_ROOT", root.path()};
    testsupport::ScopedEnv homeEnv{"HOME", home.path()};
};
