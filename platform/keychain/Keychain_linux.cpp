#include "platform/keychain/Keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/crypto/OpenSSLState.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fd/ScopedFD.h"
#include "platform/keychain/KeychainCrypto.h"
#include "platform/keychain/KeychainFile.h"
#include "platform/keychain/KeychainFormat.h"
#include "platform/keychain/KeychainState.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace platform::keychain {

using namespace detail;

namespace {

std::atomic<std::uint32_t> gIterations{Keychain::kDefaultIterationCount};

platform::Mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<Keychain>>& registry() REQUIRES(gRegistryMutex) {
    static platform::NoDestructor<std::map<std::string, std::weak_ptr<Keychain>>> map;
    return *map;
}

}  // namespace

Keychain::Keychain(std::string path) : path_(std::move(path)), state_(std::make_unique<State>()) {}
Keychain::~Keychain() = default;

std::shared_ptr<Keychain> Keychain::shared(const std::string& path) {
    platform::MutexLock lock(gRegistryMutex);
    auto& map = registry();
    for (auto it = map.begin(); it != map.end();) {  // drop entries of keychains no one holds
        if (it->second.expired() && it->first != path) it = map.erase(it);
        else ++it;
    }
    if (auto existing = map[path].lock()) return existing;
    std::shared_ptr<Keychain> made(new Keychain(path));
    map[path] = made;
    return made;
}

void Keychain::setIterationCountForNewKeychains(std::uint32_t count) {
    gIterations.store(std::clamp<std::uint32_t>(count, 1, kMaxIterations));
}
std::uint32_t Keychain::iterationCountForNewKeychains() { return gIterations.load(); }

std::shared_ptr<Keychain> Keychain::open(const std::string& path) { return shared(path); }

bool Keychain::create(const std::string& path, std::string_view password, std::shared_ptr<Keychain>* out,
                      platform::Error* error) {
    if (path.empty()) return fail(error, status::param);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return fail(error, status::duplicateKeychain);

    State fresh;
    fresh.header.iterations = gIterations.load();
    fresh.masterKey = SecureBytes(kKeyLength);
    if (!randomBytes(fresh.header.salt, kSaltLength) || !randomBytes(fresh.masterKey.data(), kKeyLength))
        return fail(error, status::internalComponent);
    std::optional<SecureBytes> wrapKey = deriveKey(password, fresh.header.salt, fresh.header.iterations);
    std::vector<std::uint8_t> wrapped;
    if (!wrapKey || !sealGCM(*wrapKey, headerAad(fresh.header), fresh.masterKey.span(), fresh.header.wrapIv, &wrapped,
                             fresh.header.wrapTag))
        return fail(error, status::internalComponent);
    std::memcpy(fresh.header.wrappedKey, wrapped.data(), kKeyLength);
    SecureBytes checkKey = subkey(fresh.masterKey, "nerova keychain password check");
    fresh.passwordCheck = SecureBytes(kDigestLength);
    hmacSHA256(checkKey.span(), {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()},
               fresh.passwordCheck.data());

    std::string tempPath;
    ScopedFD tempFD;
    if (!writeTemporary(path, fresh, &tempPath, &tempFD, error)) return false;
    // link() never replaces: whoever created the path first wins, and the
    // file appears complete or not at all.
    int linked = ::link(tempPath.c_str(), path.c_str());
    int linkError = errno;
    ::unlink(tempPath.c_str());
    if (linked != 0) {
        return linkError == EEXIST ? fail(error, status::duplicateKeychain)
                                   : failCall(error, "link", linkError, path);
    }
    syncFolder(folderOf(path));
    fresh.loaded = takeIdentity(tempFD.get(), fresh);

    std::shared_ptr<Keychain> keychain = shared(path);
    {
        platform::MutexLock lock(keychain->mutex_);
        *keychain->state_ = std::move(fresh);
    }
    *out = std::move(keychain);
    return true;
}

bool Keychain::check(platform::Error* error) {
    platform::MutexLock lock(mutex_);
    return refresh(path_, *state_, error);
}

bool Keychain::unlock(std::string_view password, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    if (!refresh(path_, s, error)) return false;
    auto passwordBytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(password.data()),
                                                       password.size());
    if (!s.masterKey.empty()) {
        // Already open: a cheap comparison instead of another key derivation.
        SecureBytes checkKey = subkey(s.masterKey, "nerova keychain password check");
        std::uint8_t check[kDigestLength];
        hmacSHA256(checkKey.span(), passwordBytes, check);
        bool same = CRYPTO_memcmp(check, s.passwordCheck.data(), kDigestLength) == 0;
        secureWipe(check, sizeof check);
        if (same) return true;
    }
    std::optional<SecureBytes> wrapKey = deriveKey(password, s.header.salt, s.header.iterations);
    if (!wrapKey) return fail(error, status::internalComponent);
    SecureBytes master;
    if (!openGCM(*wrapKey, headerAad(s.header), s.header.wrapIv, {s.header.wrappedKey, kKeyLength}, s.header.wrapTag,
                 &master))
        return fail(error, status::authFailed);
    if (!fileTagMatches(s, master)) {
        // The password is right, so the content was changed by someone
        // without the master key.
        s.loaded = false;
        return fail(error, status::invalidKeychain);
    }
    SecureBytes checkKey = subkey(master, "nerova keychain password check");
    s.passwordCheck = SecureBytes(kDigestLength);
    hmacSHA256(checkKey.span(), passwordBytes, s.passwordCheck.data());
    s.masterKey = std::move(master);
    return true;
}

void Keychain::lock() {
    platform::MutexLock lock(mutex_);
    state_->masterKey.clear();
    state_->passwordCheck.clear();
}

bool Keychain::isUnlocked() {
    platform::MutexLock lock(mutex_);
    refresh(path_, *state_, nullptr);
    return !state_->masterKey.empty();
}

bool Keychain::deleteFile(platform::Error* error) {
    platform::MutexLock lock(mutex_);
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0) return failCall(error, "lstat", errno, path_);
    if (!S_ISREG(st.st_mode)) return fail(error, status::invalidKeychain);
    ScopedFD fileLock;
    if (!lockKeychain(path_, &fileLock, error)) return false;
    if (::unlink(path_.c_str()) != 0) return failCall(error, "unlink", errno, path_);
    ::unlink((path_ + ".lock").c_str());
    syncFolder(folderOf(path_));
    state_->reset();
    return true;
}

bool Keychain::find(ItemClass itemClass, const Query& query, std::size_t limit, std::vector<Item>* out,
                    platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    out->clear();
    if (!refresh(path_, s, error)) return false;
    auto matches = [&](const Item& item) {
        if (item.itemClass != itemClass) return false;
        for (const auto& [tag, value] : query) {
            const NRVValue* have = item.attributes.find(tag);
            if (!(have ? *have == value : value.isNull())) return false;
        }
        return true;
    };
    if (query.empty() || query.front().second.isNull()) {
        for (const auto& [id, stored] : s.items) {
            if (out->size() >= limit) break;
            if (matches(stored.item)) out->push_back(stored.item);
        }
    } else {
        auto range = s.index.equal_range(indexKey(itemClass, query.front().first, query.front().second));
        std::vector<std::uint64_t> ids;
        for (auto it = range.first; it != range.second; ++it) ids.push_back(it->second);
        std::sort(ids.begin(), ids.end());
        for (std::uint64_t id : ids) {
            if (out->size() >= limit) break;
            const Item& item = s.items.at(id).item;
            if (matches(item)) out->push_back(item);
        }
    }
    return out->empty() ? fail(error, status::itemNotFound) : true;
}

bool Keychain::copyItem(std::uint64_t id, Item* out, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    if (!refresh(path_, s, error)) return false;
    auto it = s.items.find(id);
    if (it == s.items.end()) return fail(error, status::invalidItemRef);
    *out = it->second.item;
    return true;
}

namespace {

bool collides(const Keychain::State& s, const Item& candidate) {
    const UniqueRow* row = uniqueRow(candidate.itemClass);
    if (!row) return false;
    auto valueOf = [](const Item& item, const char* tag) {
        const NRVValue* v = item.attributes.find(tag);
        return v ? *v : NRVValue();
    };
    const NRVValue first = valueOf(candidate, row->tags[0]);
    auto check = [&](const Item& other) {
        if (other.id == candidate.id || other.itemClass != candidate.itemClass) return false;
        for (const char* tag : row->tags) {
            if (tag && !(valueOf(other, tag) == valueOf(candidate, tag))) return false;
        }
        return true;
    };
    if (first.isNull()) {
        for (const auto& [id, stored] : s.items)
            if (check(stored.item)) return true;
        return false;
    }
    auto range = s.index.equal_range(indexKey(candidate.itemClass, row->tags[0], first));
    for (auto it = range.first; it != range.second; ++it)
        if (check(s.items.at(it->second).item)) return true;
    return false;
}

bool sealSecret(const Keychain::State& s, StoredItem& stored, std::span<const std::uint8_t> secret) {
    std::vector<std::uint8_t> aad = secretAad(stored.item.itemClass, stored.item.id);
    stored.item.hasSecret = true;
    return sealGCM(s.masterKey, aad, secret, stored.iv, &stored.cipher, stored.tag);
}

}  // namespace

// Runs one change under the file lock on a state brought up to date, and
// writes the result; on any failure the state is dropped and read again by
// the next call, so memory never holds a change the file does not. The
// change answers success or the status it failed with.
template <class Change>
static bool commitChange(const std::string& path, Keychain::State& s, platform::Error* error, Change&& change) {
    ScopedFD lock, fd;
    if (!lockKeychain(path, &lock, error)) return false;
    if (!openForReading(path, &fd, error)) {
        s.loaded = false;
        return false;
    }
    if (!loadFrom(fd.get(), s, error)) return false;
    if (s.masterKey.empty()) return fail(error, status::interactionNotAllowed);
    if (Status rc = change(); rc != status::success) {
        s.loaded = false;
        return fail(error, rc);
    }
    std::string tempPath;
    ScopedFD tempFD;
    if (!writeTemporary(path, s, &tempPath, &tempFD, error)) {
        s.loaded = false;
        return false;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(tempPath.c_str());
        s.loaded = false;
        return failCall(error, "rename", code, path);
    }
    syncFolder(folderOf(path));
    if (!takeIdentity(tempFD.get(), s)) s.loaded = false;
    return true;
}

bool Keychain::add(ItemClass itemClass, NRVDictionary attributes, std::optional<std::span<const std::uint8_t>> secret,
                   std::uint64_t* newId, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    std::uint64_t id = 0;
    bool added = commitChange(path_, s, error, [&]() -> Status {
        StoredItem stored;
        stored.item.id = s.nextId;
        stored.item.itemClass = itemClass;
        stored.item.attributes = std::move(attributes);
        if (collides(s, stored.item)) return status::duplicateItem;
        if (secret && !sealSecret(s, stored, *secret)) return status::internalComponent;
        id = s.nextId++;
        indexItem(s, stored.item);
        s.items.emplace(id, std::move(stored));
        return status::success;
    });
    if (added && newId) *newId = id;
    return added;
}

bool Keychain::modify(std::uint64_t id, const NRVDictionary& changes,
                      std::optional<std::span<const std::uint8_t>> secret, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, error, [&]() -> Status {
        auto it = s.items.find(id);
        if (it == s.items.end()) return status::invalidItemRef;
        StoredItem& stored = it->second;
        Item changed = stored.item;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (changes.valueAt(i).isNull()) changed.attributes.erase(changes.keyAt(i));
            else changed.attributes.set(changes.keyAt(i), changes.valueAt(i));
        }
        if (collides(s, changed)) return status::duplicateItem;
        unindexItem(s, stored.item);
        stored.item.attributes = std::move(changed.attributes);
        indexItem(s, stored.item);
        if (secret && !sealSecret(s, stored, *secret)) return status::internalComponent;
        return status::success;
    });
}

bool Keychain::remove(std::uint64_t id, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, error, [&]() -> Status {
        auto it = s.items.find(id);
        if (it == s.items.end()) return status::itemNotFound;
        unindexItem(s, it->second.item);
        s.items.erase(it);
        return status::success;
    });
}

bool Keychain::copySecret(std::uint64_t id, SecureBytes* out, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    out->clear();
    if (!refresh(path_, s, error)) return false;
    if (s.masterKey.empty()) return fail(error, status::interactionNotAllowed);
    auto it = s.items.find(id);
    if (it == s.items.end()) return fail(error, status::invalidItemRef);
    const StoredItem& stored = it->second;
    if (!stored.item.hasSecret) return true;
    if (!openGCM(s.masterKey, secretAad(stored.item.itemClass, id), stored.iv, stored.cipher, stored.tag, out))
        return fail(error, status::invalidKeychain);
    return true;
}

bool Keychain::metadataValue(const std::string& key, NRVValue* out, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    if (!refresh(path_, s, error)) return false;
    const NRVValue* v = s.metadata.find(key);
    *out = v ? *v : NRVValue();
    return true;
}

bool Keychain::setMetadataValue(const std::string& key, NRVValue value, platform::Error* error) {
    platform::MutexLock lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, error, [&]() -> Status {
        if (value.isNull()) s.metadata.erase(key);
        else s.metadata.set(key, std::move(value));
        return status::success;
    });
}

}  // namespace platform::keychain
