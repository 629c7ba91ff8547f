#include "settings-client/GlobalSettingsClient.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "foundation-module/LoggerExtensions.h"
#include "foundation/NRVDispatchExtensions.h"
#include "ipc/xpc/NRVConfigData.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/text/UTF8Bridge.h"
#include "platform/thread/ConditionVariable.h"
#include "settings-client/NRVConfigXPCProtocol.h"

using platform::dispatch::DispatchGroup;
using platform::dispatch::DispatchQueue;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::dispatchTime;
using platform::dispatch::NSEC_PER_MSEC;
namespace xpc = platform::xpc;

const char* GlobalSettingsClientError::what() const noexcept {
    switch (kind_) {
        case Case::notConnected: return "GlobalSettingsClientError.notConnected";
        case Case::timedOut: return "GlobalSettingsClientError.timedOut";
        case Case::keyNotSet: return "GlobalSettingsClientError.keyNotSet";
    }
    return "GlobalSettingsClientError";
}

namespace GlobalSettingsValueTypes {

// 2^63 and 2^64 as doubles: the bounds a whole double must stay below.
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

std::optional<std::int64_t> castInteger(const NRVValue& value) {
    if (const std::int64_t* i = value.asInteger()) return *i;
    if (const double* d = value.asReal()) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -kTwoTo63 && *d < kTwoTo63)
            return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> castUnsigned(const NRVValue& value) {
    if (const std::int64_t* i = value.asInteger()) {
        if (*i < 0) return std::nullopt;
        return static_cast<std::uint64_t>(*i);
    }
    if (const double* d = value.asReal()) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= 0 && *d < kTwoTo64)
            return static_cast<std::uint64_t>(*d);
    }
    return std::nullopt;
}

std::optional<double> castDouble(const NRVValue& value) {
    if (const double* d = value.asReal()) return *d;
    if (const std::int64_t* i = value.asInteger()) {
        const double d = static_cast<double>(*i);
        // Only integers a double holds exactly.
        if (d < kTwoTo63 && static_cast<std::int64_t>(d) == *i) return d;
    }
    return std::nullopt;
}

}  // namespace GlobalSettingsValueTypes

struct GlobalSettingsClient::Shared {
    struct Watch {
        std::string key;
        std::function<void(const NRVValue&)> receiver;
    };

    mutable platform::Mutex mutex;
    platform::ConditionVariable calledOut;
    NRVXPCProxy proxyObj GUARDED_BY(mutex);
    bool isFirstConnection GUARDED_BY(mutex) = true;
    SettingsChangedHandler settingsChangedHandler GUARDED_BY(mutex);
    std::shared_ptr<GlobalSettingsClientDelegate> delegate GUARDED_BY(mutex);
    std::map<std::uint64_t, Watch> watches GUARDED_BY(mutex);
    std::uint64_t nextWatch GUARDED_BY(mutex) = 1;
    std::chrono::milliseconds asyncCallLimit GUARDED_BY(mutex) = kDefaultAsyncCallLimit;
    std::chrono::milliseconds syncCallLimit GUARDED_BY(mutex) = kSyncCallLimit;
    // Set by the destructor: nothing calls out any more.
    bool closed GUARDED_BY(mutex) = false;
    // Threads inside a handler, watch or connect callback right now.
    std::vector<std::thread::id> callingOut GUARDED_BY(mutex);
    // Delegate calls run here, one at a time; the destructor drains it.
    const std::shared_ptr<DispatchQueue> delegateQueue =
        DispatchQueue::createSerial("com.nerova.globalsettings.delegate");

    // Marks the calling thread as calling out; false once the client is gone.
    bool beginCallOut(platform::MutexLock&) REQUIRES(mutex) {
        if (closed) return false;
        callingOut.push_back(std::this_thread::get_id());
        return true;
    }
    void endCallOut() {
        platform::MutexLock lock(mutex);
        auto it = std::find(callingOut.begin(), callingOut.end(), std::this_thread::get_id());
        if (it != callingOut.end()) callingOut.erase(it);
        calledOut.notify_all();
    }

    void tellDelegate(std::function<void(GlobalSettingsClientDelegate&, bool connected)> call) {
        std::weak_ptr<Shared> weak = weakThis;
        delegateQueue->async([weak, call = std::move(call)] {
            auto self = weak.lock();
            if (!self) return;
            std::shared_ptr<GlobalSettingsClientDelegate> delegate;
            bool connected = false;
            {
                platform::MutexLock lock(self->mutex);
                if (self->closed) return;
                delegate = self->delegate;
                connected = self->proxyObj != nullptr;
            }
            if (delegate) call(*delegate, connected);
        });
    }

    std::weak_ptr<Shared> weakThis;
};

namespace {

const NRVLogHandle& configLog() { return LoggerExtensions::config(); }

std::optional<NRVValue> payloadOfReply(const xpc::Values& values) {
    if (values.empty()) return std::nullopt;
    const xpc::CodedRecord* record = values[0].record();
    if (!record || record->className != NRVConfigData::kClassName) return std::nullopt;
    auto data = NRVConfigData::initWithCoder(record->fields);
    if (!data) return std::nullopt;
    NRVValue payload = data->payload();
    if (payload.isNull()) return std::nullopt;
    return payload;
}

// The reply's error text; an empty optional means success.
std::optional<std::string> errorTextOfReply(const xpc::Values& values) {
    if (values.empty() || values[0].isNull()) return std::nullopt;
    if (const std::string* text = values[0].asString()) return *text;
    return std::string("unexpected reply");
}

// Sends one call whose outcome arrives exactly once: the reply, or the
// connection's error when the call cannot be answered.
void callService(const NRVXPCProxy& proxy, const std::string& selector, xpc::Values arguments,
                 std::function<void(const xpc::Values&)> onReply, std::function<void()> onError) {
    const auto& connection = proxy->connection();
    if (!connection) {
        onError();
        return;
    }
    auto perCall = connection->remoteObjectProxyWithErrorHandler([onError](const platform::Error&) { onError(); });
    perCall->call(selector, std::move(arguments), [onReply](const xpc::Values& values) { onReply(values); });
}

std::optional<xpc::Values> storeArguments(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                                          NRVConfigServiceType serviceType, const std::optional<std::string>& sender) {
    auto record = NRVConfigData::initWithPayload(value);
    if (!record) return std::nullopt;
    return xpc::Values{static_cast<std::int64_t>(serviceType), key,
                       xpc::CodedRecord{NRVConfigData::kClassName, record->encodeWithCoder()},
                       static_cast<std::int64_t>(valueType), sender ? xpc::Value(*sender) : xpc::Value()};
}

// The bounds of the asynchronous calls fire on a queue that outlives any
// client, so that every future is satisfied even after its client is gone.
std::shared_ptr<DispatchQueue> asyncBoundQueue() { return DispatchQueue::global(); }

void logTimedOut() {
    configLog().error(std::string("Connection to ") + GlobalSettingsClient::kServiceName + " timed out");
}

// One outcome per call, whichever of reply, error or bound comes first.
struct Once {
    std::atomic<bool> taken{false};
    bool take() { return !taken.exchange(true); }
};

// Sends one call and blocks for at most `limit`: the reply's values, or
// timedOut / notConnected thrown when none came.
xpc::Values callServiceAndWait(const NRVXPCProxy& proxy, const std::string& selector, xpc::Values arguments,
                               std::chrono::milliseconds limit) {
    // Shared with the reply block: a reply after the wait gave up writes
    // into a cell nobody reads, never into freed memory.
    struct Cell {
        Once once;
        xpc::Values reply;
        bool lost = false;
    };
    auto cell = std::make_shared<Cell>();
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    callService(
        proxy, selector, std::move(arguments),
        [cell, group](const xpc::Values& values) {
            if (!cell->once.take()) return;
            cell->reply = values;
            dispatch_group_safe_leave(group);
        },
        [cell, group] {
            if (!cell->once.take()) return;
            cell->lost = true;
            dispatch_group_safe_leave(group);
        });
    if (dispatch_group_safe_wait(group, dispatchTime(DISPATCH_TIME_NOW, limit.count() * NSEC_PER_MSEC)) != 0) {
        logTimedOut();
        throw GlobalSettingsClientError::timedOut();
    }
    if (cell->lost) throw GlobalSettingsClientError::notConnected();
    return cell->reply;
}

class WatchHandle : public GlobalSettingsWatch {
public:
    WatchHandle(std::weak_ptr<GlobalSettingsClient::Shared> shared, std::uint64_t id) : shared_(std::move(shared)), id_(id) {}
    ~WatchHandle() override { cancel(); }
    void cancel() override;

private:
    std::weak_ptr<GlobalSettingsClient::Shared> shared_;
    std::uint64_t id_;
};

}  // namespace

void WatchHandle::cancel() {
    auto shared = shared_.lock();
    if (!shared) return;
    platform::MutexLock lock(shared->mutex);
    shared->watches.erase(id_);
}

std::shared_ptr<GlobalSettingsClient> GlobalSettingsClient::create(
    std::shared_ptr<NRVXPCClientHelper> xpcClientHelper,
    std::shared_ptr<NRVDistributedNotification> distributedNotification, std::string sender) {
    return std::shared_ptr<GlobalSettingsClient>(
        new GlobalSettingsClient(std::move(xpcClientHelper), std::move(distributedNotification), std::move(sender)));
}

GlobalSettingsClient::GlobalSettingsClient(std::shared_ptr<NRVXPCClientHelper> xpcClientHelper,
                                           std::shared_ptr<NRVDistributedNotification> distributedNotification,
                                           std::string sender)
    : xpcClientHelper_(xpcClientHelper ? std::move(xpcClientHelper) : std::make_shared<NRVXPCClientHelper>()),
      distributedNotification_(distributedNotification ? std::move(distributedNotification)
                                                       : NRVDistributedNotification::create()),
      sender_(std::move(sender)),
      shared_(std::make_shared<Shared>()) {
    shared_->weakThis = shared_;
    std::weak_ptr<Shared> weak = shared_;
    distributedNotification_->subscribeName(kDidChangeNotification, [weak](const std::string&, const NRVValue& object) {
        auto shared = weak.lock();
        if (!shared) return;
        const NRVDictionary* dictionary = object.asDictionary();
        if (!dictionary) return;
        const NRVValue* keyValue = dictionary->find(kKeyModified);
        const NRVValue* newValue = dictionary->find(kNewValue);
        if (!keyValue || !keyValue->asString() || !newValue) return;
        const std::string key = *keyValue->asString();
        const NRVValue value = *newValue;

        shared->tellDelegate([key, value](GlobalSettingsClientDelegate& d, bool) { d.settingChanged(key, value); });
        SettingsChangedHandler handler;
        std::vector<Shared::Watch> watches;
        {
            platform::MutexLock lock(shared->mutex);
            if (!shared->beginCallOut(lock)) return;
            handler = shared->settingsChangedHandler;
            for (const auto& [id, watch] : shared->watches) watches.push_back(watch);
        }
        if (handler) handler(key, value);
        for (const auto& watch : watches)
            if (platform::text::canonicallyEqual(watch.key, key)) watch.receiver(value);
        shared->endCallOut();
    });
}

GlobalSettingsClient::~GlobalSettingsClient() {
    distributedNotification_->unsubscribeAllNames();
    xpcClientHelper_->disconnectService(kServiceName);
    std::shared_ptr<GlobalSettingsClientDelegate> delegate;
    SettingsChangedHandler handler;
    {
        platform::MutexLock lock(shared_->mutex);
        shared_->closed = true;
        delegate = std::move(shared_->delegate);
        handler = std::move(shared_->settingsChangedHandler);
        shared_->watches.clear();
        // A handler running on another thread finishes first; one that is
        // destroying the client from inside its own call does not wait for itself.
        const auto me = std::this_thread::get_id();
        shared_->calledOut.wait(lock, [&]() REQUIRES(shared_->mutex) {
            return std::all_of(shared_->callingOut.begin(), shared_->callingOut.end(),
                               [&](std::thread::id id) { return id == me; });
        });
    }
    if (!shared_->delegateQueue->isCurrent()) shared_->delegateQueue->sync([] {});
}

void GlobalSettingsClient::setDelegate(std::shared_ptr<GlobalSettingsClientDelegate> delegate) {
    platform::MutexLock lock(shared_->mutex);
    shared_->delegate = std::move(delegate);
}

void GlobalSettingsClient::setSettingsChangedHandler(SettingsChangedHandler handler) {
    platform::MutexLock lock(shared_->mutex);
    shared_->settingsChangedHandler = std::move(handler);
}

void GlobalSettingsClient::setAsyncCallLimit(std::chrono::milliseconds limit) {
    platform::MutexLock lock(shared_->mutex);
    shared_->asyncCallLimit = limit;
}

std::chrono::milliseconds GlobalSettingsClient::asyncCallLimit() const {
    platform::MutexLock lock(shared_->mutex);
    return shared_->asyncCallLimit;
}

void GlobalSettingsClient::setSyncCallLimitForUnitTest(std::chrono::milliseconds limit) {
    platform::MutexLock lock(shared_->mutex);
    shared_->syncCallLimit = limit;
}

std::chrono::milliseconds GlobalSettingsClient::syncCallLimit() const {
    platform::MutexLock lock(shared_->mutex);
    return shared_->syncCallLimit;
}

bool GlobalSettingsClient::isConnected() const { return currentProxy() != nullptr; }

NRVXPCProxy GlobalSettingsClient::currentProxy() const {
    platform::MutexLock lock(shared_->mutex);
    return shared_->proxyObj;
}

void GlobalSettingsClient::connect(ConnectCallback callback) {
    std::weak_ptr<Shared> weak = shared_;
    xpcClientHelper_->connectService(
        kServiceName, NRVConfigXPCProtocol::protocol(), [weak, callback](NRVXPCProxy proxy) {
            auto shared = weak.lock();
            if (!shared) return;
            bool connected = false;
            bool first = false;
            {
                platform::MutexLock lock(shared->mutex);
                if (shared->closed) return;
                shared->proxyObj = proxy;
                connected = proxy != nullptr;
                first = shared->isFirstConnection;
                if (connected) shared->isFirstConnection = false;
                if (connected && callback && !shared->beginCallOut(lock)) return;
            }
            shared->tellDelegate([](GlobalSettingsClientDelegate& d, bool now) { d.connectionStatusChanged(now); });
            if (connected && callback) {
                callback(first);
                shared->endCallOut();
            }
        });
}

std::future<void> GlobalSettingsClient::connect() {
    auto promise = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<Once>();
    auto future = promise->get_future();
    connect([promise, once](bool) {
        if (once->take()) promise->set_value();
    });
    return future;
}

std::unique_ptr<GlobalSettingsWatch> GlobalSettingsClient::addWatch(const std::string& key,
                                                                    std::function<void(const NRVValue&)> receiver) {
    platform::MutexLock lock(shared_->mutex);
    const std::uint64_t id = shared_->nextWatch++;
    shared_->watches[id] = Shared::Watch{key, std::move(receiver)};
    return std::make_unique<WatchHandle>(shared_, id);
}

std::optional<NRVValue> GlobalSettingsClient::retrieveValue(const std::string& key, NRVConfigServiceType serviceType,
                                                            std::uint64_t valueType) {
    NRVXPCProxy proxy = currentProxy();
    if (!proxy) throw GlobalSettingsClientError::notConnected();
    return payloadOfReply(callServiceAndWait(
        proxy, NRVConfigXPCProtocol::kValueForServiceType,
        {static_cast<std::int64_t>(serviceType), key, static_cast<std::int64_t>(valueType)}, syncCallLimit()));
}

void GlobalSettingsClient::storeValue(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                                      NRVConfigServiceType serviceType, bool notify) {
    NRVXPCProxy proxy = currentProxy();
    if (!proxy) throw GlobalSettingsClientError::notConnected();
    auto arguments = storeArguments(value, valueType, key, serviceType, notify ? std::optional(sender_) : std::nullopt);
    if (!arguments) throw GlobalSettingsClientError::keyNotSet();
    if (errorTextOfReply(callServiceAndWait(proxy, NRVConfigXPCProtocol::kSetValueForServiceType, std::move(*arguments),
                                            syncCallLimit())))
        throw GlobalSettingsClientError::keyNotSet();
}

void GlobalSettingsClient::retrieveValueAsync(const std::string& key, NRVConfigServiceType serviceType,
                                              std::uint64_t valueType, RetrieveCompletion completion) {
    NRVXPCProxy proxy = currentProxy();
    if (!proxy) throw GlobalSettingsClientError::notConnected();
    auto once = std::make_shared<Once>();
    auto done = std::make_shared<RetrieveCompletion>(std::move(completion));
    asyncBoundQueue()->after(dispatchTime(DISPATCH_TIME_NOW, asyncCallLimit().count() * NSEC_PER_MSEC),
                               [once, done] {
                                   if (once->take())
                                       (*done)(std::nullopt, std::make_exception_ptr(GlobalSettingsClientError::timedOut()));
                               });
    callService(
        proxy, NRVConfigXPCProtocol::kValueForServiceType,
        {static_cast<std::int64_t>(serviceType), key, static_cast<std::int64_t>(valueType)},
        [once, done](const xpc::Values& values) {
            if (once->take()) (*done)(payloadOfReply(values), nullptr);
        },
        [once, done] {
            if (once->take())
                (*done)(std::nullopt, std::make_exception_ptr(GlobalSettingsClientError::notConnected()));
        });
}

void GlobalSettingsClient::storeValueAsync(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                                           NRVConfigServiceType serviceType, bool notify, StoreCompletion completion) {
    NRVXPCProxy proxy = currentProxy();
    if (!proxy) throw GlobalSettingsClientError::notConnected();
    auto arguments = storeArguments(value, valueType, key, serviceType, notify ? std::optional(sender_) : std::nullopt);
    if (!arguments) throw GlobalSettingsClientError::keyNotSet();
    auto once = std::make_shared<Once>();
    auto done = std::make_shared<StoreCompletion>(std::move(completion));
    asyncBoundQueue()->after(dispatchTime(DISPATCH_TIME_NOW, asyncCallLimit().count() * NSEC_PER_MSEC),
                               [once, done] {
                                   if (once->take()) (*done)(std::make_exception_ptr(GlobalSettingsClientError::timedOut()));
                               });
    callService(
        proxy, NRVConfigXPCProtocol::kSetValueForServiceType, std::move(*arguments),
        [once, done](const xpc::Values& values) {
            if (!once->take()) return;
            (*done)(errorTextOfReply(values) ? std::make_exception_ptr(GlobalSettingsClientError::keyNotSet()) : nullptr);
        },
        [once, done] {
            if (once->take()) (*done)(std::make_exception_ptr(GlobalSettingsClientError::notConnected()));
        });
}
