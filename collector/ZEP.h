// The collection driver: one object per collection.
//
// Threading and lifetime. Construct the driver, call processOperationsFile()
// on the calling thread, then prepareAsync() and runAsync(); these three are
// meant for one thread and are not safe to call concurrently. All collection
// work runs on the driver's own operation queue, one operation at a time in
// the order added; both completion handlers run on that queue, never on the
// caller's or the main thread. The destructor waits until every queued
// operation (completions included) has finished, so a handler may not destroy
// its driver. The catalogue state (plan text, copiers) is built by
// processOperationsFile() and only read afterwards; the status logger is
// shared with the caller, which must not write to it while a run is going.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collector/Operations.h"
#include "collector/WildCardExtractor.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/OperationQueue.h"

class StatusLogger;
class FileCopier;
class DirectoryCopier;
class CommandExecutor;
class WCKSnapshotWriter;
class GlobalSettingsClientProtocol;

class ZEP : public WildCardExtractor {
public:
    using PrepareCompletion = std::function<void(const std::string& collectionString)>;
    using RunCompletion =
        std::function<void(const std::string& archiveName, const std::string& finalLocation, bool success)>;

    static constexpr const char* kZipLaunchPath = "/usr/bin/zip";

    // Paths are folders: the staging folder (owned and removed by the driver)
    // and the folder that receives the archive. Without a settings client
    // the driver makes its own; either way it starts connecting it here
    // without waiting.
    ZEP(std::shared_ptr<StatusLogger> statusLogger, std::string stagingLocation, std::string finalLocation,
        std::string archiveName, std::shared_ptr<GlobalSettingsClientProtocol> configDClient = nullptr);
    ZEP() = delete;
    virtual ~ZEP();

    void processOperationsFile();
    void prepareAsync(PrepareCompletion completionHandler);
    void runAsync(RunCompletion completionHandler);
    void clearStagingArea();
    // Ends a collection early: steps not yet started are dropped, the running
    // step's waits (on the product's services, on the settings connection)
    // end at once, its outside program is ended with its process group, and
    // the call returns once the queue is idle (the completion of runAsync is
    // then not called). A stopped driver runs nothing more. Called on the
    // main thread when the program ends.
    void stopCollection();

    // How long the post-collection step waits for a settings connection
    // that is being made: kSettingsConnectLimit unless a test changed it
    // (nullopt returns to it).
    static constexpr std::chrono::seconds kSettingsConnectLimit{3};
    static void setSettingsConnectLimitForUnitTest(std::optional<std::chrono::milliseconds> limit);

    const std::string& stagingLocation() const { return stagingLocation_; }
    const std::string& finalLocation() const { return finalLocation_; }
    const std::string& archiveName() const { return archiveName_; }

    // The plan shown before a run: what will be collected if present.
    const std::string& collectionString() const { return collectionString_; }
    const std::set<std::string>& filesToCollect() const { return filesToCollect_; }
    const std::set<std::string>& commandsToExecute() const { return commandsToExecute_; }
    const std::vector<std::shared_ptr<FileCopier>>& fileCopierObjects() const { return fileCopierObjects_; }
    const std::vector<std::shared_ptr<CommandExecutor>>& commandExecutorObjects() const {
        return commandExecutorObjects_;
    }

    // Steps of a run, public for the tests that provoke their failure lines;
    // in a run they are called on the driver's queue only.
    std::vector<std::string> expandWildCardedParameters(const std::vector<std::string>& parameters) const;
    void checkArchiveIntegrity();
    void generateQRBTypeText();
    // The endpoint identifier and the deciphered update account names, in
    // this order; a value that is missing or unreadable, and an account name
    // that deciphers to nothing, is left out and named in the diagnostics log.
    std::vector<std::string> collectUsernames();
    void generateUsernamesTxt(const std::vector<std::string>& names);

private:
    bool createArchive();
    void initializeOperation(const Operations& operation);
    void createCollectionString();
    static std::vector<std::string> sortAlphabetically(const std::set<std::string>& strings);
    void collectCollectionLog(const std::string& collectionLogURL);
    void addAsyncCollectOperations(const std::vector<std::shared_ptr<FileCopier>>& fileObjects,
                                   const std::vector<std::shared_ptr<WCKSnapshotWriter>>& wckSnapshotWriters,
                                   const std::vector<std::shared_ptr<DirectoryCopier>>& dirObjects,
                                   const std::vector<std::shared_ptr<CommandExecutor>>& commandObjects);
    // The edition folders under "/Library/Application Support/Nerova" that
    // name the installed anti-virus component, tried in this order.
    static const std::vector<std::string>& editionFolderNames();
    // Adds a step that runs only while the collection is not stopped, with
    // its waits ended by a stop.
    void addStep(std::function<void()> step);

    std::unique_ptr<platform::OperationQueue> opQueue_;
    std::shared_ptr<StatusLogger> statusLogger_;
    std::string stagingLocation_;
    std::string finalLocation_;
    std::string archiveName_;
    std::set<std::string> filesToCollect_;
    std::set<std::string> commandsToExecute_;
    std::string collectionString_;
    std::vector<std::shared_ptr<FileCopier>> fileCopierObjects_;
    std::vector<std::shared_ptr<WCKSnapshotWriter>> wckSnapshotWriterObjects_;
    std::vector<std::shared_ptr<DirectoryCopier>> dirCopierObjects_;
    std::vector<std::shared_ptr<CommandExecutor>> commandExecutorObjects_;
    std::vector<LoggingSubsystem> osLogSubsystemObjects_;
    std::vector<LoggingProcess> osLogProcessObjects_;
    std::shared_ptr<GlobalSettingsClientProtocol> configDClient_;
    // Entered until the settings client first connected.
    std::shared_ptr<platform::dispatch::DispatchGroup> configDConnecting_;
    // Requested by stopCollection(); every step's waits are tied to it.
    std::shared_ptr<platform::dispatch::WaitInterruption> stop_;
    // The staging folder is removed when the run is interrupted, from the
    // start of the run until its final clear.
    std::uint64_t stagingTerminationToken_ = 0;
};
