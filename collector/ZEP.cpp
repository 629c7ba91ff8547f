#include "collector/ZEP.h"

#include <algorithm>
#include <atomic>

#include "collector/CommandExecutor.h"
#include "collector/DirectoryCopier.h"
#include "collector/FileArchiver.h"
#include "collector/FileCopier.h"
#include "collector/NRVOSLogExtractor.h"
#include "collector/NRVWQRSummaryCollector.h"
#include "collector/NerovaDiagnosticsWrapper.h"
#include "collector/RecoveryUtility.h"
#include "collector/StatusLogger.h"
#include "collector/wellcheck/WCKSnapshotWriter.h"
#include "foundation/NRVProductInfo.h"
#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NSDateExtensions.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/process/ChildProcesses.h"
#include "platform/signal/TerminationSignals.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/text/Collation.h"
#include "platform/xpc/XPCPeer.h"
#include "settings-client/GlobalSettingsClient.h"
#include "settings-client/SPACipher.h"

namespace fs = platform::fs;

namespace {

constexpr const char* kEditionFoldersParent = "/Library/Application Support/Nerova";

// Sent with settings writes that ask for notification. The programs have no
// bundle identifier here.
constexpr const char* kSettingsSender = "ZEP";

// The settings domains the post-collection files read.
constexpr NRVConfigServiceType kManagementServiceType = 1;
constexpr NRVConfigServiceType kUpdateServiceType = 2;
constexpr const char* kEndpointUUIDKey = "NRVMcsEndpointUUID";

std::atomic<std::int64_t> gSettingsConnectLimitMs{
    std::chrono::duration_cast<std::chrono::milliseconds>(ZEP::kSettingsConnectLimit).count()};

namespace ZEPGlobals {

const std::vector<std::string>& updateKeys() {
    static const std::vector<std::string> keys = {"PrimaryServerUserName", "PrimaryServerProxyUserName",
                                                  "SecondaryServerUserName", "SecondaryServerProxyUserName"};
    return keys;
}

}  // namespace ZEPGlobals

// A String setting, or nullopt when it is not set or cannot be read.
std::optional<std::string> readSetting(GlobalSettingsClientProtocol& client, const std::string& key,
                                       NRVConfigServiceType serviceType) {
    try {
        return client.retrieve<std::string>(key, serviceType);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

ZEP::ZEP(std::shared_ptr<StatusLogger> statusLogger, std::string stagingLocation, std::string finalLocation,
         std::string archiveName, std::shared_ptr<GlobalSettingsClientProtocol> configDClient)
    : opQueue_(std::make_unique<platform::OperationQueue>("com.nerova.zep.opqueue")),
      statusLogger_(std::move(statusLogger)),
      stagingLocation_(std::move(stagingLocation)),
      finalLocation_(std::move(finalLocation)),
      archiveName_(std::move(archiveName)),
      configDClient_(std::move(configDClient)),
      configDConnecting_(platform::dispatch::DispatchGroup::create()),
      stop_(platform::dispatch::WaitInterruption::create()) {
    if (!configDClient_)
        configDClient_ = GlobalSettingsClient::create(std::make_shared<NRVXPCClientHelper>(),
                                                      NRVDistributedNotification::create(), kSettingsSender);
    // A group rather than a future: a stop must be able to end the wait.
    dispatch_group_safe_enter(configDConnecting_);
    configDClient_->connect([connecting = configDConnecting_](bool) { dispatch_group_safe_leave(connecting); });
    opQueue_->setMaxConcurrentOperationCount(1);
}

void ZEP::setSettingsConnectLimitForUnitTest(std::optional<std::chrono::milliseconds> limit) {
    gSettingsConnectLimitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit.value_or(kSettingsConnectLimit)).count();
}

void ZEP::addStep(std::function<void()> step) {
    opQueue_->addOperationWithBlock([stop = stop_, step = std::move(step)] {
        platform::dispatch::WaitInterruption::Scope scope(stop);
        if (!stop->isRequested()) step();
    });
}

ZEP::~ZEP() {
    opQueue_->waitUntilAllOperationsAreFinished();
    platform::signal::forget(stagingTerminationToken_);
}

const std::vector<std::string>& ZEP::editionFolderNames() {
    static const std::vector<std::string> names = {"Enterprise", "Endpoint", "Server", "Cloud", "Home"};
    return names;
}

void ZEP::processOperationsFile() {
    initializeOperation({Operations::execCmd{"system", "/usr/sbin/system_profiler", {"-xml", "-detailLevel", "full"},
                                             "sysinfo.spx"}});
    const auto& catalogue = NRVProductInfo::isNerovaHome() ? Operations::allOperationsHome() : Operations::allOperations();
    for (const Operations& operation : catalogue) initializeOperation(operation);
    filesToCollect_.insert("WQR Activity Summary (CSV)");
    createCollectionString();
}

void ZEP::initializeOperation(const Operations& operation) {
    std::visit(
        Overloaded{
            [&](const Operations::copyDirectory& row) {
                dirCopierObjects_.push_back(std::make_shared<DirectoryCopier>(
                    row.outputFolder, row.collectionName, row.sources, statusLogger_, stagingLocation_));
                filesToCollect_.insert(row.collectionName);
            },
            [&](const Operations::copyFile& row) {
                auto copier = std::make_shared<FileCopier>(row.outputFolder, row.sources, statusLogger_, stagingLocation_);
                fileCopierObjects_.push_back(copier);
                const std::string folder = fs::lastPathComponent(copier->outputFolder());
                if (folder == "DiagnosticReports") {
                    filesToCollect_.insert("Diagnostic Reports");
                } else if (folder == "NerovaDiagnostics") {
                    filesToCollect_.insert("Nerova Diagnostics");
                } else {
                    for (const std::string& source : row.sources) filesToCollect_.insert(fs::lastPathComponent(source));
                }
            },
            [&](const Operations::writeWCKSnapshot& row) {
                wckSnapshotWriterObjects_.push_back(
                    std::make_shared<WCKSnapshotWriter>(row.outputFolder, statusLogger_, stagingLocation_));
                filesToCollect_.insert("Nerova Wellcheck.log");
            },
            [&](const Operations::execCmd& row) {
                std::vector<std::string> parameters = expandWildCardedParameters(row.parameters);
                if (parameters.empty() && !row.parameters.empty()) return;
                commandExecutorObjects_.push_back(std::make_shared<CommandExecutor>(
                    row.command, row.outputFolder, std::move(parameters), row.outputFile, statusLogger_,
                    stagingLocation_));
                std::string entry = fs::lastPathComponent(row.command);
                for (const std::string& parameter : row.parameters) entry += " " + parameter;
                commandsToExecute_.insert(entry);
            },
            [&](const Operations::extractOSLogWithSubSystemPredicate& row) {
                osLogSubsystemObjects_.push_back(row.subsystem);
            },
            [&](const Operations::extractOSLogWithProcessPredicate& row) {
                osLogProcessObjects_.push_back(row.process);
            },
        },
        operation.row);
}

std::vector<std::string> ZEP::expandWildCardedParameters(const std::vector<std::string>& parameters) const {
    const auto withPattern = std::count_if(parameters.begin(), parameters.end(),
                                           [](const std::string& p) { return p.find('*') != std::string::npos; });
    if (withPattern == 0) return parameters;
    // Patterns name the product's files: expand them under the system root
    // and keep the product's own form of every match.
    std::vector<std::string> results;
    for (const std::string& parameter : parameters) {
        for (const std::string& match : retrieveMatchingPaths(platform::resolveSystemPath(parameter)))
            results.push_back(platform::unresolveSystemPath(match));
    }
    const auto withoutPattern = static_cast<std::size_t>(parameters.size()) - static_cast<std::size_t>(withPattern);
    if (results.size() == withoutPattern) return {};
    return results;
}

std::vector<std::string> ZEP::sortAlphabetically(const std::set<std::string>& strings) {
    std::vector<std::string> sorted(strings.begin(), strings.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return platform::text::localizedStandardCompare(a, b) < 0;
    });
    return sorted;
}

void ZEP::createCollectionString() {
    std::string fileLines, commandLines, logLines;
    for (const std::string& name : sortAlphabetically(filesToCollect_)) fileLines += ">    " + name + "\n";
    for (const std::string& entry : sortAlphabetically(commandsToExecute_)) commandLines += ">    " + entry + "\n";
    for (const auto& subsystem : osLogSubsystemObjects_) logLines += ">     " + subsystem.rawValue + "\n";
    for (const auto& process : osLogProcessObjects_) logLines += ">     " + process.rawValue + "\n";
    collectionString_ = "The following files will be collected if present:\n\n" + fileLines +
                        "\n\n The following command output will be collected (dependent on installed Nerova products):\n\n" +
                        commandLines + "\n\n\nThe following os logs will be collected:\n\n" + logLines + "\n";
}

void ZEP::prepareAsync(PrepareCompletion completionHandler) {
    opQueue_->addOperationWithBlock([this, completionHandler = std::move(completionHandler)] {
        completionHandler(collectionString_);
    });
}

void ZEP::runAsync(RunCompletion completionHandler) {
    // The staging folder collects keychains and keys: an interrupted run
    // must not leave it behind.
    platform::signal::forget(stagingTerminationToken_);
    stagingTerminationToken_ = platform::signal::removeOnTermination(stagingLocation_);
    addStep([this] { clearStagingArea(); });
    addAsyncCollectOperations(fileCopierObjects_, wckSnapshotWriterObjects_, dirCopierObjects_, commandExecutorObjects_);
    addStep([this, completionHandler = std::move(completionHandler)] {
        const bool success = createArchive();
        clearStagingArea();
        platform::signal::forget(stagingTerminationToken_);
        completionHandler(archiveName_, finalLocation_, success);
    });
}

void ZEP::addAsyncCollectOperations(const std::vector<std::shared_ptr<FileCopier>>& fileObjects,
                                    const std::vector<std::shared_ptr<WCKSnapshotWriter>>& wckSnapshotWriters,
                                    const std::vector<std::shared_ptr<DirectoryCopier>>& dirObjects,
                                    const std::vector<std::shared_ptr<CommandExecutor>>& commandObjects) {
    addStep([this] { statusLogger_->writeCollectionLog(statusLogger_->collectionLogURL()); });
    for (const auto& operation : fileObjects) opQueue_->addOperation(operation);
    for (const auto& operation : wckSnapshotWriters) opQueue_->addOperation(operation);
    for (const auto& operation : dirObjects) opQueue_->addOperation(operation);
    for (const auto& operation : commandObjects) opQueue_->addOperation(operation);
    // The extractors are made when their steps start, not now: an extractor
    // fixes its days when it is made, and a run may reach these steps after
    // midnight. The product subsystem always, whatever the catalogue lists;
    // then each catalogued process from 10 days back; then the data
    // recorder's summary.
    addStep([this] { NRVOSLogExtractor().extractLogsForNerovaSubSystem(stagingLocation_, statusLogger_); });
    addStep([this] {
        const NRVDate from = NSDateExtensions::dateByAddingDays(NSDateExtensions::now(), -10);
        NRVOSLogExtractor extractor;
        for (const LoggingProcess& process : osLogProcessObjects_) {
            if (stop_->isRequested()) return;
            extractor.extractLogsForProcessPredicate(process.rawValue, from, stagingLocation_, statusLogger_);
        }
    });
    addStep([this] { NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(stagingLocation_, statusLogger_); });
    addStep([this] {
        checkArchiveIntegrity();
        if (stop_->isRequested()) return;
        generateQRBTypeText();
        std::vector<std::string> names = collectUsernames();
        if (stop_->isRequested()) return;
        generateUsernamesTxt(names);
        collectCollectionLog(statusLogger_->collectionLogURL());
    });
}

void ZEP::clearStagingArea() {
    if (!fs::itemExists(stagingLocation_)) return;
    platform::Error error;
    if (!fs::removeItem(stagingLocation_, &error))
        statusLogger_->updateStatus("Unable to clear staging area... -> " + error.description + "\n");
}

bool ZEP::createArchive() {
    FileArchiver archiver(statusLogger_, stagingLocation_, finalLocation_, archiveName_, kZipLaunchPath);
    return archiver.archiveFile();
}

void ZEP::checkArchiveIntegrity() {
    statusLogger_->updateStatus("Checking Archives for their integrity...");
    const std::string folder = fs::appendingPathComponent(stagingLocation_, "NerovaDiagnostics");
    auto paths = fs::enumerateRelativePaths(folder);
    if (!paths) {
        statusLogger_->indicateFailure("No NerovaDiagnostics collected...");
        return;
    }
    for (const std::string& relative : *paths) {
        const std::string path = fs::appendingPathComponent(folder, relative);
        if (fs::pathExtension(path) == "gz") RecoveryUtility(statusLogger_).recoverArchiveIfRequired(path);
    }
}

void ZEP::generateQRBTypeText() {
    const std::string file = fs::appendingPathComponent(stagingLocation_, "QRB-type.txt");
    if (!fs::createFile(file)) {
        statusLogger_->indicateFailure("Unable to create file at " + file);
        return;
    }
    for (const std::string& name : editionFolderNames()) {
        const std::string folder = platform::resolveSystemPath(fs::appendingPathComponent(kEditionFoldersParent, name));
        // An edition is installed as a folder; a plain file of its name is not one.
        bool isDirectory = false;
        if (!fs::fileExists(folder, &isDirectory) || !isDirectory) continue;
        platform::Error error;
        if (fs::writeFileAtomically(file, name, &error)) {
            statusLogger_->indicateSuccess("Generated QRB-type.txt");
            return;
        }
        statusLogger_->indicateFailure("Unable to generate QRB-type.txt -> " + error.description);
    }
}

void ZEP::collectCollectionLog(const std::string& collectionLogURL) {
    FileCopier(stagingLocation_, {collectionLogURL}, statusLogger_, "", FileCopier::SourcePaths::Real).performCopy();
}

std::vector<std::string> ZEP::collectUsernames() {
    // The connection is made over the broker; give one that is under way a
    // moment, but none at all when nothing could answer. A stop of the
    // collection ends the wait and the reads.
    if (platform::xpc::serviceSocketExists(NRVNerovaXPCBroker::kBrokerServiceName)) {
        const std::int64_t limit = gSettingsConnectLimitMs.load() * platform::dispatch::NSEC_PER_MSEC;
        dispatch_group_safe_wait(configDConnecting_,
                                 platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW, limit));
    }
    std::vector<std::string> names;
    if (stop_->isRequested()) return names;
    if (auto uuid = readSetting(*configDClient_, kEndpointUUIDKey, kManagementServiceType))
        names.push_back(*uuid);
    else
        NerovaDiagnostics("zep", "%@ is nil", kEndpointUUIDKey);
    for (const std::string& key : ZEPGlobals::updateKeys()) {
        if (stop_->isRequested()) break;
        // The empty text is the cipher's failure; an enciphered empty name
        // is no name either, and would only make a blank line.
        const std::string name = decryptString(readSetting(*configDClient_, key, kUpdateServiceType));
        if (!name.empty()) names.push_back(name);
        else NerovaDiagnostics("zep", "%@ is nil", key);
    }
    return names;
}

void ZEP::generateUsernamesTxt(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? "\n" : "") + names[i];
    if (text.empty()) {
        statusLogger_->indicateWarning("No usernames stored in the Keychain");
        return;
    }
    const std::string file = fs::appendingPathComponent(stagingLocation_, "config/keychain/usernames.txt");
    if (!fs::createFile(file)) {
        statusLogger_->indicateFailure("Unable to create file at " + file);
        return;
    }
    platform::Error error;
    if (fs::writeFileAtomically(file, text, &error)) statusLogger_->indicateSuccess("Generated usernames.txt");
    else statusLogger_->indicateFailure("Unable to generate usernames.txt -> " + error.description);
}

void ZEP::stopCollection() {
    namespace dispatch = platform::dispatch;
    stop_->request();
    opQueue_->cancelAllOperations();
    auto idle = dispatch::DispatchGroup::create();
    idle->enter();
    opQueue_->addOperationWithBlock([idle] { idle->leave(); });
    // The running step may start its program just after a round of endings,
    // so rounds repeat until the queue is idle; a program that ignores the
    // request to end is killed after two seconds.
    constexpr int kRoundsBeforeKill = 20;
    for (int round = 0;; ++round) {
        platform::endChildProcessGroups(round < kRoundsBeforeKill ? platform::ChildEnding::Terminate
                                                                   : platform::ChildEnding::Kill);
        if (idle->wait(dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW, 100 * dispatch::NSEC_PER_MSEC)) == 0) return;
    }
}
