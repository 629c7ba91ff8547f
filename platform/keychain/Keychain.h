// A keychain file: certificates, keys and password items of one keychain,
// kept in one file of mode 0600.
//
// What is in the file: attributes of every item (and certificates and public
// keys, which are no secret) in clear, so that searches work while the
// keychain is locked; item secrets (passwords, private keys) sealed with
// AES-256-GCM under a random master key; the master key wrapped with a key
// derived from the keychain's password (PBKDF2-HMAC-SHA256; salt and
// iteration count in the header); a SHA-256 checksum over everything and an
// HMAC under a key taken from the master key. A file that is truncated, of
// another version, fails its checksum, or (once the master key is known)
// fails its authentication tag is refused as a whole, never half read. A
// symbolic link at the path is refused, and files are read with a size cap.
//
// Changes: every change rewrites the whole file (temporary file in the same
// folder, fsync, rename) while holding an exclusive flock on the current
// file, so writers in several processes never lose each other's changes. A
// change needs the keychain unlocked (the file's tag is made with the master
// key); on a locked keychain it answers interactionNotAllowed, as the
// platform does when it may not ask the user.
//
// Errors: every call that can fail answers false and, when given an error,
// fills it in (KeychainStatus.h): the status number in `status`, and for a
// failed system call the call and its errno as well.
//
// Threading: one Keychain object exists per path in a process (open() and
// create() hand out the shared one); every member may be called from any
// thread and runs under the object's mutex. The file is read again whenever
// it changed on disk since this process last read or wrote it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/error/Error.h"
#include "platform/keychain/KeychainStatus.h"
#include "platform/keychain/SecureBytes.h"
#include "platform/thread/Mutex.h"
#include "platform/value/NRVValue.h"

namespace platform::keychain {

enum class ItemClass : std::uint32_t {
    GenericPassword = 0x67656e70,  // 'genp'
    Certificate = 0x80001000,
    PublicKey = 0x0000000F,
    PrivateKey = 0x00000010,
    SymmetricKey = 0x00000011,
};

struct Item {
    std::uint64_t id = 0;  // unique within the file, never reused
    ItemClass itemClass = ItemClass::GenericPassword;
    NRVDictionary attributes;
    bool hasSecret = false;
};

// Attribute tag and the value it must equal; all constraints must hold.
using Query = std::vector<std::pair<std::string, NRVValue>>;

class Keychain {
public:
    // Creates a new file (duplicateKeychain when something is at the path,
    // a link included) and hands out the unlocked keychain. The password is
    // taken as its UTF-8 bytes, whatever their number.
    static bool create(const std::string& path, std::string_view password, std::shared_ptr<Keychain>* out,
                       platform::Error* error = nullptr);
    // The keychain at the path, locked unless this process already unlocked
    // it; touches no file (a missing file shows in the first use).
    static std::shared_ptr<Keychain> open(const std::string& path);

    // Iteration count written into new files (existing files keep theirs).
    static void setIterationCountForNewKeychains(std::uint32_t count);
    static std::uint32_t iterationCountForNewKeychains();
    // About 100 ms of PBKDF2-HMAC-SHA256 per unlock on the build machine
    // (keychain_bench prints the cost around it).
    static constexpr std::uint32_t kDefaultIterationCount = 500000;

    const std::string& path() const { return path_; }

    bool unlock(std::string_view password, platform::Error* error = nullptr);
    void lock();
    bool isUnlocked();
    // Reads the file if it changed: success, or why it cannot be used.
    bool check(platform::Error* error = nullptr);
    // Removes the file and forgets the master key.
    bool deleteFile(platform::Error* error = nullptr);

    // Items of the class meeting every constraint, in the order they were
    // added, at most `limit` of them; itemNotFound when there are none.
    bool find(ItemClass itemClass, const Query& query, std::size_t limit, std::vector<Item>* out,
              platform::Error* error = nullptr);
    // The item with the id (invalidItemRef when it is gone).
    bool copyItem(std::uint64_t id, Item* out, platform::Error* error = nullptr);
    // duplicateItem when an item of the class has the same unique attributes
    // (generic passwords: service and account; certificates: issuer and
    // serial number; keys: key class, application label and tag).
    bool add(ItemClass itemClass, NRVDictionary attributes, std::optional<std::span<const std::uint8_t>> secret,
             std::uint64_t* newId = nullptr, platform::Error* error = nullptr);
    // Sets the given attributes (a null value removes one) and, when given,
    // replaces the secret.
    bool modify(std::uint64_t id, const NRVDictionary& changes,
                std::optional<std::span<const std::uint8_t>> secret = std::nullopt, platform::Error* error = nullptr);
    bool remove(std::uint64_t id, platform::Error* error = nullptr);
    // The item's secret; empty when it has none. Needs the keychain unlocked.
    bool copySecret(std::uint64_t id, SecureBytes* out, platform::Error* error = nullptr);

    // Keychain-wide values (such as trust settings), in clear.
    bool metadataValue(const std::string& key, NRVValue* out, platform::Error* error = nullptr);
    bool setMetadataValue(const std::string& key, NRVValue value, platform::Error* error = nullptr);

    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    struct State;

private:
    explicit Keychain(std::string path);
    static std::shared_ptr<Keychain> shared(const std::string& path);

    std::string path_;
    platform::Mutex mutex_;
    std::unique_ptr<State> state_ GUARDED_BY(mutex_);
};

}  // namespace platform::keychain
