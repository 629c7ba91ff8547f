#include "platform/keychain/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fd/ScopedFD.h"

namespace platform::keychain {

void secureWipe(void* data, std::size_t length) {
    if (data && length) OPENSSL_cleanse(data, length);
}

namespace {

constexpr char kMagic[8] = {'N', 'R', 'V', 'K', 'C', 'H', 'N', '\0'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kIvLength = 12;
constexpr std::size_t kTagLength = 16;
constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kDigestLength = 32;
// Big enough for hundreds of thousands of items; a larger file is not ours.
constexpr std::uint64_t kMaxFileSize = 128ull << 20;
// A header asking for more rounds would let a planted file hang every reader.
constexpr std::uint32_t kMaxIterations = 10'000'000;
constexpr int kMaxValueDepth = 16;
constexpr int kMaxReplaceRetries = 64;

std::atomic<std::uint32_t> gIterations{Keychain::kDefaultIterationCount};

// Which attributes make an item the same item as another of its class.
struct UniqueRow {
    ItemClass itemClass;
    const char* tags[3];
};
constexpr UniqueRow kUniqueAttributes[] = {
    {ItemClass::GenericPassword, {"acct", "svce", nullptr}},
    {ItemClass::Certificate, {"issu", "snbr", nullptr}},
    {ItemClass::PublicKey, {"klbl", "atag", "type"}},
    {ItemClass::PrivateKey, {"klbl", "atag", "type"}},
    {ItemClass::SymmetricKey, {"klbl", "atag", "type"}},
};

const UniqueRow* uniqueRow(ItemClass itemClass) {
    for (const UniqueRow& row : kUniqueAttributes)
        if (row.itemClass == itemClass) return &row;
    return nullptr;
}

bool knownClass(std::uint32_t value) { return uniqueRow(static_cast<ItemClass>(value)) != nullptr; }

// ---- byte encoding

class Writer {
public:
    std::vector<std::uint8_t> bytes;
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void raw(const void* data, std::size_t n) {
        auto p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + n);
    }
    void blob(const void* data, std::size_t n) {
        u32(static_cast<std::uint32_t>(n));
        raw(data, n);
    }
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::size_t remaining() const { return data_.size() - pos_; }
    std::size_t position() const { return pos_; }
    bool u8(std::uint8_t* v) {
        if (remaining() < 1) return false;
        *v = data_[pos_++];
        return true;
    }
    bool u32(std::uint32_t* v) {
        if (remaining() < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) *v |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t* v) {
        if (remaining() < 8) return false;
        *v = 0;
        for (int i = 0; i < 8; ++i) *v |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
        pos_ += 8;
        return true;
    }
    bool raw(void* out, std::size_t n) {
        if (remaining() < n) return false;
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool blob(std::span<const std::uint8_t>* out) {
        std::uint32_t n = 0;
        if (!u32(&n) || remaining() < n) return false;
        *out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

void encodeValue(Writer& w, const NRVValue& value) {
    switch (value.type()) {
        case NRVValue::Type::Null: w.u8('n'); break;
        case NRVValue::Type::Bool: w.u8('b'); w.u8(*value.asBool() ? 1 : 0); break;
        case NRVValue::Type::Integer: w.u8('i'); w.u64(static_cast<std::uint64_t>(*value.asInteger())); break;
        case NRVValue::Type::Real: {
            std::uint64_t bits;
            std::memcpy(&bits, value.asReal(), 8);
            w.u8('r');
            w.u64(bits);
            break;
        }
        case NRVValue::Type::Date: {
            std::uint64_t bits;
            std::memcpy(&bits, &value.asDate()->sinceReferenceDate, 8);
            w.u8('t');
            w.u64(bits);
            break;
        }
        case NRVValue::Type::String: w.u8('s'); w.blob(value.asString()->data(), value.asString()->size()); break;
        case NRVValue::Type::Data: w.u8('d'); w.blob(value.asData()->data(), value.asData()->size()); break;
        case NRVValue::Type::Array:
            w.u8('a');
            w.u32(static_cast<std::uint32_t>(value.asArray()->size()));
            for (const NRVValue& v : *value.asArray()) encodeValue(w, v);
            break;
        case NRVValue::Type::Dictionary: {
            const NRVDictionary& d = *value.asDictionary();
            w.u8('D');
            w.u32(static_cast<std::uint32_t>(d.size()));
            for (std::size_t i = 0; i < d.size(); ++i) {
                w.blob(d.keyAt(i).data(), d.keyAt(i).size());
                encodeValue(w, d.valueAt(i));
            }
            break;
        }
    }
}

bool decodeValue(Reader& r, NRVValue* out, int depth) {
    if (depth > kMaxValueDepth) return false;
    std::uint8_t kind = 0;
    if (!r.u8(&kind)) return false;
    std::uint64_t bits = 0;
    std::span<const std::uint8_t> bytes;
    switch (kind) {
        case 'n': *out = NRVValue(); return true;
        case 'b': {
            std::uint8_t b = 0;
            if (!r.u8(&b) || b > 1) return false;
            *out = NRVValue(b == 1);
            return true;
        }
        case 'i':
            if (!r.u64(&bits)) return false;
            *out = NRVValue(static_cast<long long>(static_cast<std::int64_t>(bits)));
            return true;
        case 'r':
        case 't': {
            if (!r.u64(&bits)) return false;
            double d;
            std::memcpy(&d, &bits, 8);
            *out = kind == 'r' ? NRVValue(d) : NRVValue(NRVDate{d});
            return true;
        }
        case 's':
            if (!r.blob(&bytes)) return false;
            *out = NRVValue(std::string(bytes.begin(), bytes.end()));
            return true;
        case 'd':
            if (!r.blob(&bytes)) return false;
            *out = NRVValue(NRVData(bytes.begin(), bytes.end()));
            return true;
        case 'a': {
            std::uint32_t n = 0;
            if (!r.u32(&n) || n > r.remaining()) return false;  // every element takes a byte at least
            NRVArray array;
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                NRVValue v;
                if (!decodeValue(r, &v, depth + 1)) return false;
                array.push_back(std::move(v));
            }
            *out = NRVValue(std::move(array));
            return true;
        }
        case 'D': {
            std::uint32_t n = 0;
            if (!r.u32(&n) || n > r.remaining()) return false;
            NRVDictionary d;
            for (std::uint32_t i = 0; i < n; ++i) {
                NRVValue v;
                if (!r.blob(&bytes) || !decodeValue(r, &v, depth + 1)) return false;
                std::string key(bytes.begin(), bytes.end());
                if (d.contains(key)) return false;
                d.set(std::move(key), std::move(v));
            }
            *out = NRVValue(std::move(d));
            return true;
        }
        default: return false;
    }
}

// ---- cryptography

std::optional<SecureBytes> deriveKey(std::string_view password, const std::uint8_t* salt, std::uint32_t iterations) {
    SecureBytes key(kKeyLength);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, kSaltLength,
                          static_cast<int>(iterations), EVP_sha256(), kKeyLength, key.data()) != 1)
        return std::nullopt;
    return key;
}

bool randomBytes(std::uint8_t* out, std::size_t n) { return RAND_bytes(out, static_cast<int>(n)) == 1; }

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

bool sealGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
             std::uint8_t* iv, std::vector<std::uint8_t>* cipher, std::uint8_t* tag) {
    if (!randomBytes(iv, kIvLength)) return false;
    CipherCtx c;
    int len = 0;
    cipher->assign(plain.size(), 0);
    if (!c.ctx || EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv) != 1) return false;
    if (EVP_EncryptUpdate(c.ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) return false;
    if (!plain.empty() &&
        EVP_EncryptUpdate(c.ctx, cipher->data(), &len, plain.data(), static_cast<int>(plain.size())) != 1)
        return false;
    if (EVP_EncryptFinal_ex(c.ctx, cipher->data() + cipher->size(), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, kTagLength, tag) == 1;
}

bool openGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, const std::uint8_t* iv,
             std::span<const std::uint8_t> cipher, const std::uint8_t* tag, SecureBytes* plain) {
    CipherCtx c;
    int len = 0;
    SecureBytes out(cipher.size());
    if (!c.ctx || EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv) != 1) return false;
    if (EVP_DecryptUpdate(c.ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) return false;
    if (!cipher.empty() &&
        EVP_DecryptUpdate(c.ctx, out.data(), &len, cipher.data(), static_cast<int>(cipher.size())) != 1)
        return false;
    if (EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, kTagLength, const_cast<std::uint8_t*>(tag)) != 1)
        return false;
    if (EVP_DecryptFinal_ex(c.ctx, out.data() + out.size(), &len) != 1) return false;
    *plain = std::move(out);
    return true;
}

void hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data, std::uint8_t* out) {
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out, &len);
}

void sha256Digest(std::span<const std::uint8_t> data, std::uint8_t* out) {
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
}

// Separate keys for the file's tag and the password check, so that neither
// value says anything about the master key itself.
SecureBytes subkey(const SecureBytes& master, std::string_view purpose) {
    SecureBytes out(kDigestLength);
    hmacSHA256(master.span(), {reinterpret_cast<const std::uint8_t*>(purpose.data()), purpose.size()}, out.data());
    return out;
}

Status statusForErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS: return status::writePermission;
        case ENOENT:
        case ENOTDIR: return status::noSuchKeychain;
        case ELOOP: return status::invalidKeychain;
        default: return status::io;
    }
}

struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime = 0, ctime = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// ---- state

struct Header {
    std::uint32_t iterations = 0;
    std::uint8_t salt[kSaltLength] = {};
    std::uint8_t wrapIv[kIvLength] = {};
    std::uint8_t wrappedKey[kKeyLength] = {};
    std::uint8_t wrapTag[kTagLength] = {};
    bool sameWrapping(const Header& o) const { return std::memcmp(this, &o, sizeof(Header)) == 0; }
};

struct StoredItem {
    Item item;
    std::uint8_t iv[kIvLength] = {};
    std::vector<std::uint8_t> cipher;
    std::uint8_t tag[kTagLength] = {};
};

struct Keychain::State {
    bool loaded = false;
    Identity identity;
    Header header;
    std::uint64_t nextId = 1;
    NRVDictionary metadata;
    std::map<std::uint64_t, StoredItem> items;
    // (class, tag, encoded value) -> item ids, for every attribute of every item.
    std::unordered_multimap<std::string, std::uint64_t> index;
    std::uint8_t checksum[kDigestLength] = {};
    std::uint8_t mac[kDigestLength] = {};
    SecureBytes masterKey;     // empty while locked
    SecureBytes passwordCheck;  // tag of the password that unlocked it

    void reset() {
        loaded = false;
        identity = {};
        header = {};
        nextId = 1;
        metadata = {};
        items.clear();
        index.clear();
        masterKey.clear();
        passwordCheck.clear();
    }
};

namespace {

std::string indexKey(ItemClass itemClass, const std::string& tag, const NRVValue& value) {
    Writer w;
    w.u32(static_cast<std::uint32_t>(itemClass));
    w.raw(tag.data(), tag.size());
    w.u8(0);
    encodeValue(w, value);
    return std::string(w.bytes.begin(), w.bytes.end());
}

void indexItem(Keychain::State& s, const Item& item) {
    for (std::size_t i = 0; i < item.attributes.size(); ++i)
        s.index.emplace(indexKey(item.itemClass, item.attributes.keyAt(i), item.attributes.valueAt(i)), item.id);
}

void unindexItem(Keychain::State& s, const Item& item) {
    for (std::size_t i = 0; i < item.attributes.size(); ++i) {
        auto range = s.index.equal_range(indexKey(item.itemClass, item.attributes.keyAt(i), item.attributes.valueAt(i)));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == item.id) {
                s.index.erase(it);
                break;
            }
        }
    }
}

std::vector<std::uint8_t> secretAad(ItemClass itemClass, std::uint64_t id) {
    Writer w;
    w.u32(static_cast<std::uint32_t>(itemClass));
    w.u64(id);
    return w.bytes;
}

std::vector<std::uint8_t> headerAad(const Header& h) {
    Writer w;
    w.raw(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u32(h.iterations);
    w.raw(h.salt, kSaltLength);
    return w.bytes;
}

// Everything but the checksum and the tag.
std::vector<std::uint8_t> serializeBody(const Keychain::State& s) {
    Writer w;
    w.raw(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u32(s.header.iterations);
    w.raw(s.header.salt, kSaltLength);
    w.raw(s.header.wrapIv, kIvLength);
    w.raw(s.header.wrappedKey, kKeyLength);
    w.raw(s.header.wrapTag, kTagLength);
    w.u64(s.nextId);
    encodeValue(w, NRVValue(s.metadata));
    w.u32(static_cast<std::uint32_t>(s.items.size()));
    for (const auto& [id, stored] : s.items) {
        w.u32(static_cast<std::uint32_t>(stored.item.itemClass));
        w.u64(id);
        encodeValue(w, NRVValue(stored.item.attributes));
        w.u8(stored.item.hasSecret ? 1 : 0);
        if (stored.item.hasSecret) {
            w.raw(stored.iv, kIvLength);
            w.blob(stored.cipher.data(), stored.cipher.size());
            w.raw(stored.tag, kTagLength);
        }
    }
    return w.bytes;
}

bool fileTagMatches(const Keychain::State& s, const SecureBytes& master) {
    SecureBytes macKey = subkey(master, "nerova keychain file tag");
    std::uint8_t expected[kDigestLength];
    hmacSHA256(macKey.span(), {s.checksum, kDigestLength}, expected);
    return CRYPTO_memcmp(expected, s.mac, kDigestLength) == 0;
}

// Parses a whole file into `out`; false for anything that is not a complete,
// consistent file of this version.
bool parseFile(std::span<const std::uint8_t> bytes, Keychain::State* out) {
    if (bytes.size() < sizeof kMagic + 8 + 2 * kDigestLength) return false;
    std::span<const std::uint8_t> body = bytes.first(bytes.size() - 2 * kDigestLength);
    std::uint8_t digest[kDigestLength];
    sha256Digest(body, digest);
    if (CRYPTO_memcmp(digest, body.data() + body.size(), kDigestLength) != 0) return false;
    std::memcpy(out->checksum, digest, kDigestLength);
    std::memcpy(out->mac, bytes.data() + bytes.size() - kDigestLength, kDigestLength);

    Reader r(body);
    char magic[sizeof kMagic];
    std::uint32_t version = 0;
    Header& h = out->header;
    if (!r.raw(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
    if (!r.u32(&version) || version != kVersion) return false;
    if (!r.u32(&h.iterations) || h.iterations == 0 || h.iterations > kMaxIterations) return false;
    if (!r.raw(h.salt, kSaltLength) || !r.raw(h.wrapIv, kIvLength) || !r.raw(h.wrappedKey, kKeyLength) ||
        !r.raw(h.wrapTag, kTagLength) || !r.u64(&out->nextId))
        return false;
    NRVValue metadata;
    if (!decodeValue(r, &metadata, 0) || !metadata.isDictionary()) return false;
    out->metadata = std::move(*metadata.asDictionary());
    std::uint32_t count = 0;
    if (!r.u32(&count) || count > r.remaining()) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        StoredItem stored;
        std::uint32_t itemClass = 0;
        std::uint8_t hasSecret = 0;
        NRVValue attributes;
        if (!r.u32(&itemClass) || !knownClass(itemClass) || !r.u64(&stored.item.id)) return false;
        if (stored.item.id == 0 || stored.item.id >= out->nextId || out->items.count(stored.item.id)) return false;
        if (!decodeValue(r, &attributes, 0) || !attributes.isDictionary() || !r.u8(&hasSecret) || hasSecret > 1)
            return false;
        stored.item.itemClass = static_cast<ItemClass>(itemClass);
        stored.item.attributes = std::move(*attributes.asDictionary());
        stored.item.hasSecret = hasSecret == 1;
        if (stored.item.hasSecret) {
            std::span<const std::uint8_t> cipher;
            if (!r.raw(stored.iv, kIvLength) || !r.blob(&cipher) || !r.raw(stored.tag, kTagLength)) return false;
            stored.cipher.assign(cipher.begin(), cipher.end());
        }
        indexItem(*out, stored.item);
        std::uint64_t id = stored.item.id;
        out->items.emplace(id, std::move(stored));
    }
    return r.remaining() == 0;
}

// Reads the open file from its start, at most kMaxFileSize bytes.
Status readWhole(int fd, std::vector<std::uint8_t>* out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return status::io;
    if (!S_ISREG(st.st_mode)) return status::invalidKeychain;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return status::invalidKeychain;
    out->clear();
    std::uint8_t buffer[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return status::io;
        }
        if (n == 0) break;
        offset += n;
        if (static_cast<std::uint64_t>(offset) > kMaxFileSize) return status::invalidKeychain;
        out->insert(out->end(), buffer, buffer + n);
    }
    return status::success;
}

// Loads the open file into the state unless it is the one already loaded.
// Keeps the master key when the file was wrapped the same way and its tag
// checks out; a file with a failing tag is refused.
Status loadFrom(int fd, Keychain::State& s) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return status::io;
    if (s.loaded && s.identity == identityOf(st)) return status::success;
    std::vector<std::uint8_t> bytes;
    if (Status rc = readWhole(fd, &bytes); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    Keychain::State fresh;
    if (!parseFile(bytes, &fresh)) {
        s.loaded = false;
        return status::invalidKeychain;
    }
    if (!s.masterKey.empty() && s.header.sameWrapping(fresh.header)) {
        if (!fileTagMatches(fresh, s.masterKey)) {
            s.loaded = false;
            return status::invalidKeychain;
        }
        fresh.masterKey = std::move(s.masterKey);
        fresh.passwordCheck = std::move(s.passwordCheck);
    }
    fresh.identity = identityOf(st);
    fresh.loaded = true;
    s = std::move(fresh);
    return status::success;
}

Status openForReading(const std::string& path, ScopedFD* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return statusForErrno(errno);
    out->reset(fd);
    return status::success;
}

// Brings the state up to date with the file at the path, reading it only
// when it changed.
Status refresh(const std::string& path, Keychain::State& s) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        s.loaded = false;
        return statusForErrno(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        s.loaded = false;
        return status::invalidKeychain;
    }
    if (s.loaded && s.identity == identityOf(st)) return status::success;
    ScopedFD fd;
    if (Status rc = openForReading(path, &fd); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    return loadFrom(fd.get(), s);
}

// Takes the keychain's exclusive lock: an flock on "<path>.lock", a file
// that stays in place while the keychain itself is replaced by renames (a
// lock on the keychain file would keep a waiter one replacement behind, and a
// busy writer could starve it). The lock file is checked to still be the one
// at its path, since deleting a keychain removes it too.
Status lockKeychain(const std::string& path, ScopedFD* out) {
    std::string lockPath = path + ".lock";
    for (int attempt = 0; attempt < kMaxReplaceRetries; ++attempt) {
        int raw = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (raw < 0) return statusForErrno(errno);
        ScopedFD fd(raw);
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) return status::io;
        }
        struct stat held {}, now {};
        if (::fstat(fd.get(), &held) != 0) return status::io;
        if (!S_ISREG(held.st_mode)) return status::invalidKeychain;
        if (::lstat(lockPath.c_str(), &now) != 0) {
            if (errno == ENOENT) continue;
            return statusForErrno(errno);
        }
        if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
            *out = std::move(fd);
            return status::success;
        }
    }
    return status::io;
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes the state into a new temporary file beside `path`; the caller
// renames or links it into place, then takes the identity from the still
// open descriptor (a stat of the path could see a later writer's file).
Status writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD) {
    std::vector<std::uint8_t> bytes = serializeBody(s);
    sha256Digest(bytes, s.checksum);
    SecureBytes macKey = subkey(s.masterKey, "nerova keychain file tag");
    hmacSHA256(macKey.span(), {s.checksum, kDigestLength}, s.mac);
    bytes.insert(bytes.end(), s.checksum, s.checksum + kDigestLength);
    bytes.insert(bytes.end(), s.mac, s.mac + kDigestLength);
    if (bytes.size() > kMaxFileSize) return status::dataTooLarge;

    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int raw = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
    if (raw < 0) return statusForErrno(errno);
    ScopedFD fd(raw);
    *tempPath = name.data();
    if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) {
        ::unlink(tempPath->c_str());
        return status::io;
    }
    *tempFD = std::move(fd);
    return status::success;
}

bool takeIdentity(int fd, Keychain::State& s) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    s.identity = identityOf(st);
    return true;
}

}  // namespace

// ---- Keychain

namespace {
std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<Keychain>>& registry() {
    static auto* map = new std::map<std::string, std::weak_ptr<Keychain>>();
    return *map;
}
}  // namespace

Keychain::Keychain(std::string path) : path_(std::move(path)), state_(std::make_unique<State>()) {}
Keychain::~Keychain() = default;

std::shared_ptr<Keychain> Keychain::shared(const std::string& path) {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
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

Status Keychain::create(const std::string& path, std::string_view password, std::shared_ptr<Keychain>* out) {
    if (path.empty()) return status::param;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return status::duplicateKeychain;

    State fresh;
    fresh.header.iterations = gIterations.load();
    fresh.masterKey = SecureBytes(kKeyLength);
    if (!randomBytes(fresh.header.salt, kSaltLength) || !randomBytes(fresh.masterKey.data(), kKeyLength))
        return status::internalComponent;
    std::optional<SecureBytes> wrapKey = deriveKey(password, fresh.header.salt, fresh.header.iterations);
    std::vector<std::uint8_t> wrapped;
    if (!wrapKey || !sealGCM(*wrapKey, headerAad(fresh.header), fresh.masterKey.span(), fresh.header.wrapIv, &wrapped,
                             fresh.header.wrapTag))
        return status::internalComponent;
    std::memcpy(fresh.header.wrappedKey, wrapped.data(), kKeyLength);
    SecureBytes checkKey = subkey(fresh.masterKey, "nerova keychain password check");
    fresh.passwordCheck = SecureBytes(kDigestLength);
    hmacSHA256(checkKey.span(), {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()},
               fresh.passwordCheck.data());

    std::string tempPath;
    ScopedFD tempFD;
    if (Status rc = writeTemporary(path, fresh, &tempPath, &tempFD); rc != status::success) return rc;
    // link() never replaces: whoever created the path first wins, and the
    // file appears complete or not at all.
    int linked = ::link(tempPath.c_str(), path.c_str());
    int linkError = errno;
    ::unlink(tempPath.c_str());
    if (linked != 0) return linkError == EEXIST ? status::duplicateKeychain : statusForErrno(linkError);
    syncFolder(folderOf(path));
    fresh.loaded = takeIdentity(tempFD.get(), fresh);

    std::shared_ptr<Keychain> keychain = shared(path);
    {
        std::lock_guard<std::mutex> lock(keychain->mutex_);
        *keychain->state_ = std::move(fresh);
    }
    *out = std::move(keychain);
    return status::success;
}

Status Keychain::check() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refresh(path_, *state_);
}

Status Keychain::unlock(std::string_view password) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    if (Status rc = refresh(path_, s); rc != status::success) return rc;
    auto passwordBytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(password.data()),
                                                       password.size());
    if (!s.masterKey.empty()) {
        // Already open: a cheap comparison instead of another key derivation.
        SecureBytes checkKey = subkey(s.masterKey, "nerova keychain password check");
        std::uint8_t check[kDigestLength];
        hmacSHA256(checkKey.span(), passwordBytes, check);
        bool same = CRYPTO_memcmp(check, s.passwordCheck.data(), kDigestLength) == 0;
        secureWipe(check, sizeof check);
        if (same) return status::success;
    }
    std::optional<SecureBytes> wrapKey = deriveKey(password, s.header.salt, s.header.iterations);
    if (!wrapKey) return status::internalComponent;
    SecureBytes master;
    if (!openGCM(*wrapKey, headerAad(s.header), s.header.wrapIv, {s.header.wrappedKey, kKeyLength}, s.header.wrapTag,
                 &master))
        return status::authFailed;
    if (!fileTagMatches(s, master)) {
        // The password is right, so the content was changed by someone
        // without the master key.
        s.loaded = false;
        return status::invalidKeychain;
    }
    SecureBytes checkKey = subkey(master, "nerova keychain password check");
    s.passwordCheck = SecureBytes(kDigestLength);
    hmacSHA256(checkKey.span(), passwordBytes, s.passwordCheck.data());
    s.masterKey = std::move(master);
    return status::success;
}

void Keychain::lock() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->masterKey.clear();
    state_->passwordCheck.clear();
}

bool Keychain::isUnlocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(path_, *state_);
    return !state_->masterKey.empty();
}

Status Keychain::deleteFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0) return statusForErrno(errno);
    if (!S_ISREG(st.st_mode)) return status::invalidKeychain;
    ScopedFD fileLock;
    if (Status rc = lockKeychain(path_, &fileLock); rc != status::success) return rc;
    if (::unlink(path_.c_str()) != 0) return statusForErrno(errno);
    ::unlink((path_ + ".lock").c_str());
    syncFolder(folderOf(path_));
    state_->reset();
    return status::success;
}

Status Keychain::find(ItemClass itemClass, const Query& query, std::size_t limit, std::vector<Item>* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    out->clear();
    if (Status rc = refresh(path_, s); rc != status::success) return rc;
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
    return out->empty() ? status::itemNotFound : status::success;
}

Status Keychain::copyItem(std::uint64_t id, Item* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    if (Status rc = refresh(path_, s); rc != status::success) return rc;
    auto it = s.items.find(id);
    if (it == s.items.end()) return status::invalidItemRef;
    *out = it->second.item;
    return status::success;
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
// the next call, so memory never holds a change the file does not.
template <class Change>
static Status commitChange(const std::string& path, Keychain::State& s, Change&& change) {
    ScopedFD lock, fd;
    if (Status rc = lockKeychain(path, &lock); rc != status::success) return rc;
    if (Status rc = openForReading(path, &fd); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    if (Status rc = loadFrom(fd.get(), s); rc != status::success) return rc;
    if (s.masterKey.empty()) return status::interactionNotAllowed;
    if (Status rc = change(); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    std::string tempPath;
    ScopedFD tempFD;
    if (Status rc = writeTemporary(path, s, &tempPath, &tempFD); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(tempPath.c_str());
        s.loaded = false;
        return statusForErrno(error);
    }
    syncFolder(folderOf(path));
    if (!takeIdentity(tempFD.get(), s)) s.loaded = false;
    return status::success;
}

Status Keychain::add(ItemClass itemClass, NRVDictionary attributes, std::optional<std::span<const std::uint8_t>> secret,
                     std::uint64_t* newId) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    std::uint64_t id = 0;
    Status rc = commitChange(path_, s, [&]() -> Status {
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
    if (rc == status::success && newId) *newId = id;
    return rc;
}

Status Keychain::modify(std::uint64_t id, const NRVDictionary& changes,
                        std::optional<std::span<const std::uint8_t>> secret) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, [&]() -> Status {
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

Status Keychain::remove(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, [&]() -> Status {
        auto it = s.items.find(id);
        if (it == s.items.end()) return status::itemNotFound;
        unindexItem(s, it->second.item);
        s.items.erase(it);
        return status::success;
    });
}

Status Keychain::copySecret(std::uint64_t id, SecureBytes* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    out->clear();
    if (Status rc = refresh(path_, s); rc != status::success) return rc;
    if (s.masterKey.empty()) return status::interactionNotAllowed;
    auto it = s.items.find(id);
    if (it == s.items.end()) return status::invalidItemRef;
    const StoredItem& stored = it->second;
    if (!stored.item.hasSecret) return status::success;
    if (!openGCM(s.masterKey, secretAad(stored.item.itemClass, id), stored.iv, stored.cipher, stored.tag, out))
        return status::invalidKeychain;
    return status::success;
}

Status Keychain::metadataValue(const std::string& key, NRVValue* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    if (Status rc = refresh(path_, s); rc != status::success) return rc;
    const NRVValue* v = s.metadata.find(key);
    *out = v ? *v : NRVValue();
    return status::success;
}

Status Keychain::setMetadataValue(const std::string& key, NRVValue value) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& s = *state_;
    return commitChange(path_, s, [&]() -> Status {
        if (value.isNull()) s.metadata.erase(key);
        else s.metadata.set(key, std::move(value));
        return status::success;
    });
}

}  // namespace platform::keychain
