#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "collector/CommandExecutor.h"
#include "collector/DirectoryCopier.h"
#include "collector/FileCopier.h"
#include "collector/Operations.h"
#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "foundation/NRVProductInfo.h"
#include "platform/log/LogStore.h"
#include "settings-client/GlobalSettingsClient.h"
#include "settings-client/SPACipher.h"
#include "support/TestSupport.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

const std::string kSampleRoot = std::string(NRV_FIXTURES_DIR) + "/sample-root";

struct Counts {
    int copyDirectory = 0, copyFile = 0, writeWCKSnapshot = 0, execCmd = 0, subsystem = 0, process = 0;
};

Counts count(const std::vector<Operations>& rows) {
    Counts c;
    for (const auto& op : rows) {
        switch (op.row.index()) {
            case 0: ++c.copyDirectory; break;
            case 1: ++c.copyFile; break;
            case 2: ++c.writeWCKSnapshot; break;
            case 3: ++c.execCmd; break;
            case 4: ++c.subsystem; break;
            case 5: ++c.process; break;
        }
    }
    return c;
}

// A settings service as the driver sees it: string values by service type
// and key, or no connection at all.
class FakeSettings final : public GlobalSettingsClientProtocol {
public:
    std::map<std::pair<NRVConfigServiceType, std::string>, std::string> values;
    bool connected = true;

    void connect(ConnectCallback) override {}
    std::future<void> connect() override {
        std::promise<void> ready;
        ready.set_value();
        return ready.get_future();
    }
    void setDelegate(std::shared_ptr<GlobalSettingsClientDelegate>) override {}
    void setSettingsChangedHandler(SettingsChangedHandler) override {}
    std::optional<NRVValue> retrieveValue(const std::string& key, NRVConfigServiceType serviceType,
                                          std::uint64_t) override {
        if (!connected) throw GlobalSettingsClientError::notConnected();
        auto it = values.find({serviceType, key});
        if (it == values.end()) return std::nullopt;
        return NRVValue(it->second);
    }
    void storeValue(const NRVValue&, std::uint64_t, const std::string&, NRVConfigServiceType, bool) override {
        throw GlobalSettingsClientError::keyNotSet();
    }
    void retrieveValueAsync(const std::string&, NRVConfigServiceType, std::uint64_t,
                            RetrieveCompletion completion) override {
        completion(std::nullopt, std::make_exception_ptr(GlobalSettingsClientError::notConnected()));
    }
    void storeValueAsync(const NRVValue&, std::uint64_t, const std::string&, NRVConfigServiceType, bool,
                         StoreCompletion completion) override {
        completion(std::make_exception_ptr(GlobalSettingsClientError::notConnected()));
    }
};

std::unique_ptr<ZEP> makeDriver(const TempDir& tmp) {
    auto logger = std::make_shared<StatusLogger>(tmp / "collection.log");
    return std::make_unique<ZEP>(logger, tmp / "staging", tmp.path(), "archive");
}

}  // namespace

TEST(Operations, CataloguesHaveTheirRowsByKind) {
    const auto& full = Operations::allOperations();
    const auto& home = Operations::allOperationsHome();
    ASSERT_EQ(full.size(), 60u);
    ASSERT_EQ(home.size(), 56u);
    Counts f = count(full), h = count(home);
    EXPECT_EQ(f.copyDirectory, 6); EXPECT_EQ(f.copyFile, 26); EXPECT_EQ(f.writeWCKSnapshot, 1);
    EXPECT_EQ(f.execCmd, 25); EXPECT_EQ(f.subsystem, 1); EXPECT_EQ(f.process, 1);
    EXPECT_EQ(h.copyDirectory, 6); EXPECT_EQ(h.copyFile, 22); EXPECT_EQ(h.writeWCKSnapshot, 1);
    EXPECT_EQ(h.execCmd, 25); EXPECT_EQ(h.subsystem, 1); EXPECT_EQ(h.process, 1);
    EXPECT_TRUE(std::holds_alternative<Operations::writeWCKSnapshot>(full[7].row));
    EXPECT_TRUE(std::holds_alternative<Operations::writeWCKSnapshot>(home[6].row));

    auto diagnosticReports = [](const std::vector<Operations>& rows) {
        for (const auto& op : rows)
            if (auto* f = std::get_if<Operations::copyFile>(&op.row); f && f->outputFolder == "DiagnosticReports")
                return f->sources;
        return std::vector<std::string>{};
    };
    EXPECT_EQ(diagnosticReports(full).size(), 24u);
    EXPECT_EQ(diagnosticReports(home).size(), 22u);
    EXPECT_EQ(diagnosticReports(full)[1], "~/Library/Logs/DiagnosticReports/*UnmountHelper*");
}

TEST(ZEP, PlanTextOfTheSampleTree) {
    TempDir tmp;
    ScopedEnv root("NRV_SYSTEM_ROOT", kSampleRoot);
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
    auto zep = makeDriver(tmp);
    zep->processOperationsFile();
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);

    const std::string expected =
        "The following files will be collected if present:\n"
        "\n"
        ">    agent.config\n"
        ">    agent.private\n"
        ">    cac.pem\n"
        ">    com.nerova.ac.plist\n"
        ">    com.nerova.corc.plist\n"
        ">    com.nerova.core.plist\n"
        ">    com.nerova.dc.plist\n"
        ">    com.nerova.hbt.plist\n"
        ">    com.nerova.liveQuery.plist\n"
        ">    com.nerova.lockfern.plist\n"
        ">    com.nerova.mcs.plist\n"
        ">    com.nerova.mw.plist\n"
        ">    com.nerova.nsg.ztna.plist\n"
        ">    com.nerova.ntp.plist\n"
        ">    com.nerova.plw.plist\n"
        ">    com.nerova.qrb.plist\n"
        ">    com.nerova.rca.plist\n"
        ">    com.nerova.scans.plist\n"
        ">    com.nerova.sed.plist\n"
        ">    com.nerova.swc.plist\n"
        ">    com.nerova.vtqr.plist\n"
        ">    com.nerova.wbj.plist\n"
        ">    com.nerova.wbj4.plist\n"
        ">    configuration.plist\n"
        ">    Custom Scan Logs\n"
        ">    Diagnostic Reports\n"
        ">    hosts\n"
        ">    install.log\n"
        ">    kernel.log\n"
        ">    KPJSubprocesses.log*\n"
        ">    MDMOverrides.plist\n"
        ">    MRInit.conf\n"
        ">    Nerova Anti-Virus.log\n"
        ">    Nerova Diagnostics\n"
        ">    Nerova Wellcheck.log\n"
        ">    nerova_extension.pid\n"
        ">    nerova.config\n"
        ">    nerovaautoupdate.plist\n"
        ">    NerovaManagementAgent Logs\n"
        ">    NerovaMessageRouter Logs\n"
        ">    NerovaSecure.keychain\n"
        ">    NerovaUpdater.log\n"
        ">    osquery.conf\n"
        ">    osquery.flags\n"
        ">    plw.plist\n"
        ">    product-info.plist\n"
        ">    receiptConfiguration.plist\n"
        ">    router.config\n"
        ">    router.private\n"
        ">    secure.log\n"
        ">    System Scan Logs\n"
        ">    system.log*\n"
        ">    table_router.txt\n"
        ">    VevaroRavEzeriz.keychain\n"
        ">    WQR Activity Summary (CSV)\n"
        ">    XDR logs\n"
        ">    XDR Scheduled Query Pack\n"
        "\n"
        "\n"
        " The following command output will be collected (dependent on installed Nerova products):\n"
        "\n"
        ">    diskutil list\n"
        ">    dorvctl zep\n"
        ">    ifconfig\n"
        ">    ioreg -b\n"
        ">    kextstat\n"
        ">    ls -al /Library/Nerova Anti-Virus/IDE/\n"
        ">    ls -alR /Applications/Nerova/\n"
        ">    ls -alR /Library/Frameworks/*Nerova* /Library/Frameworks/*QRBI*\n"
        ">    ls -alR /Library/Nerova Anti-Virus/\n"
        ">    ls -alR /Library/Nerova Encryption/\n"
        ">    ls -alR /Library/Nerova Live Query/\n"
        ">    ls -alR /Library/NerovaCBR/\n"
        ">    lsof -i\n"
        ">    netstat -an\n"
        ">    pmset -g log\n"
        ">    ps aux\n"
        ">    rakel --version\n"
        ">    scutil --dns\n"
        ">    scutil --nc list\n"
        ">    scutil --nc show Nerova ZTNA\n"
        ">    scutil --nc status Nerova ZTNA\n"
        ">    sqlite3 /Library/Application Support/com.apple.TCC/TCC.db select client from access where auth_value and service = \"kTCCServiceSystemPolicyAllFiles\"\n"
        ">    system_profiler -xml -detailLevel full\n"
        ">    systemextensionsctl list\n"
        ">    top -l 1\n"
        "\n"
        "\n"
        "\n"
        "The following os logs will be collected:\n"
        "\n"
        ">     com.nerova.rivovovuvev\n"
        ">     sysextd\n"
        "\n";
    EXPECT_EQ(zep->collectionString(), expected);
}

TEST(ZEP, HomeEditionTakesTheHomeCatalogue) {
    TempDir tmp;
    ScopedEnv root("NRV_SYSTEM_ROOT", tmp / "no-product");
    NRVProductInfo::resetIsNerovaHomeTo(true);
    auto home = makeDriver(tmp);
    home->processOperationsFile();
    NRVProductInfo::resetIsNerovaHomeTo(false);
    auto full = makeDriver(tmp);
    full->processOperationsFile();
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);

    // The fixed system_profiler row comes first, then the catalogue's own.
    EXPECT_EQ(home->commandExecutorObjects().front()->command(), "/usr/sbin/system_profiler");
    EXPECT_EQ(home->fileCopierObjects().size(), 22u);
    EXPECT_EQ(full->fileCopierObjects().size(), 26u);
    EXPECT_EQ(home->filesToCollect().count("KPJSubprocesses.log*"), 0u);
    EXPECT_EQ(full->filesToCollect().count("KPJSubprocesses.log*"), 1u);
    // Without frameworks or extensions to list, the wildcard rows are dropped.
    EXPECT_EQ(full->commandExecutorObjects().size(), 1u + 25u - 2u);
    EXPECT_EQ(full->commandsToExecute().count("ls -alR /Library/Extensions/*Nerova*"), 0u);
}

TEST(ZEP, WildcardParametersExpandUnderTheRoot) {
    TempDir tmp;
    ScopedEnv root("NRV_SYSTEM_ROOT", tmp.path());
    testsupport::writeText(tmp / "Library/Frameworks/NerovaA.framework/x", "");
    testsupport::writeText(tmp / "Library/Frameworks/NerovaB.framework/x", "");
    auto zep = makeDriver(tmp);
    struct Case {
        std::vector<std::string> in, out;
    } cases[] = {
        {{"-alR", "/Library/Frameworks/*Nerova*", "/Library/Frameworks/*QRBI*"},
         {"-alR", "/Library/Frameworks/NerovaA.framework", "/Library/Frameworks/NerovaB.framework"}},
        {{"-alR", "/Library/Frameworks/*QRBI*"}, {}},
        {{"-al", "/Library/Nerova Anti-Virus/IDE/"}, {"-al", "/Library/Nerova Anti-Virus/IDE/"}},
        {{}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(zep->expandWildCardedParameters(c.in), c.out) << ::testing::PrintToString(c.in);
}

// usernames.txt: the endpoint identifier, then the account names that
// decipher to text; everything else is one "is nil" line in the diagnostics
// log and no line of the file.
TEST(ZEP, UsernamesLeaveOutWhatIsMissingOrDeciphersToNothing) {
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    struct Case {
        const char* situation;
        std::map<std::pair<NRVConfigServiceType, std::string>, std::string> values;
        bool connected;
        std::vector<std::string> names;
        std::vector<std::string> missing;
        std::optional<std::string> file;  // nullopt: no file written
    };
    const std::string alice = encryptString("alice").value();
    const Case cases[] = {
        {"names that decipher to nothing",
         {{{1, "NRVMcsEndpointUUID"}, "E-1"},
          {{2, "PrimaryServerUserName"}, ""},
          {{2, "PrimaryServerProxyUserName"}, encryptString("").value()},
          {{2, "SecondaryServerUserName"}, "not Base64 \xC3\xA9"},
          {{2, "SecondaryServerProxyUserName"}, encryptString("bob").value()}},
         true,
         {"E-1", "bob"},
         {"PrimaryServerUserName", "PrimaryServerProxyUserName", "SecondaryServerUserName"},
         "E-1\nbob"},
        {"only the endpoint identifier",
         {{{1, "NRVMcsEndpointUUID"}, "E-1"}},
         true,
         {"E-1"},
         {"PrimaryServerUserName", "PrimaryServerProxyUserName", "SecondaryServerUserName",
          "SecondaryServerProxyUserName"},
         "E-1"},
        {"a name under the wrong service type",
         {{{1, "PrimaryServerUserName"}, alice}, {{2, "SecondaryServerUserName"}, alice}},
         true,
         {"alice"},
         {"NRVMcsEndpointUUID", "PrimaryServerUserName", "PrimaryServerProxyUserName", "SecondaryServerProxyUserName"},
         "alice"},
        {"no service",
         {{{1, "NRVMcsEndpointUUID"}, "E-1"}},
         false,
         {},
         {"NRVMcsEndpointUUID", "PrimaryServerUserName", "PrimaryServerProxyUserName", "SecondaryServerUserName",
          "SecondaryServerProxyUserName"},
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.situation);
        TempDir tmp;
        std::filesystem::create_directories(tmp / "staging/config/keychain");
        auto settings = std::make_shared<FakeSettings>();
        settings->values = c.values;
        settings->connected = c.connected;
        auto logger = std::make_shared<StatusLogger>(tmp / "collection.log");
        ZEP zep(logger, tmp / "staging", tmp.path(), "archive", settings);
        capture->clear();

        const std::vector<std::string> names = zep.collectUsernames();
        EXPECT_EQ(names, c.names);
        std::vector<std::string> diagnostics;
        for (const auto& record : capture->records())
            if (record.category == "diagnostics") diagnostics.push_back(record.message);
        std::vector<std::string> expected;
        for (const std::string& key : c.missing) expected.push_back("zep : " + key + " is nil");
        EXPECT_EQ(diagnostics, expected);

        zep.generateUsernamesTxt(names);
        const std::string file = tmp / "staging/config/keychain/usernames.txt";
        if (c.file) {
            EXPECT_EQ(testsupport::readText(file), *c.file);
            EXPECT_EQ(testsupport::lines(logger->progressStatus()).back(), "Success: Generated usernames.txt");
        } else {
            EXPECT_FALSE(testsupport::exists(file));
            EXPECT_EQ(testsupport::lines(logger->progressStatus()).back(), "Warning: No usernames stored in the Keychain");
        }
    }
    platform::log::setSink(nullptr);
}

// QRB-type.txt names the first edition folder that exists; a plain file of
// an edition's name is no edition, and without any the file stays empty.
TEST(ZEP, EditionFileNamesTheFirstEditionFolder) {
    struct Case {
        const char* situation;
        std::vector<std::string> folders, files;
        std::string text;
    } cases[] = {
        {"no product installed", {}, {}, ""},
        {"one edition", {"Server"}, {}, "Server"},
        {"two editions: the earlier in the list", {"Home", "Endpoint"}, {}, "Endpoint"},
        {"a file of an edition's name", {"Home"}, {"Enterprise"}, "Home"},
        {"only files", {}, {"Enterprise", "Cloud"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.situation);
        TempDir tmp;
        ScopedEnv root("NRV_SYSTEM_ROOT", tmp / "root");
        const std::string parent = tmp / "root/Library/Application Support/Nerova";
        for (const auto& name : c.folders) std::filesystem::create_directories(parent + "/" + name);
        for (const auto& name : c.files) testsupport::writeText(parent + "/" + name, "");
        std::filesystem::create_directories(tmp / "staging");
        auto logger = std::make_shared<StatusLogger>(tmp / "collection.log");
        ZEP zep(logger, tmp / "staging", tmp.path(), "archive", std::make_shared<FakeSettings>());
        zep.generateQRBTypeText();
        const std::string file = tmp / "staging/QRB-type.txt";
        ASSERT_TRUE(testsupport::exists(file));
        EXPECT_EQ(testsupport::readText(file), c.text);
        EXPECT_EQ(testsupport::lines(logger->progressStatus()),
                  c.text.empty() ? std::vector<std::string>{}
                                 : std::vector<std::string>{"Success: Generated QRB-type.txt"});
    }
}
