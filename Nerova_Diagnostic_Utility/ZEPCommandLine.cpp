#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string_view>

#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"
#include "collector/CollectionLock.h"
#include "collector/NerovaDiagnosticsWrapper.h"
#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "foundation/NSDateExtensions.h"
#include "foundation/NRVDispatchExtensions.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace {

constexpr const char* kServiceNamePrefix = "com.nerova.remote.zep.";
constexpr const char* kDiagnosticsTag = "zep";

// Characters that cannot safely stand in a file name on every system the
// archive may travel to, removed from the host part in this order.
constexpr std::string_view kCharactersRemovedFromHostName[] = {
    "/", "\\", ":", "*", "?", "\"", ">", "<", "|", "'", "\u2019",
};

// A status logger that also echoes every line to the terminal, so that the
// user sees the same lines as the collection log receives.
class CLITerminalStatusLogger final : public StatusLogger {
public:
    using StatusLogger::StatusLogger;

    void updateStatus(const std::string& line) override {
        StatusLogger::updateStatus(line);
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        // Flushed at once: the lines come from the driver's queue while the
        // main thread waits, and must show up as they happen.
        std::fflush(stdout);
    }
};

void writeAndFlush(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string removingAll(std::string text, std::string_view needle) {
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at)) {
        text.erase(at, needle.size());
    }
    return text;
}

std::string localTimeStamp(std::chrono::system_clock::time_point date) {
    const double seconds = std::chrono::duration<double>(date.time_since_epoch()).count();
    return NSDateExtensions::localTimestamp(NRVDate::fromUnix(seconds), "yyyyMMdd_HHmmss");
}

}  // namespace

RunCLIOutputError::RunCLIOutputError(Case kind, std::string path) : kind_(kind), path_(std::move(path)) {
    switch (kind_) {
        case Case::directoryDoesNotExist:
            detail_ = "output path does not exist: " + path_;
            break;
        case Case::notADirectory:
            detail_ = "not a directory: " + path_;
            break;
        case Case::directoryNotWritable:
            detail_ = "directory is not writable: " + path_;
            break;
    }
}

ZEPCommandLine::ZEPCommandLine(std::shared_ptr<NRVXPCClientHelper> agentClientHelper,
                               DispatchTimeInterval timeoutInterval)
    : serviceName_(kServiceNamePrefix + platform::userName()),
      xpcAgentClientHelper_(std::move(agentClientHelper)),
      xpcTimeoutInterval_(timeoutInterval) {}

std::string ZEPCommandLine::makeArchiveName(const std::optional<std::string>& localizedHostName,
                                            const std::string& userName,
                                            std::chrono::system_clock::time_point date) {
    std::string hostPart = localizedHostName.value_or(userName);
    for (std::string_view character : kCharactersRemovedFromHostName) hostPart = removingAll(hostPart, character);
    return hostPart + "_" + localTimeStamp(date) + "_ZEP";
}

bool ZEPCommandLine::runCLI(const std::optional<std::string>& outputDirectory) {
    const std::string executableLabel = ZEPCLIConfiguration::executableLabel(platform::processArguments());
    const std::string archiveName = makeArchiveName(platform::localizedHostName(), platform::userName(),
                                                    std::chrono::system_clock::now());

    std::string finalLocation;
    try {
        finalLocation = ensureCLIOutputDirectoryAndArchiveName(outputDirectory, archiveName).first;
    } catch (const RunCLIOutputError& error) {
        printRunCLIPrepareError(error, executableLabel);
        return false;
    } catch (const std::exception& error) {
        ZEPCLIConfiguration::printUsageAndError(executableLabel,
                                                std::string("failed to prepare output location: ") + error.what());
        return false;
    }

    // Only now, with the output folder settled: finding the private temporary
    // folder may create it.
    const std::string temporaryFolder = platform::temporaryDirectory();
    const std::string stagingLocation = temporaryFolder + archiveName;

    // Held until the run has ended: a second run touches nothing of this one.
    auto lock = CollectionLock::acquire(temporaryFolder);
    if (const auto* error = std::get_if<CollectionLockError>(&lock)) {
        writeAndFlush(stderr, error->message() + "\n");
        return false;
    }

    const std::string collectionLogURL = temporaryFolder + StatusLogger::defaultFileName;
    auto statusLogger = std::make_shared<CLITerminalStatusLogger>(collectionLogURL);
    ZEP zep(statusLogger, stagingLocation, finalLocation, archiveName);

    // Written only by the run's completion before it leaves the group, read
    // only after the wait.
    auto succeeded = std::make_shared<std::atomic<bool>>(false);
    auto group = platform::dispatch::DispatchGroup::create();
    dispatch_group_safe_enter(group);

    writeAndFlush(stdout, "Running ZEP Collection in command line mode.\n");
    NerovaDiagnostics(kDiagnosticsTag, "Preparing ZEP collection (CLI mode).");

    zep.processOperationsFile();
    zep.prepareAsync([](const std::string& /*collectionString*/) {
        NerovaDiagnostics(kDiagnosticsTag, "Running ZEP collection.");
    });
    zep.runAsync([succeeded, group, executableLabel](const std::string& name, const std::string& folder,
                                                     bool success) {
        const std::string archivePath = platform::fs::appendingPathComponent(folder, name + ".zip");
        if (success) {
            NerovaDiagnostics(kDiagnosticsTag, "%@.zip created at %@", name, folder);
            writeAndFlush(stdout, "ZEP command line completed. Archive created at " + archivePath + "\n");
            succeeded->store(true);
        } else {
            ZEPCLIConfiguration::printUsageAndError(
                executableLabel, "failed to create zip archive at " + archivePath + " (zip exited unsuccessfully)");
        }
        dispatch_group_safe_leave(group);
    });

    dispatch_group_safe_wait(group, platform::dispatch::DISPATCH_TIME_FOREVER);
    return succeeded->load();
}

std::pair<std::string, std::string> ZEPCommandLine::ensureCLIOutputDirectoryAndArchiveName(
    const std::optional<std::string>& outputDirectory, const std::string& generatedArchiveName) {
    const std::string finalLocation = outputDirectory ? *outputDirectory : platform::currentDirectoryPath();
    // The folder the program was started in can have been removed since.
    if (finalLocation.empty()) throw std::runtime_error("the current directory cannot be determined");
    validateExistingWritableDirectory(finalLocation);
    return {finalLocation, generatedArchiveName};
}

void ZEPCommandLine::validateExistingWritableDirectory(const std::string& directory) {
    bool isDirectory = false;
    if (!platform::fs::fileExists(directory, &isDirectory)) throw RunCLIOutputError::directoryDoesNotExist(directory);
    if (!isDirectory) throw RunCLIOutputError::notADirectory(directory);
    if (!platform::fs::isWritableFile(directory)) throw RunCLIOutputError::directoryNotWritable(directory);
}

void ZEPCommandLine::printRunCLIPrepareError(const RunCLIOutputError& error, const std::string& executableLabel) {
    ZEPCLIConfiguration::printUsageAndError(executableLabel, error.detailText());
}
