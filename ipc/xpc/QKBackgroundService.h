// A ready-made main program for a background daemon: signal handling, the
// process-wide service object with a delegate made from a registered class
// name, the command-line arguments, launch and termination notices, and the
// main loop that runs until the service is told to terminate.
//
// Threading: the main loop drains the main dispatch queue on the thread that
// calls QKBackgroundServiceMain (the process's main thread). Handled signals
// arrive on a watcher thread and are turned into terminate() on the main
// queue. terminate() and setShouldTerminate() may be called from any thread:
// they wake the main loop at once. The delegate's notifications run on the
// main thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/NRVError.h"
#include "platform/thread/Mutex.h"
#include "platform/value/NRVValue.h"
#include "platform/memory/NoDestructor.h"

class QKBackgroundService;

inline constexpr const char* QKBackgroundServiceDidFinishLaunchingNotification =
    "QKBackgroundServiceDidFinishLaunchingNotification";
inline constexpr const char* QKBackgroundServiceWillTerminateNotification =
    "QKBackgroundServiceWillTerminateNotification";

struct QKNotification {
    std::string name;
    QKBackgroundService* object = nullptr;
};

// The daemon's own logic. Both methods are optional: the defaults do nothing.
class QKBackgroundServiceDelegate {
public:
    virtual ~QKBackgroundServiceDelegate() = default;
    virtual void backgroundServiceDidFinishLaunching(const QKNotification&) {}
    virtual void backgroundServiceWillTerminate(const QKNotification&) {}
};

class QKBackgroundService {
public:
    using DelegateFactory = std::function<std::unique_ptr<QKBackgroundServiceDelegate>()>;
    // Makes a delegate class known by name, as a class is found by its name
    // at run time on the platform. Call before QKBackgroundServiceMain.
    static void registerDelegateClass(const std::string& className, DelegateFactory factory);

    // The one service of the process, made on first use.
    static QKBackgroundService& sharedBackgroundService();
    // The service with a delegate of the named class, set up once per
    // process; later calls only return the service. nullptr and the error
    // "Could not construct a class from <name>" when no such class is known.
    static QKBackgroundService* sharedBackgroundServiceWithDelegateClass(const std::string& className,
                                                                          NRVError* error = nullptr);

    QKBackgroundServiceDelegate* delegate() const;
    // Every argument, the program path first; nullopt when none were kept.
    std::optional<std::vector<std::string>> commandLineArguments() const;
    // The packed argument block: 8-byte slots, the count in the first 4 bytes
    // of slot 0, then one pointer per argument. Valid only in this process.
    std::optional<NRVData> nativeCommandLineArguments() const;
    bool shouldTerminate() const { return shouldTerminate_.load(); }
    // A true value wakes the main loop, from whichever thread it comes.
    void setShouldTerminate(bool value);
    void terminate(const void* sender = nullptr) { setShouldTerminate(true); }

    // The run steps: keep the arguments, announce the launch, loop until told
    // to terminate, announce the termination and give it half a second.
    void _runWithArgs(const NRVData* packedArguments);
    void _finalizeLaunch();
    void _finalizeTermination();

    QKBackgroundService(const QKBackgroundService&) = delete;
    QKBackgroundService& operator=(const QKBackgroundService&) = delete;

private:
    // The one instance is made by its shared accessor and never destroyed.
    friend class platform::NoDestructor<QKBackgroundService>;
    QKBackgroundService() = default;
    void post(const char* name);

    mutable platform::Mutex mutex_;
    std::unique_ptr<QKBackgroundServiceDelegate> delegate_ GUARDED_BY(mutex_);
    std::atomic<bool> shouldTerminate_{false};
    std::optional<NRVData> nativeArguments_ GUARDED_BY(mutex_);
    std::optional<std::vector<std::string>> arguments_ GUARDED_BY(mutex_);
    bool delegateSetUp_ GUARDED_BY(mutex_) = false;
    bool ran_ GUARDED_BY(mutex_) = false;
};

// Packs argc/argv into the block described above.
NRVData QKPackCommandLineArguments(int argc, char** argv);

// Runs the daemon: returns 0 once it has terminated, 1 when the delegate
// class cannot be made or the signals cannot be watched.
int QKBackgroundServiceMain(const std::string& delegateClassName, int argc, char** argv);
