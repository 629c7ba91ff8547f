// The programs' way to read and write the product's shared settings, kept by
// the settings service "com.nerova.configxpc". Values travel wrapped in an
// NRVConfigData record; the service's change notification
// "QRBGlobalSettingsDidChangeNotification" feeds a change handler, a delegate
// and any number of watches.
//
// Threading and lifetime. Make a client with create() and hold it by
// shared_ptr; every method may be called from any thread. The synchronous
// retrieve/store block their caller for at most kSyncCallLimit (500 ms) and
// must not be called on the named-service client's queues. Every read and
// write throws notConnected at once while no connection is held. The
// asynchronous forms answer through a std::future that is always satisfied: by the reply,
// by the loss of the connection, or by timedOut once asyncCallLimit() (30 s
// unless changed) has passed; a reply that arrives after its call gave up is
// dropped. The connect callback runs on the named-service client's status
// queue. Change handlers and watches run on the distributed-notification
// delivery queue, in delivery order; delegate calls run one at a time on the
// client's own delegate queue and may come after the handler heard of the
// same change. The destructor unsubscribes the change notification, clears
// the handler, the delegate and the watches, waits for a handler or watch
// that is running on another thread and drains the delegate queue: once it
// has returned, nothing of the client calls out any more.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/value/NRVValue.h"

class NRVXPCClientHelper;
class NRVDistributedNotification;

// Names the settings domain of the service a call is meant for: 1 holds the
// management-communication settings, 2 the update settings.
using NRVConfigServiceType = std::uint64_t;

// The errors the client throws (and sets on its futures).
class GlobalSettingsClientError : public std::exception {
public:
    enum class Case : int { notConnected = 0, timedOut = 1, keyNotSet = 2 };

    static GlobalSettingsClientError notConnected() { return GlobalSettingsClientError(Case::notConnected); }
    static GlobalSettingsClientError timedOut() { return GlobalSettingsClientError(Case::timedOut); }
    static GlobalSettingsClientError keyNotSet() { return GlobalSettingsClientError(Case::keyNotSet); }

    Case kind() const { return kind_; }
    int code() const { return static_cast<int>(kind_); }
    const char* what() const noexcept override;
    bool operator==(const GlobalSettingsClientError& other) const { return kind_ == other.kind_; }

private:
    explicit GlobalSettingsClientError(Case kind) : kind_(kind) {}
    Case kind_;
};

// A change the service announced: the key and its new value (a null value
// when the service sent nil).
struct GlobalSettingsChange {
    std::string key;
    NRVValue value;
};

class GlobalSettingsClientDelegate {
public:
    virtual ~GlobalSettingsClientDelegate() = default;
    // true while the client holds a connection to the service.
    virtual void connectionStatusChanged(bool connected) = 0;
    virtual void settingChanged(const std::string& key, const NRVValue& value) = 0;
};

// The value-type code each read and write names: 2 signed word-size integer
// (std::int64_t), 3 unsigned word-size integer (unsigned long long, kept
// apart from std::uint64_t), 10 the explicitly 64-bit unsigned integer
// (std::uint64_t), 4 double, 5 bool, 6 string, 7 any array, 8 any
// dictionary, 9 data, 1 anything else.
namespace GlobalSettingsValueTypes {

template <class T>
struct IsArray : std::false_type {};
template <>
struct IsArray<NRVArray> : std::true_type {};
template <class E, class A>
struct IsArray<std::vector<E, A>> : std::true_type {};
template <class T>
struct IsDictionary : std::false_type {};
template <>
struct IsDictionary<NRVDictionary> : std::true_type {};
template <class K, class V, class C, class A>
struct IsDictionary<std::map<K, V, C, A>> : std::true_type {};

template <class T>
constexpr std::uint64_t getValueType() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) return 5;
    else if constexpr (std::is_same_v<U, std::int64_t> || std::is_same_v<U, long long>) return 2;
    else if constexpr (std::is_same_v<U, unsigned long long> && !std::is_same_v<U, std::uint64_t>) return 3;
    else if constexpr (std::is_same_v<U, std::uint64_t>) return 10;
    else if constexpr (std::is_same_v<U, double>) return 4;
    else if constexpr (std::is_same_v<U, std::string>) return 6;
    // NRVData is a vector of bytes here: it must be told apart before arrays.
    else if constexpr (std::is_same_v<U, NRVData>) return 9;
    else if constexpr (IsArray<U>::value) return 7;
    else if constexpr (IsDictionary<U>::value) return 8;
    else return 1;
}

// The payload as the requested type; nullopt when it holds another kind.
// Numbers convert between integer and floating kinds only without loss.
std::optional<std::int64_t> castInteger(const NRVValue& value);
std::optional<std::uint64_t> castUnsigned(const NRVValue& value);
std::optional<double> castDouble(const NRVValue& value);

template <class T>
std::optional<T> cast(const NRVValue& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, NRVValue>) {
        if (value.isNull()) return std::nullopt;
        return value;
    } else if constexpr (std::is_same_v<U, bool>) {
        if (const bool* b = value.asBool()) return *b;
        return std::nullopt;
    } else if constexpr (std::is_same_v<U, std::int64_t> || std::is_same_v<U, long long>) {
        auto v = castInteger(value);
        if (!v) return std::nullopt;
        return static_cast<U>(*v);
    } else if constexpr (std::is_same_v<U, std::uint64_t> || std::is_same_v<U, unsigned long long>) {
        auto v = castUnsigned(value);
        if (!v) return std::nullopt;
        return static_cast<U>(*v);
    } else if constexpr (std::is_same_v<U, double>) {
        return castDouble(value);
    } else if constexpr (std::is_same_v<U, std::string>) {
        if (const std::string* s = value.asString()) return *s;
        return std::nullopt;
    } else if constexpr (std::is_same_v<U, NRVArray>) {
        if (const NRVArray* a = value.asArray()) return *a;
        return std::nullopt;
    } else if constexpr (std::is_same_v<U, NRVDictionary>) {
        if (const NRVDictionary* d = value.asDictionary()) return *d;
        return std::nullopt;
    } else if constexpr (std::is_same_v<U, NRVData>) {
        if (const NRVData* d = value.asData()) return *d;
        return std::nullopt;
    } else if constexpr (std::is_same_v<U, NRVDate>) {
        if (const NRVDate* d = value.asDate()) return *d;
        return std::nullopt;
    } else {
        static_assert(sizeof(U) == 0, "settings values are property-list values");
    }
}

}  // namespace GlobalSettingsValueTypes

// What the collection driver (and any stand-in for the client) calls. The
// typed reads and writes are templates over the type-erased calls below.
class GlobalSettingsClientProtocol {
public:
    using ConnectCallback = std::function<void(bool isFirstConnection)>;
    using SettingsChangedHandler = std::function<void(const std::string& key, const NRVValue& value)>;
    // Exactly one of the two is set.
    using RetrieveCompletion = std::function<void(std::optional<NRVValue> payload, std::exception_ptr error)>;
    using StoreCompletion = std::function<void(std::exception_ptr error)>;

    virtual ~GlobalSettingsClientProtocol() = default;

    // Starts connecting and returns at once. The callback hears true on the
    // first connection and false on each reconnection; never on a loss.
    virtual void connect(ConnectCallback callback) = 0;
    // Ready once the first connection is up.
    virtual std::future<void> connect() = 0;
    virtual void setDelegate(std::shared_ptr<GlobalSettingsClientDelegate> delegate) = 0;
    virtual void setSettingsChangedHandler(SettingsChangedHandler handler) = 0;

    // The payload of `key` (nullopt: not set), asking for value-type `valueType`.
    // Throws GlobalSettingsClientError.
    virtual std::optional<NRVValue> retrieveValue(const std::string& key, NRVConfigServiceType serviceType,
                                                  std::uint64_t valueType) = 0;
    virtual void storeValue(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                            NRVConfigServiceType serviceType, bool notify) = 0;
    // The completion runs once, on the connection's queue or the client's timer.
    virtual void retrieveValueAsync(const std::string& key, NRVConfigServiceType serviceType, std::uint64_t valueType,
                                    RetrieveCompletion completion) = 0;
    virtual void storeValueAsync(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                                 NRVConfigServiceType serviceType, bool notify, StoreCompletion completion) = 0;

    // nullopt when the key is not set or holds another kind of value.
    template <class T>
    std::optional<T> retrieve(const std::string& key, NRVConfigServiceType serviceType) {
        auto payload = retrieveValue(key, serviceType, GlobalSettingsValueTypes::getValueType<T>());
        if (!payload) return std::nullopt;
        return GlobalSettingsValueTypes::cast<T>(*payload);
    }
    template <class T>
    std::future<std::optional<T>> retrieveAsync(const std::string& key, NRVConfigServiceType serviceType) {
        auto promise = std::make_shared<std::promise<std::optional<T>>>();
        auto future = promise->get_future();
        retrieveValueAsync(key, serviceType, GlobalSettingsValueTypes::getValueType<T>(),
                           [promise](std::optional<NRVValue> payload, std::exception_ptr error) {
                               if (error) return promise->set_exception(error);
                               if (!payload) return promise->set_value(std::nullopt);
                               promise->set_value(GlobalSettingsValueTypes::cast<T>(*payload));
                           });
        return future;
    }
    // Throws keyNotSet when the service refuses the value.
    template <class T>
    void store(const T& value, const std::string& key, NRVConfigServiceType serviceType, bool notify) {
        storeValue(NRVValue(value), GlobalSettingsValueTypes::getValueType<T>(), key, serviceType, notify);
    }
    template <class T>
    std::future<void> storeAsync(const T& value, const std::string& key, NRVConfigServiceType serviceType,
                                 bool notify) {
        auto promise = std::make_shared<std::promise<void>>();
        auto future = promise->get_future();
        storeValueAsync(NRVValue(value), GlobalSettingsValueTypes::getValueType<T>(), key, serviceType, notify,
                        [promise](std::exception_ptr error) {
                            if (error) return promise->set_exception(error);
                            promise->set_value();
                        });
        return future;
    }
};

// A watch of one key; the watch ends when this goes away (or cancel()).
class GlobalSettingsWatch {
public:
    virtual ~GlobalSettingsWatch() = default;
    virtual void cancel() = 0;
};

class GlobalSettingsClient : public GlobalSettingsClientProtocol {
public:
    static constexpr const char* kServiceName = "com.nerova.configxpc";
    static constexpr const char* kDidChangeNotification = "QRBGlobalSettingsDidChangeNotification";
    static constexpr const char* kKeyModified = "QRBGlobalSettingsKeyModified";
    static constexpr const char* kNewValue = "QRBGlobalSettingsNewValue";
    static constexpr std::chrono::milliseconds kSyncCallLimit{500};
    static constexpr std::chrono::milliseconds kDefaultAsyncCallLimit{30000};

    // Subscribes to the change notification; does not connect.
    static std::shared_ptr<GlobalSettingsClient> create(std::shared_ptr<NRVXPCClientHelper> xpcClientHelper,
                                                        std::shared_ptr<NRVDistributedNotification> distributedNotification,
                                                        std::string sender);
    ~GlobalSettingsClient() override;
    GlobalSettingsClient(const GlobalSettingsClient&) = delete;
    GlobalSettingsClient& operator=(const GlobalSettingsClient&) = delete;

    void connect(ConnectCallback callback) override;
    std::future<void> connect() override;
    void setDelegate(std::shared_ptr<GlobalSettingsClientDelegate> delegate) override;
    void setSettingsChangedHandler(SettingsChangedHandler handler) override;

    std::optional<NRVValue> retrieveValue(const std::string& key, NRVConfigServiceType serviceType,
                                          std::uint64_t valueType) override;
    void storeValue(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                    NRVConfigServiceType serviceType, bool notify) override;
    void retrieveValueAsync(const std::string& key, NRVConfigServiceType serviceType, std::uint64_t valueType,
                            RetrieveCompletion completion) override;
    void storeValueAsync(const NRVValue& value, std::uint64_t valueType, const std::string& key,
                         NRVConfigServiceType serviceType, bool notify, StoreCompletion completion) override;

    // Changes of `key` (exact text) that arrive after the call, each value as
    // T (nullopt when it is of another kind).
    template <class T>
    std::unique_ptr<GlobalSettingsWatch> watch(const std::string& key, std::function<void(std::optional<T>)> receiver) {
        return addWatch(key, [receiver = std::move(receiver)](const NRVValue& value) {
            receiver(GlobalSettingsValueTypes::cast<T>(value));
        });
    }
    // The same for a type built from a raw value: nullopt when the value is
    // not a Raw or fromRawValue refuses it.
    template <class T, class Raw>
    std::unique_ptr<GlobalSettingsWatch> watch(const std::string& key,
                                               std::function<std::optional<T>(const Raw&)> fromRawValue,
                                               std::function<void(std::optional<T>)> receiver) {
        return addWatch(key, [fromRawValue = std::move(fromRawValue), receiver = std::move(receiver)](const NRVValue& value) {
            auto raw = GlobalSettingsValueTypes::cast<Raw>(value);
            receiver(raw ? fromRawValue(*raw) : std::nullopt);
        });
    }

    // The bound of the asynchronous forms.
    void setAsyncCallLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds asyncCallLimit() const;
    // Replaces kSyncCallLimit for this client's synchronous calls, so that a
    // test that is not about the bound holds on a loaded machine.
    void setSyncCallLimitForUnitTest(std::chrono::milliseconds limit);
    bool isConnected() const;

    struct Shared;

private:
    GlobalSettingsClient(std::shared_ptr<NRVXPCClientHelper> xpcClientHelper,
                         std::shared_ptr<NRVDistributedNotification> distributedNotification, std::string sender);
    std::unique_ptr<GlobalSettingsWatch> addWatch(const std::string& key, std::function<void(const NRVValue&)> receiver);
    NRVXPCProxy currentProxy() const;
    std::chrono::milliseconds syncCallLimit() const;

    const std::shared_ptr<NRVXPCClientHelper> xpcClientHelper_;
    const std::shared_ptr<NRVDistributedNotification> distributedNotification_;
    const std::string sender_;
    // Everything the connection's, the notification's and the delegate's
    // queues touch; their blocks hold it weakly.
    const std::shared_ptr<Shared> shared_;
};
