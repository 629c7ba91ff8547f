// A whole collection run by the driver in this process, for the end-to-end
// tests that set the environment or the services up themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "ipc/xpc/NRVXPCClientHelper.h"

namespace testsupport {

struct DriverOutcome {
    // The run's result, or nullopt when it did not finish within two minutes.
    std::optional<bool> success;
    // What the completion was told.
    std::string archiveName;
    std::string finalLocation;
};

// Processes the operations file, runs the collection and waits for its
// completion; the driver is gone when this returns.
inline DriverOutcome runDriver(const std::shared_ptr<StatusLogger>& logger, const std::string& staging,
                               const std::string& output, const std::string& name) {
    std::mutex mutex;
    std::condition_variable done;
    DriverOutcome outcome;
    {
        ZEP zep(logger, staging, output, name);
        zep.processOperationsFile();
        zep.runAsync([&](const std::string& archiveName, const std::string& finalLocation, bool ok) {
            std::lock_guard<std::mutex> lock(mutex);
            outcome.archiveName = archiveName;
            outcome.finalLocation = finalLocation;
            outcome.success = ok;
            done.notify_all();
        });
        std::unique_lock<std::mutex> lock(mutex);
        done.wait_for(lock, std::chrono::seconds(120), [&] { return outcome.success.has_value(); });
    }
    // The driver's disconnects log on the client helper's queue after it is
    // gone; let them finish, so a test may restore its environment after.
    (void)NRVXPCClientHelper::sharedClientConnectionsForUnitTest();
    return outcome;
}

}  // namespace testsupport
