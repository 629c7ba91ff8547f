// Code signatures of executables. A signed file F has a detached signature
// file "F.nrvsig" beside it: a property list holding the format version, the
// identifier, the team identifier, the flags, the entitlements, the
// designated-requirement text, the cdhash (SHA-256 of F), the certificate
// chain (DER, leaf first) and a signature by the leaf key over a canonical
// encoding of all the other fields. Ad hoc signatures carry no certificates
// and no signature. A file without a signature file is unsigned, except
// platform code (root-owned, not writable by group or others, under /usr,
// /bin, /sbin or /lib), which counts as signed by the platform.
//
// Limits: nothing in the kernel enforces these signatures; interpreters and
// the scripts they run are not covered. What else a process maps (a
// preloaded library) is judged by platform/process/CodeIntegrity.h.
//
// A check reads and verifies the signature file before it reads the
// executable: an unsigned file, a malformed or forged signature file, and a
// file larger than kMaxExecutableSize are refused without hashing. The
// signature file is read only when it is a regular file (never through a
// link, never a FIFO or device) of at most 1 MiB.
//
// Threading: every function may be called from any thread. Evaluations are
// cached process-wide by the identity of the executable and its signature
// file (device, inode, size, modification and change times, never the path)
// and of the anchors folder, and hashes by the identity of the executable,
// so a repeated check, or one of a hard link, does not hash the file again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/Requirement.h"
#include "platform/codesign/TrustPolicy.h"
#include "platform/error/Error.h"
#include "platform/value/NRVValue.h"

namespace platform::codesign {

constexpr std::uint32_t kCodeSignFlagAdhoc = 0x2;
constexpr std::uint32_t kCodeSignFlagRuntime = 0x10000;
constexpr std::int64_t kSignatureFormatVersion = 1;
inline constexpr const char* kSignatureFileSuffix = ".nrvsig";
// No signed program of ours comes near this size (the largest, a test
// program of a sanitizer build, is about 160 MiB). A larger file with a
// signature file beside it is refused without being read, so a huge or
// sparse file cannot make a check expensive. Platform code is exempt.
constexpr std::uint64_t kMaxExecutableSize = 512ull << 20;

// Status codes of the checks (0 is success).
enum CodeSignStatus : int {
    kCodeSignOK = 0,
    kCodeSignNoSuchCode = -67068,         // no such file or process, or not a regular file
    kCodeSignUnsigned = -67062,           // no signature file
    kCodeSignSignatureFailed = -67061,    // hash or signature does not match
    kCodeSignMalformed = -67063,          // signature file unreadable or malformed
    kCodeSignRequirementFailed = -67050,  // intact, but the requirement does not hold
    kCodeSignProcessChanged = -67067,     // the process is no longer the one asked about
    kCodeSignSigningFailed = -67030,      // making a signature failed
};

// The fields of a signature file.
struct SignatureFields {
    std::string identifier;
    std::string teamIdentifier;
    std::uint32_t flags = 0;
    NRVDictionary entitlements;
    std::string designatedRequirement;
    NRVData cdhash;
    std::vector<NRVData> certificates;  // DER, leaf first
    NRVData signature;
};

std::string signatureFilePath(const std::string& executablePath);
// The bytes the leaf key signs: every field but the signature, in a fixed
// order with dictionary keys sorted, so that re-encoding a file's property
// list cannot change what was signed.
NRVData canonicalEncoding(const SignatureFields& fields);
// nullopt with kCodeSignUnsigned when there is no signature file, or with
// kCodeSignMalformed when it is not a regular file, too large or malformed.
std::optional<SignatureFields> readSignatureFile(const std::string& signaturePath, Error* error = nullptr);
bool writeSignatureFile(const std::string& signaturePath, const SignatureFields& fields, Error* error = nullptr);
// SHA-256 of a whole file; nullopt when it is no readable regular file.
std::optional<NRVData> sha256OfFile(const std::string& path, Error* error = nullptr);
// SHA-1 of a whole file, for records that identify files by it.
std::optional<NRVData> sha1OfFile(const std::string& path, Error* error = nullptr);

struct SignOptions {
    std::string identifier;
    // Defaults to the leaf certificate's organisational unit.
    std::optional<std::string> teamIdentifier;
    bool hardenedRuntime = false;
    bool adhoc = false;  // no key, no certificates
    NRVDictionary entitlements;
    // Defaults to: identifier "<id>" and anchor apple generic and
    // certificate leaf[subject.OU] = "<team>" (ad hoc: the cdhash).
    std::optional<std::string> designatedRequirement;
    std::string privateKeyPath;                 // PEM
    std::vector<std::string> certificatePaths;  // PEM or DER, leaf first
};
// Writes "<path>.nrvsig" atomically. The key must belong to the leaf.
bool signFile(const std::string& executablePath, const SignOptions& options, Error* error = nullptr);

// Signing information as the checks see it.
struct SigningInformation {
    bool isSigned = false;
    bool isPlatformCode = false;
    std::string path;
    std::string identifier;
    std::string teamIdentifier;
    std::uint32_t flags = 0;
    NRVDictionary entitlements;
    std::string designatedRequirement;
    NRVData cdhash;  // of the file as it is now
    std::vector<CertificateFacts> certificates;
};

// Code on disk, or the file a running process was started from.
class StaticCode {
public:
    // Follows links: the file checked is the one the path leads to.
    static std::optional<StaticCode> createWithPath(const std::string& path, Error* error = nullptr);
    // The file mapped by the process (/proc/<pid>/exe), even when its path
    // was replaced or removed since. With an expected start time (clock
    // ticks since boot), a process that no longer has it is refused with
    // kCodeSignProcessChanged, before and after the file is opened.
    static std::optional<StaticCode> createWithProcess(pid_t pid, std::optional<std::uint64_t> expectedStartTime,
                                                       Error* error = nullptr);

    const std::string& path() const;
    const SigningInformation& signingInformation() const;
    const CodeFacts& facts() const;
    // The signature is present and intact (hash, signature, well-formed
    // chain), and the requirement, when given, holds. Chain trust does not
    // decide validity on its own: "anchor apple generic" asks for it.
    bool checkValidity(const Requirement* requirement, Error* error = nullptr) const;

    struct Evaluation;

private:
    explicit StaticCode(std::shared_ptr<const Evaluation> e) : evaluation_(std::move(e)) {}
    std::shared_ptr<const Evaluation> evaluation_;
};

// Counts evaluations (signature file read and judged), and executables
// hashed, since the process started, so tests and benchmarks can see the
// caches work and what a refusal cost.
std::uint64_t evaluationCount();
std::uint64_t executableHashCount();

}  // namespace platform::codesign
