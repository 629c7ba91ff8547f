// Feeds arbitrary keychain files to the public open and unlock, with a fixed
// password: the header, the wrapped key and the items. The input is the
// file without its checksum (everything before it, then the final 32-byte
// tag); the target puts the right checksum in between, so mutations reach
// the parser instead of stopping at the checksum.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/sha256.h"
#include "fuzz/FuzzSupport.h"
#include "platform/keychain/Keychain.h"

namespace kc = platform::keychain;

namespace {

constexpr std::size_t kDigestLength = 32;
constexpr std::size_t kIterationsOffset = 12;  // after the magic and the version
// Files asking for more key derivation than this are skipped: the reader
// accepts up to ten million rounds by design, which only makes runs slow.
constexpr std::uint32_t kMaxIterationsFuzzed = 1000;
constexpr char kPassword[] = "fuzz password";

std::uint32_t iterationsOf(const std::uint8_t* data, std::size_t size) {
    if (size < kIterationsOffset + 4) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(data[kIterationsOffset + i]) << (8 * i);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kDigestLength || size > (1u << 20)) return 0;
    if (iterationsOf(data, size) > kMaxIterationsFuzzed) return 0;
    const std::size_t bodyLength = size - kDigestLength;
    std::string file(reinterpret_cast<const char*>(data), bodyLength);
    unsigned char digest[kDigestLength];
    sha256(data, static_cast<std::uint32_t>(bodyLength), digest);
    file.append(reinterpret_cast<const char*>(digest), kDigestLength);
    file.append(reinterpret_cast<const char*>(data + bodyLength), kDigestLength);

    static const std::string path = fuzz::scratchFolder() + "/fuzz.keychain";
    fuzz::replaceFile(path, file, 0600);
    auto keychain = kc::Keychain::open(path);
    keychain->lock();
    (void)keychain->check();
    NRVValue metadata;
    (void)keychain->metadataValue("trust", &metadata);
    platform::Error error;
    const bool unlocked = keychain->unlock(kPassword, &error);
    // Every refusal names its status.
    if (!unlocked && error.status == kc::status::success) __builtin_trap();
    for (kc::ItemClass itemClass : {kc::ItemClass::GenericPassword, kc::ItemClass::Certificate,
                                    kc::ItemClass::PublicKey, kc::ItemClass::PrivateKey,
                                    kc::ItemClass::SymmetricKey}) {
        std::vector<kc::Item> items;
        if (!keychain->find(itemClass, {}, 1000, &items)) continue;
        for (const kc::Item& item : items) {
            kc::Item copy;
            if (!keychain->copyItem(item.id, &copy)) __builtin_trap();
            if (unlocked && item.hasSecret) {
                kc::SecureBytes secret;
                (void)keychain->copySecret(item.id, &secret);
            }
        }
    }
    return 0;
}
