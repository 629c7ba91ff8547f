// The settings service: an in-memory store per service type, seeded from a
// property list and from the command line, answering the settings protocol
// and posting the change notification when a write names a sender.
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "FakeProtocols.h"
#include "FakeService.h"
#include "ipc/xpc/NRVConfigData.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "platform/plist/PropertyList.h"
#include "settings-client/GlobalSettingsClient.h"
#include "settings-client/NRVConfigXPCProtocol.h"
#include "settings-client/SPACipher.h"

namespace fake {

using platform::xpc::CodedRecord;
using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;
namespace P = NRVConfigXPCProtocol;

namespace {

// Service type -> key -> value.
class Store {
public:
    void set(std::uint64_t type, const std::string& key, NRVValue value) {
        std::lock_guard<std::mutex> lock(mutex_);
        domains_[type].set(key, std::move(value));
    }
    std::optional<NRVValue> get(std::uint64_t type, const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        const NRVValue* v = domains_[type].find(key);
        if (!v) return std::nullopt;
        return *v;
    }
    void remove(std::uint64_t type, const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        domains_[type].erase(key);
    }
    NRVDictionary domain(std::uint64_t type) {
        std::lock_guard<std::mutex> lock(mutex_);
        return domains_[type];
    }

private:
    std::mutex mutex_;
    std::map<std::uint64_t, NRVDictionary> domains_;
};

// "<type>:<key>=<value>"
bool parseAssignment(const std::string& text, std::uint64_t& type, std::string& key, std::string& value) {
    const auto colon = text.find(':');
    const auto equals = text.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || equals == std::string::npos || colon == 0) return false;
    try {
        type = std::stoull(text.substr(0, colon));
    } catch (...) {
        return false;
    }
    key = text.substr(colon + 1, equals - colon - 1);
    value = text.substr(equals + 1);
    return !key.empty();
}

// The seed: a dictionary whose keys are service types ("1", "2") and whose
// values are dictionaries of settings.
bool seed(Store& store, const Options& options) {
    if (options.seed) {
        platform::Error error;
        auto root = platform::plist::readFile(*options.seed, &error);
        const NRVDictionary* domains = root ? root->asDictionary() : nullptr;
        if (!domains) {
            std::cerr << "nrv-fake-service: unreadable seed " << *options.seed << " " << error.description << "\n";
            return false;
        }
        for (std::size_t i = 0; i < domains->size(); ++i) {
            const NRVDictionary* settings = domains->valueAt(i).asDictionary();
            std::uint64_t type = 0;
            try {
                type = std::stoull(domains->keyAt(i));
            } catch (...) {
                settings = nullptr;
            }
            if (!settings) {
                std::cerr << "nrv-fake-service: seed entry " << domains->keyAt(i) << " is not a service type\n";
                return false;
            }
            for (std::size_t j = 0; j < settings->size(); ++j) store.set(type, settings->keyAt(j), settings->valueAt(j));
        }
    }
    for (const auto& [assignment, encipher] : options.settings) {
        std::uint64_t type = 0;
        std::string key, value;
        if (!parseAssignment(assignment, type, key, value)) {
            std::cerr << "nrv-fake-service: --set takes TYPE:KEY=VALUE, not " << assignment << "\n";
            return false;
        }
        if (encipher) {
            auto enciphered = encryptString(value);
            if (!enciphered) {
                std::cerr << "nrv-fake-service: cannot encipher " << value << "\n";
                return false;
            }
            value = *enciphered;
        }
        store.set(type, key, NRVValue(value));
    }
    return true;
}

Value record(const std::optional<NRVValue>& value) {
    if (!value) return Value();
    auto data = NRVConfigData::initWithPayload(*value);
    if (!data) return Value();
    return Value(CodedRecord{NRVConfigData::kClassName, data->encodeWithCoder()});
}

std::optional<NRVValue> payload(const Value& value) {
    const CodedRecord* r = value.record();
    if (!r || r->className != NRVConfigData::kClassName) return std::nullopt;
    auto data = NRVConfigData::initWithCoder(r->fields);
    if (!data) return std::nullopt;
    return data->payload();
}

std::uint64_t typeOf(const Values& a) { return static_cast<std::uint64_t>(*a[0].asInteger()); }

void postChange(const std::string& key, const NRVValue& value) {
    NRVDictionary object;
    object.set(GlobalSettingsClient::kKeyModified, key);
    object.set(GlobalSettingsClient::kNewValue, value);
    NRVDistributedNotification::notify(GlobalSettingsClient::kDidChangeNotification, NRVValue(std::move(object)));
}

}  // namespace

int runSettings(const Options& options) {
    auto store = std::make_shared<Store>();
    if (!seed(*store, options)) return 65;
    auto misbehaviour = std::make_shared<Misbehaviour>(options);
    const bool refuse = options.reply && !*options.reply;
    const bool wrongKind = options.wrongKind;
    auto object = std::make_shared<ExportedObject>();

    // Reads: nil when refusing, a number in place of any stored value for
    // --wrong-kind, else the stored value.
    auto read = [=](const Values& a, const Reply& reply) {
        std::optional<NRVValue> value = refuse ? std::nullopt : store->get(typeOf(a), *a[1].asString());
        if (value && wrongKind) value = NRVValue(42);
        misbehaviour->handle(reply, [value](const Reply& r) { r({record(value)}); });
    };
    // Writes: an error text when refusing; the change is announced when the
    // caller asked for it.
    auto write = [=](std::uint64_t type, const std::string& key, const Value& value, bool announce,
                     const Reply& reply) {
        std::optional<NRVValue> v = payload(value);
        std::optional<std::string> error;
        if (refuse) error = "The settings service refused the value";
        else if (!v) error = "The value is not a settings record";
        else {
            store->set(type, key, *v);
            if (announce) postChange(key, *v);
        }
        misbehaviour->handle(reply, [error](const Reply& r) { r({error ? Value(*error) : Value()}); });
    };

    object->on(P::kValueForServiceType, read);
    object->on(P::kObjectForServiceType, read);
    object->on(P::kSetValueForServiceType, [=](const Values& a, const Reply& reply) {
        write(typeOf(a), *a[1].asString(), a[2], !a[4].isNull(), reply);
    });
    object->on(P::kSetObjectNotify, [=](const Values& a, const Reply& reply) {
        write(typeOf(a), *a[1].asString(), a[2], *a[3].asBool(), reply);
    });
    object->on(P::kSetObjectSender, [=](const Values& a, const Reply& reply) {
        write(typeOf(a), *a[1].asString(), a[2], !a[3].isNull(), reply);
    });
    object->on(P::kRemoveObject, [=](const Values& a, const Reply& reply) {
        store->remove(typeOf(a), *a[1].asString());
        misbehaviour->handle(reply, [](const Reply& r) { r({}); });
    });
    // Blobs live in a domain of their own per service type.
    auto blobs = std::make_shared<Store>();
    object->on(P::kPersistBlob, [=](const Values& a, const Reply& reply) {
        if (!refuse) blobs->set(typeOf(a), *a[2].asString(), *a[1].plain());
        misbehaviour->handle(reply, [refuse](const Reply& r) { r({Value(!refuse)}); });
    });
    object->on(P::kDeletePersistedBlob, [=](const Values& a, const Reply& reply) {
        blobs->remove(typeOf(a), *a[1].asString());
        misbehaviour->handle(reply, [](const Reply& r) { r({Value()}); });
    });
    object->on(P::kPersistedBlobKeys, [=](const Values& a, const Reply& reply) {
        NRVArray keys;
        const NRVDictionary domain = blobs->domain(typeOf(a));
        for (const auto& key : domain.keys()) keys.push_back(NRVValue(key));
        misbehaviour->handle(reply, [keys](const Reply& r) { r({Value(keys)}); });
    });
    object->on(P::kPersistedBlob, [=](const Values& a, const Reply& reply) {
        auto blob = blobs->get(typeOf(a), *a[1].asString());
        misbehaviour->handle(reply, [blob](const Reply& r) { r({blob ? Value(*blob) : Value()}); });
    });
    object->on(P::kDictionaryRepresentation, [=](const Values& a, const Reply& reply) {
        NRVDictionary domain = store->domain(typeOf(a));
        misbehaviour->handle(reply, [domain](const Reply& r) { r({Value(domain)}); });
    });
    object->on(P::kRestoreDefaults, [=](const Values& a, const Reply& reply) {
        if (const NRVArray* keys = a[1].plain() ? a[1].plain()->asArray() : nullptr)
            for (const NRVValue& key : *keys)
                if (key.asString()) store->remove(typeOf(a), *key.asString());
        misbehaviour->handle(reply, [](const Reply& r) { r({Value()}); });
    });
    object->on(P::kVersionDictionary, [=](const Values&, const Reply& reply) {
        NRVDictionary version;
        version.set("version", "1");
        misbehaviour->handle(reply, [version](const Reply& r) { r({Value(version)}); });
    });
    object->on(P::kDefaultSubscription, [=](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [](const Reply& r) { r({Value("default")}); });
    });
    object->on(P::kValidateSettings, [=](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [](const Reply& r) { r({Value(1)}); });
    });
    object->on(P::kExecuteCommand, [=](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [](const Reply& r) { r({Value(0)}); });
    });
    object->on(P::kGetStatusJSON, [=](const Values& a, const Reply& reply) {
        NRVDictionary status;
        status.set(*a[0].asString(), "ok");
        misbehaviour->handle(reply, [status](const Reply& r) { r({Value(status), Value()}); });
    });
    object->on(P::kGetAggregatedStatusJSON, [=](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [](const Reply& r) { r({Value(NRVDictionary()), Value()}); });
    });

    NRVXPCServiceHelper::sharedHelper()->startService(GlobalSettingsClient::kServiceName, object, P::protocol());
    waitUntilRegistered(GlobalSettingsClient::kServiceName);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
