#include "ipc/xpc/QKBackgroundService.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>

#include "foundation/NerovaLogger.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/signal/SignalWatcher.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace {

using platform::dispatch::DispatchQueue;

constexpr std::size_t kSlot = 8;

platform::Mutex& registryMutex() {
    static platform::Mutex m;
    return m;
}

std::map<std::string, QKBackgroundService::DelegateFactory>& registry() REQUIRES(registryMutex()) {
    static std::map<std::string, QKBackgroundService::DelegateFactory> classes;
    return classes;
}

// Reads the packed block back, refusing a count that the block cannot hold.
std::optional<std::vector<std::string>> unpack(const NRVData& block) {
    if (block.size() < kSlot) return std::nullopt;
    std::int32_t count = 0;
    std::memcpy(&count, block.data(), sizeof count);
    if (count < 0 || static_cast<std::size_t>(count) > block.size() / kSlot - 1) return std::nullopt;
    std::vector<std::string> arguments;
    for (std::int32_t i = 1; i <= count; ++i) {
        const char* pointer = nullptr;
        std::memcpy(&pointer, block.data() + static_cast<std::size_t>(i) * kSlot, sizeof pointer);
        arguments.emplace_back(pointer ? pointer : "");
    }
    return arguments;
}

}  // namespace

void QKBackgroundService::registerDelegateClass(const std::string& className, DelegateFactory factory) {
    platform::MutexLock lock(registryMutex());
    registry()[className] = std::move(factory);
}

QKBackgroundService& QKBackgroundService::sharedBackgroundService() {
    static platform::NoDestructor<QKBackgroundService> service;
    return *service;
}

QKBackgroundService* QKBackgroundService::sharedBackgroundServiceWithDelegateClass(const std::string& className,
                                                                                    NRVError* error) {
    QKBackgroundService& service = sharedBackgroundService();
    platform::MutexLock lock(service.mutex_);
    if (service.delegateSetUp_) return &service;
    DelegateFactory factory;
    {
        platform::MutexLock registryLock(registryMutex());
        auto it = registry().find(className);
        if (it != registry().end()) factory = it->second;
    }
    std::unique_ptr<QKBackgroundServiceDelegate> delegate = factory ? factory() : nullptr;
    if (!delegate) {
        NRVSetError(error, NRVError("NSInternalInconsistencyException", 0,
                                    "Could not construct a class from " + className));
        return nullptr;
    }
    service.delegate_ = std::move(delegate);
    service.shouldTerminate_ = false;
    service.delegateSetUp_ = true;
    return &service;
}

QKBackgroundServiceDelegate* QKBackgroundService::delegate() const {
    platform::MutexLock lock(mutex_);
    return delegate_.get();
}

std::optional<std::vector<std::string>> QKBackgroundService::commandLineArguments() const {
    platform::MutexLock lock(mutex_);
    return arguments_;
}

std::optional<NRVData> QKBackgroundService::nativeCommandLineArguments() const {
    platform::MutexLock lock(mutex_);
    return nativeArguments_;
}

void QKBackgroundService::setShouldTerminate(bool value) {
    shouldTerminate_ = value;
    // The main loop sleeps in the main queue's drain; stopping the drain wakes
    // it whichever thread asks, so a terminate never waits for a later round.
    if (value) platform::dispatch::stopMainQueue();
}

void QKBackgroundService::post(const char* name) {
    QKBackgroundServiceDelegate* target = delegate();
    if (!target) return;
    const QKNotification notification{name, this};
    if (std::strcmp(name, QKBackgroundServiceDidFinishLaunchingNotification) == 0)
        target->backgroundServiceDidFinishLaunching(notification);
    else if (std::strcmp(name, QKBackgroundServiceWillTerminateNotification) == 0)
        target->backgroundServiceWillTerminate(notification);
}

void QKBackgroundService::_finalizeLaunch() { post(QKBackgroundServiceDidFinishLaunchingNotification); }

void QKBackgroundService::_finalizeTermination() {
    if (!shouldTerminate()) return;
    post(QKBackgroundServiceWillTerminateNotification);
    // Half a second more for work the notice started on the main queue. A
    // further terminate request (a second signal) also stops the drain: only
    // the end of the half second ends the grace.
    auto over = std::make_shared<std::atomic<bool>>(false);
    DispatchQueue::main()->after(platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                                                  500 * platform::dispatch::NSEC_PER_MSEC),
                                 [over] {
                                     over->store(true);
                                     platform::dispatch::stopMainQueue();
                                 });
    while (!over->load()) platform::dispatch::runMainQueue();
}

void QKBackgroundService::_runWithArgs(const NRVData* packedArguments) {
    bool first = false;
    {
        platform::MutexLock lock(mutex_);
        if (!ran_) {
            ran_ = first = true;
            if (packedArguments) {
                nativeArguments_ = *packedArguments;
                arguments_ = unpack(*packedArguments);
            }
        }
    }
    if (first) _finalizeLaunch();
    while (!shouldTerminate()) platform::dispatch::runMainQueue();
    _finalizeTermination();
}

NRVData QKPackCommandLineArguments(int argc, char** argv) {
    if (argc < 0 || !argv) argc = 0;
    NRVData block((static_cast<std::size_t>(argc) + 1) * kSlot, 0);
    const std::int32_t count = argc;
    std::memcpy(block.data(), &count, sizeof count);
    for (int i = 0; i < argc; ++i) {
        const char* pointer = argv[i];
        std::memcpy(block.data() + static_cast<std::size_t>(i + 1) * kSlot, &pointer, sizeof pointer);
    }
    return block;
}

int QKBackgroundServiceMain(const std::string& delegateClassName, int argc, char** argv) {
    std::printf("Starting up: %s,%d\n", "QKBackgroundServiceMain", 252);
    std::fflush(stdout);
    platform::signal::ignoreSignals({SIGHUP, SIGPIPE});
    // The handled signals are blocked and read from a signalfd before any
    // other thread exists, so that every thread made later leaves them to it.
    platform::Error signalError;
    auto watcher = platform::signal::SignalWatcher::start(
        {SIGTERM, SIGINT, SIGQUIT, SIGABRT},
        [](int) {
            DispatchQueue::main()->async([] { QKBackgroundService::sharedBackgroundService().terminate(); });
        },
        &signalError);
    if (!watcher) {
        NerovaLogger::xpc().error("Could not watch the termination signals: " + signalError.description);
        return 1;
    }
    NRVError error;
    QKBackgroundService* service = QKBackgroundService::sharedBackgroundServiceWithDelegateClass(delegateClassName, &error);
    if (!service) {
        std::fprintf(stderr, "%s: %s\n", error.domain.c_str(), error.localizedDescription.c_str());
        NerovaLogger::xpc().fault(error.localizedDescription);
        return 1;
    }
    const NRVData block = QKPackCommandLineArguments(argc, argv);
    service->_runWithArgs(&block);
    return 0;
}
