#include "platform/codesign/CodeSignature.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "platform/bytes/ByteWriter.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "platform/fd/ScopedFD.h"
#include "platform/fs/FileManager.h"
#include "platform/fs/TrustedItem.h"
#include "platform/log/LogStore.h"
#include "platform/plist/PropertyList.h"
#include "platform/process/CodeIntegrity.h"
#include "platform/process/ProcessInfo.h"
#include "platform/text/UTF8Bridge.h"
#include "platform/thread/Mutex.h"
#include "platform/value/HexString.h"
#include "platform/memory/NoDestructor.h"

namespace platform::codesign {

struct StaticCode::Evaluation {
    SigningInformation info;
    CodeFacts facts;
    int status = kCodeSignOK;  // of the signature itself, before any requirement
    std::string description;
};

namespace {

// A signature file holds a few certificates and a short text; anything this
// large is not one of ours. The same bound holds for anchor files.
constexpr std::size_t kMaxSignatureFileSize = 1u << 20;
constexpr std::size_t kMaxAnchorFileSize = 1u << 20;
constexpr std::size_t kMaxAnchorFiles = 256;
constexpr std::size_t kMaxCertificates = 8;
constexpr std::size_t kMaxCacheEntries = 512;

std::atomic<std::uint64_t> gEvaluations{0};
std::atomic<std::uint64_t> gHashes{0};

bool fail(Error* error, int status, std::string description) {
    if (error) *error = Error{.operation = {}, .code = 0, .description = std::move(description), .status = status};
    return false;
}

using crypto::OpenSSLPtr;
using X509Ptr = OpenSSLPtr<X509>;

// ---- canonical encoding -------------------------------------------------

// A byte string: its length as u64, then the bytes.
void putBytes(bytes::BigEndianWriter& out, const void* p, std::size_t n) {
    out.u64(n);
    out.bytes(p, n);
}

void encodeValue(bytes::BigEndianWriter& out, const NRVValue& v) {
    switch (v.type()) {
        case NRVValue::Type::Null: out.u8('n'); break;
        case NRVValue::Type::Bool: out.u8(*v.asBool() ? 'T' : 'F'); break;
        case NRVValue::Type::Integer:
            out.u8('i');
            out.u64(static_cast<std::uint64_t>(*v.asInteger()));
            break;
        case NRVValue::Type::Real:
            out.u8('r');
            out.f64(*v.asReal());
            break;
        case NRVValue::Type::String:
            out.u8('s');
            putBytes(out, v.asString()->data(), v.asString()->size());
            break;
        case NRVValue::Type::Data:
            out.u8('d');
            putBytes(out, v.asData()->data(), v.asData()->size());
            break;
        case NRVValue::Type::Date:
            out.u8('t');
            out.f64(v.asDate()->sinceReferenceDate);
            break;
        case NRVValue::Type::Array:
            out.u8('a');
            out.u64(v.asArray()->size());
            for (const auto& item : *v.asArray()) encodeValue(out, item);
            break;
        case NRVValue::Type::Dictionary: {
            const NRVDictionary& d = *v.asDictionary();
            std::vector<std::size_t> order(d.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return d.keyAt(a) < d.keyAt(b); });
            out.u8('D');
            out.u64(d.size());
            for (std::size_t i : order) {
                putBytes(out, d.keyAt(i).data(), d.keyAt(i).size());
                encodeValue(out, d.valueAt(i));
            }
            break;
        }
    }
}

// ---- certificates -------------------------------------------------------

X509Ptr certificateFromDER(const NRVData& der) {
    const unsigned char* p = der.data();
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (x && p != der.data() + der.size()) return nullptr;
    return x;
}

std::optional<NRVData> derOf(X509* x) {
    unsigned char* buf = nullptr;
    int n = i2d_X509(x, &buf);
    if (n <= 0) return std::nullopt;
    NRVData out(buf, buf + n);
    OPENSSL_free(buf);
    return out;
}

// Every certificate of a PEM file, or the one certificate of a DER file.
std::vector<X509Ptr> certificatesFromBytes(const std::string& bytes) {
    std::vector<X509Ptr> out;
    OpenSSLPtr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    while (bio && out.size() < kMaxCertificates * 32) {
        X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!x) break;
        out.emplace_back(x);
    }
    if (out.empty()) {
        NRVData der(bytes.begin(), bytes.end());
        if (auto x = certificateFromDER(der)) out.push_back(std::move(x));
    }
    return out;
}

// Reads at most `cap` bytes of an open regular file; a FIFO, device or
// folder is refused by its type before a byte is read, a file growing past
// the cap while it is read is refused too.
std::optional<std::string> readSmallRegularDescriptor(const ScopedFD& fd, std::size_t cap, int* err) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > cap) {
        *err = EINVAL;
        return std::nullopt;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > cap) {
            *err = EFBIG;
            return std::nullopt;
        }
    }
    return out;
}

// Opened without following a link at the last component, and without
// blocking on a FIFO.
ScopedFD openWithoutFollowing(const std::string& path) {
    return ScopedFD(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
}

enum class Links { Refuse, Follow };

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t cap, int* err,
                                                Links links = Links::Refuse) {
    ScopedFD fd = links == Links::Follow ? ScopedFD(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
                                         : openWithoutFollowing(path);
    if (!fd) {
        *err = errno;
        return std::nullopt;
    }
    return readSmallRegularDescriptor(fd, cap, err);
}

std::optional<std::string> nameEntry(X509_NAME* name, int nid) {
    int i = X509_NAME_get_index_by_NID(name, nid, -1);
    if (i < 0) return std::nullopt;
    ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) return std::nullopt;
    std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

CertificateFacts factsOf(X509* x) {
    CertificateFacts f;
    X509_NAME* subject = X509_get_subject_name(x);
    f.subjectO = nameEntry(subject, NID_organizationName);
    f.subjectOU = nameEntry(subject, NID_organizationalUnitName);
    f.subjectCN = nameEntry(subject, NID_commonName);
    int count = X509_get_ext_count(x);
    for (int i = 0; i < count && i < 64; ++i) {
        char buf[128];
        int n = OBJ_obj2txt(buf, sizeof buf, X509_EXTENSION_get_object(X509_get_ext(x, i)), 1);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof buf) f.extensionOIDs.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return f;
}

const EVP_MD* digestFor(EVP_PKEY* key) {
    int id = EVP_PKEY_get_id(key);
    return (id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448) ? nullptr : EVP_sha256();
}

bool verifyFieldSignature(X509* leaf, const SignatureFields& fields) {
    OpenSSLPtr<EVP_PKEY> key(X509_get_pubkey(leaf));
    if (!key || fields.signature.empty()) return false;
    NRVData message = canonicalEncoding(fields);
    OpenSSLPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, digestFor(key.get()), nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), fields.signature.data(), fields.signature.size(), message.data(), message.size()) == 1;
}

// One line per distinct complaint: the same untrusted folder met by every
// check must not flood the log.
void logOnce(const std::string& line) {
    static platform::Mutex mutex;
    static platform::NoDestructor<std::set<std::string>> seen;
    {
        platform::MutexLock lock(mutex);
        if (seen->size() >= 256 || !seen->insert(line).second) return;
    }
    platform::log::write("com.nerova.rivovovuvev", "signing", platform::log::Level::Error, line);
}

// The anchors folder the checks may rely on: the policy's when it passes the
// ownership rule, else the compiled-in one when that does, else none ("").
std::string usableAnchorsFolder(const TrustPolicy& policy) {
    platform::Error why;
    if (fs::isTrustedItem(policy.anchorsFolder, fs::TrustedItemKind::Folder, &why)) return policy.anchorsFolder;
    const std::string& builtIn = TrustPolicy::compiledIn().anchorsFolder;
    if (policy.anchorsFolder != builtIn) {
        if (fs::isTrustedItem(builtIn, fs::TrustedItemKind::Folder)) {
            logOnce("Anchors folder not used: " + why.description + "; using the built-in anchors folder");
            return builtIn;
        }
    }
    logOnce("Anchors folder not used: " + why.description + "; no chain is trusted");
    return "";
}

// Folder identity, so that a changed anchors folder invalidates the cache.
std::string anchorsIdentity(const std::string& folder) {
    struct stat st {};
    if (folder.empty() || ::lstat(folder.c_str(), &st) != 0) return "none";
    return folder + "\n" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

OpenSSLPtr<X509_STORE> loadAnchors(const std::string& folder) {
    OpenSSLPtr<X509_STORE> store(X509_STORE_new());
    if (!store || folder.empty()) return store;
    auto entries = fs::contentsOfDirectory(folder, true);
    if (!entries) return store;
    std::size_t files = 0;
    for (const auto& e : *entries) {
        if (e.isDirectory || ++files > kMaxAnchorFiles) continue;
        // Each anchor is held to the folder's rule: a file that another user
        // may write is no anchor, wherever it lies.
        ScopedFD fd = openWithoutFollowing(e.path);
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            logOnce("Anchor certificate not used: " + e.path + (errno == ELOOP ? " is a symbolic link" : " cannot be read"));
            continue;
        }
        platform::Error why;
        fs::ItemAttributes attributes;
        attributes.type = S_ISREG(st.st_mode) ? fs::ItemAttributes::Type::Regular : fs::ItemAttributes::Type::Other;
        attributes.ownerID = st.st_uid;
        attributes.permissions = st.st_mode & 07777;
        if (!fs::isTrustedOwnerAndMode(attributes, fs::TrustedItemKind::File, &why)) {
            logOnce("Anchor certificate not used: " + e.path + " " + why.description);
            continue;
        }
        int err = 0;
        auto bytes = readSmallRegularDescriptor(fd, kMaxAnchorFileSize, &err);
        if (!bytes) continue;
        for (auto& cert : certificatesFromBytes(*bytes)) X509_STORE_add_cert(store.get(), cert.get());
    }
    return store;
}

bool chainTrusted(const std::vector<X509Ptr>& chain, const std::string& anchorsFolder) {
    if (chain.empty() || anchorsFolder.empty()) return false;
    X509* leaf = chain.front().get();
    // The leaf must be meant for code signing, not any certificate the
    // authority ever issued.
    if (!(X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN)) {
        return false;
    }
    auto store = loadAnchors(anchorsFolder);
    OpenSSLPtr<STACK_OF(X509)> untrusted(sk_X509_new_null());
    OpenSSLPtr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    if (!store || !untrusted || !ctx) return false;
    for (std::size_t i = 1; i < chain.size(); ++i) {
        X509_up_ref(chain[i].get());  // the stack holds a reference of its own
        if (!sk_X509_push(untrusted.get(), chain[i].get())) {
            X509_free(chain[i].get());
            return false;
        }
    }
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get()) != 1) return false;
    return X509_verify_cert(ctx.get()) == 1;
}

// ---- evaluation ---------------------------------------------------------

// The digest of everything in the file, or nullopt when it cannot be read
// or holds more than `limit` bytes (a file growing while it is read).
std::optional<NRVData> digestOfDescriptor(int fd, const EVP_MD* md = EVP_sha256(),
                                          std::uint64_t limit = UINT64_MAX) {
    OpenSSLPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
    std::vector<unsigned char> buf(1 << 20);
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf.data(), buf.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        offset += n;
        if (static_cast<std::uint64_t>(offset) > limit) return std::nullopt;
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &len) != 1) return std::nullopt;
    return NRVData(out, out + len);
}

bool isPlatformLocation(const std::string& path, const struct stat& st) {
    static const char* const kPrefixes[] = {"/usr/", "/bin/", "/sbin/", "/lib/"};
    bool under = false;
    for (const char* p : kPrefixes) under = under || path.rfind(p, 0) == 0;
    return under && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string statKey(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

std::string escapeQuoted(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::optional<SignatureFields> readSignatureDescriptor(const ScopedFD& fd, int openErrno,
                                                      const std::string& signaturePath, Error* error);

platform::Mutex gCacheMutex;

// Never destroyed: peer checks may run on connection threads while the
// process exits.
std::map<std::string, std::shared_ptr<const StaticCode::Evaluation>>& evaluationCache() REQUIRES(gCacheMutex) {
    static platform::NoDestructor<std::map<std::string, std::shared_ptr<const StaticCode::Evaluation>>> cache;
    return *cache;
}

std::map<std::string, NRVData>& hashCache() {
    static platform::NoDestructor<std::map<std::string, NRVData>> cache;
    return *cache;
}

// The SHA-256 of the open file, remembered by the file's identity (device,
// inode, size, modification and change times): another name for the same
// file, a hard link, finds it, and a changed file has another identity.
std::optional<NRVData> hashOfExecutable(int fd, const struct stat& before) {
    const std::string key = statKey(before);
    {
        platform::MutexLock lock(gCacheMutex);
        auto it = hashCache().find(key);
        if (it != hashCache().end()) return it->second;
    }
    ++gHashes;
    auto hash = digestOfDescriptor(fd, EVP_sha256(), static_cast<std::uint64_t>(before.st_size));
    // A file written while it was hashed must not be remembered with the
    // hash of a mixture.
    struct stat after {};
    if (hash && ::fstat(fd, &after) == 0 && statKey(after) == key) {
        platform::MutexLock lock(gCacheMutex);
        if (hashCache().size() >= kMaxCacheEntries) hashCache().clear();
        hashCache()[key] = *hash;
    }
    return hash;
}

// Judges the executable `fd` (found at `path`) by its signature file `sig`
// (not open: openErrno). Everything that can be refused from the signature
// file alone is refused before the executable is read: a missing, malformed
// or forged signature costs no hashing, and neither does a file larger than
// any signed program may be.
std::shared_ptr<StaticCode::Evaluation> evaluate(int fd, const std::string& path, const struct stat& st,
                                                 const ScopedFD& sig, int openErrno, const std::string& anchors) {
    ++gEvaluations;
    auto e = std::make_shared<StaticCode::Evaluation>();
    e->info.path = path;
    e->facts.platformCode = isPlatformLocation(path, st);
    auto refuse = [&](int status, std::string description) {
        e->status = status;
        e->description = std::move(description);
        return e;
    };
    auto takeHash = [&](std::uint64_t limit) {
        if (static_cast<std::uint64_t>(st.st_size) > limit) return false;
        auto hash = hashOfExecutable(fd, st);
        if (!hash) return false;
        e->info.cdhash = *hash;
        e->facts.cdhash = *hash;
        return true;
    };

    Error readError;
    auto fields = readSignatureDescriptor(sig, openErrno, signatureFilePath(path), &readError);
    if (!fields) {
        if (readError.status == kCodeSignUnsigned && e->facts.platformCode) {
            // Only root can place files there; the system's own programs
            // may be of any size.
            if (!takeHash(UINT64_MAX)) return refuse(kCodeSignNoSuchCode, "cannot read '" + path + "'");
            std::string name = fs::lastPathComponent(path);
            e->info.isSigned = true;
            e->info.isPlatformCode = true;
            e->info.identifier = name;
            e->info.designatedRequirement = "identifier \"" + escapeQuoted(name) + "\" and anchor apple";
            e->facts.identifier = name;
            return e;
        }
        return refuse(readError.status, readError.description);
    }

    e->info.isSigned = true;
    e->info.identifier = fields->identifier;
    e->info.teamIdentifier = fields->teamIdentifier;
    e->info.flags = fields->flags;
    e->info.entitlements = fields->entitlements;
    e->info.designatedRequirement = fields->designatedRequirement;
    e->facts.identifier = fields->identifier;

    const bool adhoc = (fields->flags & kCodeSignFlagAdhoc) != 0;
    std::vector<X509Ptr> chain;
    if (adhoc) {
        if (!fields->certificates.empty() || !fields->signature.empty())
            return refuse(kCodeSignMalformed, "an ad hoc signature carries certificates");
    } else {
        if (fields->certificates.empty() || fields->certificates.size() > kMaxCertificates)
            return refuse(kCodeSignMalformed, "the signature has no usable certificate chain");
        for (const auto& der : fields->certificates) {
            auto cert = certificateFromDER(der);
            if (!cert) return refuse(kCodeSignMalformed, "a certificate of the signature cannot be read");
            chain.push_back(std::move(cert));
        }
        if (!verifyFieldSignature(chain.front().get(), *fields))
            return refuse(kCodeSignSignatureFailed, "the signature does not verify with the leaf certificate");
        for (const auto& cert : chain) e->facts.certificates.push_back(factsOf(cert.get()));
        e->info.certificates = e->facts.certificates;
    }

    if (static_cast<std::uint64_t>(st.st_size) > kMaxExecutableSize) {
        return refuse(kCodeSignSignatureFailed, "'" + path + "' is larger than any signed program may be (" +
                                                    std::to_string(kMaxExecutableSize >> 20) + " MiB)");
    }
    if (!takeHash(kMaxExecutableSize)) return refuse(kCodeSignNoSuchCode, "cannot read '" + path + "'");
    if (fields->cdhash != e->info.cdhash) {
        return refuse(kCodeSignSignatureFailed, "the file's hash does not match its signature");
    }
    if (!adhoc) e->facts.anchorTrusted = chainTrusted(chain, anchors);
    return e;
}

// The evaluation of the open file `fd` at `path`, from the cache when the
// file, its signature file and the anchors are unchanged. Both files are
// known by identity, not by name, so the cache holds across hard links and
// the signature file judged is the one that was opened.
std::shared_ptr<const StaticCode::Evaluation> evaluationFor(int fd, const std::string& path) {
    struct stat before {};
    if (::fstat(fd, &before) != 0) return nullptr;
    ScopedFD sig = openWithoutFollowing(signatureFilePath(path));
    const int openErrno = sig ? 0 : errno;
    struct stat sigStat {};
    std::string sigKey = "absent:" + std::to_string(openErrno);
    if (sig && ::fstat(sig.get(), &sigStat) == 0) sigKey = statKey(sigStat);
    const std::string anchors = usableAnchorsFolder(TrustPolicy::current());
    const bool platformPlace = isPlatformLocation(path, before);
    const std::string key = statKey(before) + "\n" + sigKey + "\n" + anchorsIdentity(anchors) + "\n" +
                            (platformPlace ? "platform" : "");
    std::shared_ptr<const StaticCode::Evaluation> found;
    {
        platform::MutexLock lock(gCacheMutex);
        auto it = evaluationCache().find(key);
        if (it != evaluationCache().end()) found = it->second;
    }
    if (found) {
        if (found->info.path == path) return found;
        // The same file under another name: the verdict holds, the name is this one.
        auto renamed = std::make_shared<StaticCode::Evaluation>(*found);
        renamed->info.path = path;
        return renamed;
    }
    auto e = evaluate(fd, path, before, sig, openErrno, anchors);
    struct stat after {};
    if (::fstat(fd, &after) == 0 && statKey(after) == statKey(before)) {
        platform::MutexLock lock(gCacheMutex);
        auto& cache = evaluationCache();
        if (cache.size() >= kMaxCacheEntries) cache.clear();
        cache[key] = e;
    }
    return e;
}

}  // namespace

std::uint64_t evaluationCount() { return gEvaluations.load(); }
std::uint64_t executableHashCount() { return gHashes.load(); }

std::string signatureFilePath(const std::string& executablePath) { return executablePath + kSignatureFileSuffix; }

namespace {

enum class FieldUse { SignedBytes, File };

// The fields as one dictionary, in file order. The signed bytes always carry
// the team identifier (an empty one too) and never the signature; the file
// leaves out what is empty of the two.
NRVDictionary fieldDictionary(const SignatureFields& f, FieldUse use) {
    NRVDictionary d;
    d.set("FormatVersion", NRVValue(static_cast<long long>(kSignatureFormatVersion)));
    d.set("Identifier", NRVValue(f.identifier));
    if (use == FieldUse::SignedBytes || !f.teamIdentifier.empty()) d.set("TeamIdentifier", NRVValue(f.teamIdentifier));
    d.set("Flags", NRVValue(static_cast<long long>(f.flags)));
    d.set("Entitlements", NRVValue(f.entitlements));
    d.set("DesignatedRequirement", NRVValue(f.designatedRequirement));
    d.set("CDHash", NRVValue(f.cdhash));
    NRVArray certs;
    for (const auto& c : f.certificates) certs.emplace_back(c);
    d.set("Certificates", NRVValue(std::move(certs)));
    if (use == FieldUse::File && !f.signature.empty()) d.set("Signature", NRVValue(f.signature));
    return d;
}

}  // namespace

NRVData canonicalEncoding(const SignatureFields& f) {
    constexpr std::string_view kMagic = "nrvsig-canonical-1";
    NRVData out(kMagic.begin(), kMagic.end());
    bytes::BigEndianWriter writer(out);
    encodeValue(writer, NRVValue(fieldDictionary(f, FieldUse::SignedBytes)));
    return out;
}

namespace {

std::optional<SignatureFields> readSignatureDescriptor(const ScopedFD& fd, int openErrno,
                                                      const std::string& signaturePath, Error* error) {
    if (!fd && (openErrno == ENOENT || openErrno == ENOTDIR)) {
        fail(error, kCodeSignUnsigned, "code object is not signed at all");
        return std::nullopt;
    }
    int err = openErrno;
    auto bytes = fd ? readSmallRegularDescriptor(fd, kMaxSignatureFileSize, &err) : std::nullopt;
    if (!bytes) {
        fail(error, kCodeSignMalformed, "cannot read the signature file '" + signaturePath + "'");
        return std::nullopt;
    }
    auto value = plist::readData(*bytes);
    const NRVDictionary* d = value ? value->asDictionary() : nullptr;
    auto bad = [&](const std::string& why) {
        fail(error, kCodeSignMalformed, "malformed signature file '" + signaturePath + "': " + why);
        return std::nullopt;
    };
    if (!d) return bad("not a property-list dictionary");
    const NRVValue* version = d->find("FormatVersion");
    if (!version || !version->asInteger() || *version->asInteger() != kSignatureFormatVersion) {
        return bad("unknown format version");
    }
    SignatureFields f;
    auto str = [&](const char* key, std::string* out, bool required) {
        const NRVValue* v = d->find(key);
        if (!v) return !required;
        // A NUL, or malformed UTF-8, would let a name show as another in
        // logs and the tool's display, and could not be written again.
        const std::string* s = v->asString();
        if (!s || s->find('\0') != std::string::npos || platform::text::wellFormedUTF8(*s) != *s) return false;
        *out = *v->asString();
        return true;
    };
    if (!str("Identifier", &f.identifier, true) || f.identifier.empty()) return bad("no identifier");
    if (!str("TeamIdentifier", &f.teamIdentifier, false)) return bad("bad team identifier");
    if (!str("DesignatedRequirement", &f.designatedRequirement, false)) return bad("bad requirement");
    const NRVValue* flags = d->find("Flags");
    if (!flags || !flags->asInteger() || *flags->asInteger() < 0 || *flags->asInteger() > 0xffffffffll) {
        return bad("bad flags");
    }
    f.flags = static_cast<std::uint32_t>(*flags->asInteger());
    if (const NRVValue* ent = d->find("Entitlements")) {
        if (!ent->asDictionary()) return bad("bad entitlements");
        f.entitlements = *ent->asDictionary();
    }
    const NRVValue* hash = d->find("CDHash");
    if (!hash || !hash->asData() || hash->asData()->size() != 32) return bad("bad cdhash");
    f.cdhash = *hash->asData();
    if (const NRVValue* certs = d->find("Certificates")) {
        if (!certs->asArray() || certs->asArray()->size() > kMaxCertificates) return bad("bad certificates");
        for (const auto& c : *certs->asArray()) {
            if (!c.asData()) return bad("bad certificates");
            f.certificates.push_back(*c.asData());
        }
    }
    if (const NRVValue* sig = d->find("Signature")) {
        if (!sig->asData()) return bad("bad signature");
        f.signature = *sig->asData();
    }
    return f;
}

}  // namespace

std::optional<SignatureFields> readSignatureFile(const std::string& signaturePath, Error* error) {
    ScopedFD fd = openWithoutFollowing(signaturePath);
    return readSignatureDescriptor(fd, fd ? 0 : errno, signaturePath, error);
}

bool writeSignatureFile(const std::string& signaturePath, const SignatureFields& f, Error* error) {
    auto bytes = plist::serialize(NRVValue(fieldDictionary(f, FieldUse::File)), plist::Format::XML);
    if (!bytes) return fail(error, kCodeSignSigningFailed, "cannot encode the signature");
    platform::Error fsError;
    if (!fs::writeFileAtomically(signaturePath, *bytes, &fsError)) {
        return fail(error, kCodeSignSigningFailed, fsError.description);
    }
    return true;
}

namespace {

std::optional<NRVData> digestOfFile(const std::string& path, const EVP_MD* md, Error* error) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(error, kCodeSignNoSuchCode, "'" + path + "' is no readable regular file");
        return std::nullopt;
    }
    auto hash = digestOfDescriptor(fd.get(), md);
    if (!hash) fail(error, kCodeSignNoSuchCode, "cannot read '" + path + "'");
    return hash;
}

}  // namespace

std::optional<NRVData> sha256OfFile(const std::string& path, Error* error) {
    return digestOfFile(path, EVP_sha256(), error);
}

std::optional<NRVData> sha1OfFile(const std::string& path, Error* error) {
    return digestOfFile(path, EVP_sha1(), error);
}

bool signFile(const std::string& executablePath, const SignOptions& o, Error* error) {
    if (o.identifier.empty()) return fail(error, kCodeSignSigningFailed, "an identifier is required");
    auto hash = sha256OfFile(executablePath, error);
    if (!hash) return false;
    SignatureFields f;
    f.identifier = o.identifier;
    f.cdhash = *hash;
    f.entitlements = o.entitlements;
    f.flags = o.hardenedRuntime ? kCodeSignFlagRuntime : 0;
    if (o.adhoc) {
        f.flags |= kCodeSignFlagAdhoc;
        f.teamIdentifier = o.teamIdentifier.value_or("");
        f.designatedRequirement = o.designatedRequirement.value_or("cdhash H\"" + lowercaseHex(*hash) + "\"");
        return writeSignatureFile(signatureFilePath(executablePath), f, error);
    }
    if (o.certificatePaths.empty()) return fail(error, kCodeSignSigningFailed, "no certificates given");
    std::vector<X509Ptr> chain;
    for (const auto& p : o.certificatePaths) {
        int err = 0;
        auto bytes = readSmallRegularFile(p, kMaxAnchorFileSize, &err, Links::Follow);
        auto certs = bytes ? certificatesFromBytes(*bytes) : std::vector<X509Ptr>{};
        if (certs.empty()) return fail(error, kCodeSignSigningFailed, "cannot read a certificate from '" + p + "'");
        for (auto& c : certs) chain.push_back(std::move(c));
    }
    if (chain.size() > kMaxCertificates) return fail(error, kCodeSignSigningFailed, "certificate chain too long");
    int err = 0;
    auto keyBytes = readSmallRegularFile(o.privateKeyPath, kMaxAnchorFileSize, &err, Links::Follow);
    if (!keyBytes) return fail(error, kCodeSignSigningFailed, "cannot read the key '" + o.privateKeyPath + "'");
    OpenSSLPtr<BIO> bio(BIO_new_mem_buf(keyBytes->data(), static_cast<int>(keyBytes->size())));
    OpenSSLPtr<EVP_PKEY> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    OPENSSL_cleanse(keyBytes->data(), keyBytes->size());
    if (!key) return fail(error, kCodeSignSigningFailed, "cannot read the key '" + o.privateKeyPath + "'");
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        return fail(error, kCodeSignSigningFailed, "the key does not belong to the leaf certificate");
    }
    CertificateFacts leaf = factsOf(chain.front().get());
    f.teamIdentifier = o.teamIdentifier ? *o.teamIdentifier : leaf.subjectOU.value_or("");
    f.designatedRequirement = o.designatedRequirement.value_or(
        "identifier \"" + escapeQuoted(f.identifier) + "\" and anchor apple generic and certificate leaf[subject.OU] = \"" +
        escapeQuoted(f.teamIdentifier) + "\"");
    for (const auto& c : chain) {
        auto der = derOf(c.get());
        if (!der) return fail(error, kCodeSignSigningFailed, "cannot encode a certificate");
        f.certificates.push_back(std::move(*der));
    }
    NRVData message = canonicalEncoding(f);
    OpenSSLPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    std::size_t len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, digestFor(key.get()), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, message.data(), message.size()) != 1) {
        return fail(error, kCodeSignSigningFailed, "cannot sign");
    }
    f.signature.resize(len);
    if (EVP_DigestSign(ctx.get(), f.signature.data(), &len, message.data(), message.size()) != 1) {
        return fail(error, kCodeSignSigningFailed, "cannot sign");
    }
    f.signature.resize(len);
    return writeSignatureFile(signatureFilePath(executablePath), f, error);
}

std::optional<StaticCode> StaticCode::createWithPath(const std::string& path, Error* error) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) {
        fail(error, kCodeSignNoSuchCode, "no code at '" + path + "'");
        return std::nullopt;
    }
    ScopedFD fd(::open(resolved, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(error, kCodeSignNoSuchCode, "'" + path + "' is no readable regular file");
        return std::nullopt;
    }
    auto e = evaluationFor(fd.get(), resolved);
    if (!e) {
        fail(error, kCodeSignNoSuchCode, "cannot examine '" + path + "'");
        return std::nullopt;
    }
    return StaticCode(std::move(e));
}

std::optional<StaticCode> StaticCode::createWithProcess(pid_t pid, std::optional<std::uint64_t> expectedStartTime,
                                                        Error* error) {
    const std::string pidText = std::to_string(pid);
    auto sameProcess = [&] {
        if (!expectedStartTime) return true;
        auto now = process::processStartTime(pid);
        return now && *now == *expectedStartTime;
    };
    if (pid <= 0) {
        fail(error, kCodeSignNoSuchCode, "no process " + pidText);
        return std::nullopt;
    }
    if (!sameProcess()) {
        fail(error, kCodeSignProcessChanged, "process " + pidText + " is gone or was replaced");
        return std::nullopt;
    }
    const std::string exe = "/proc/" + pidText + "/exe";
    ScopedFD fd(::open(exe.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    char link[PATH_MAX];
    ssize_t n = fd ? ::readlink(exe.c_str(), link, sizeof link - 1) : -1;
    struct stat st {};
    if (!fd || n <= 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(error, kCodeSignNoSuchCode, "cannot open the executable of process " + pidText);
        return std::nullopt;
    }
    if (auto problem = process::executableMappingProblem(pid, st.st_dev, st.st_ino)) {
        fail(error, kCodeSignNoSuchCode, *problem);
        return std::nullopt;
    }
    // The descriptor may belong to a process that took the pid after the
    // first look; only a second look with the same start time binds it to
    // the process of the token.
    if (!sameProcess()) {
        fail(error, kCodeSignProcessChanged, "process " + pidText + " is gone or was replaced");
        return std::nullopt;
    }
    auto e = evaluationFor(fd.get(), std::string(link, static_cast<std::size_t>(n)));
    if (!e) {
        fail(error, kCodeSignNoSuchCode, "cannot examine the executable of process " + pidText);
        return std::nullopt;
    }
    return StaticCode(std::move(e));
}

const std::string& StaticCode::path() const { return evaluation_->info.path; }
const SigningInformation& StaticCode::signingInformation() const { return evaluation_->info; }
const CodeFacts& StaticCode::facts() const { return evaluation_->facts; }

bool StaticCode::checkValidity(const Requirement* requirement, Error* error) const {
    if (evaluation_->status != kCodeSignOK) return fail(error, evaluation_->status, evaluation_->description);
    if (requirement && !requirement->isSatisfiedBy(evaluation_->facts)) {
        return fail(error, kCodeSignRequirementFailed, "code failed to satisfy specified code requirement(s)");
    }
    return true;
}

}  // namespace platform::codesign
