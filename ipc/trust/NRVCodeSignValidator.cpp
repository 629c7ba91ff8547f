#include "ipc/trust/NRVCodeSignValidator.h"

#include <chrono>
#include <map>

#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVXPCConnectionAuditToken.h"
#include "platform/codesign/TrustPolicy.h"
#include "platform/fs/FileManager.h"
#include "platform/process/CodeIntegrity.h"
#include "platform/process/ProcessInfo.h"
#include "platform/thread/Mutex.h"
#include "platform/value/HexString.h"
#include "platform/memory/NoDestructor.h"

namespace cs = platform::codesign;

namespace {

const NRVLogHandle& log() { return NerovaLogger::signing(); }

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

cs::Requirement compile(const std::string& text) {
    platform::Error error;
    auto r = cs::Requirement::parse(text, &error);
    // The texts are ours; a failure here is a programming error that must
    // not turn into "accept everything".
    if (!r) {
        log().fault("Failed to compile code requirement '" + text + "': " + error.description);
        return *cs::Requirement::parse("identifier \"\" and anchor apple and anchor apple generic");
    }
    return *r;
}

// The maker's requirements depend on the trust policy (its team and
// organisation), which tests may switch; each policy gets its own set.
struct MakerRequirements {
    cs::Requirement production;
    cs::Requirement developer;
};

const MakerRequirements& makerRequirements() {
    static platform::Mutex mutex;
    static platform::NoDestructor<std::map<const cs::TrustPolicy*, std::unique_ptr<MakerRequirements>>> made;
    const cs::TrustPolicy& policy = cs::TrustPolicy::current();
    platform::MutexLock lock(mutex);
    auto& slot = (*made)[&policy];
    if (!slot) {
        slot = std::make_unique<MakerRequirements>(MakerRequirements{
            compile("certificate leaf[subject.O] = " + quoted(policy.organization) +
                    " and anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
                    " and certificate leaf[subject.OU] = " + quoted(policy.teamIdentifier)),
            compile("anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.1] exists"
                    " and certificate leaf[subject.OU] = " + quoted(policy.teamIdentifier) +
                    " and certificate leaf[subject.O] = " + quoted(policy.organization)),
        });
    }
    return *slot;
}

std::string statusText(std::int64_t status) { return std::to_string(status); }

// The running code behind a token, refusing tokens that cannot be trusted.
std::optional<cs::StaticCode> codeForAuditToken(const platform::AuditToken& token, platform::Error* error) {
    if (!token.isTrustworthyShape()) {
        *error = platform::Error{.operation = {}, .code = 0, .description = "the audit token names no usable process", .status = cs::kCodeSignNoSuchCode};
        return std::nullopt;
    }
    return cs::StaticCode::createWithProcess(token.pid(), token.startTime(), error);
}

bool isZeroToken(const platform::AuditToken& token) { return token == platform::AuditToken{}; }

void applyCheck(const cs::StaticCode& code, const cs::Requirement& requirement, bool deep, NRVFileSigningInfo& info,
                std::int64_t signTypeWhenValid) {
    NRVCodeSignValidator::runStaticCodeCheck(code, requirement, deep, true,
                                             [&](bool valid, std::int64_t status, const std::optional<std::string>& error) {
                                                 info.isValid = valid;
                                                 info.lastStatusCode = status;
                                                 info.lastError = error;
                                                 NRVCodeSignValidator::storeRawSignInfo(code, info);
                                             });
    if (info.isValid) info.signType = signTypeWhenValid;
}

void appendError(NRVFileSigningInfo& info, const std::string& text) {
    if (info.lastError && !info.lastError->empty()) {
        info.lastError = *info.lastError + "|" + text;
    } else {
        info.lastError = text;
    }
}

}  // namespace

const cs::Requirement& NRVCodeSignValidator::kSecRequirementAppleSignRef() {
    static const platform::NoDestructor<cs::Requirement> r(compile("anchor apple"));
    return *r;
}

const cs::Requirement& NRVCodeSignValidator::kSecRequirementAppleDevIDSignRef() {
    static const platform::NoDestructor<cs::Requirement> r(compile("anchor apple generic"));
    return *r;
}

const cs::Requirement& NRVCodeSignValidator::kSecRequirementNerovaProdSignRef() { return makerRequirements().production; }

const cs::Requirement& NRVCodeSignValidator::kSecRequirementNerovaDeveloperRef() { return makerRequirements().developer; }

const std::vector<std::string>& NRVCodeSignValidator::kProblematicEntitlements() {
    static const platform::NoDestructor<std::vector<std::string>> list(std::vector<std::string>{
        "com.apple.security.get-task-allow",
        "com.apple.security.cs.disable-library-validation",
        "com.apple.security.cs.allow-dyld-environment-variables",
    });
    return *list;
}

const std::vector<std::string>& NRVCodeSignValidator::kNerovaEndpointNiblessIdents() {
    static const platform::NoDestructor<std::vector<std::string>> list(std::vector<std::string>{
        "com.nerova.rivovovuvev.eventmonitor",
        "com.nerova.rivovovuvev.detection-extension",
        "com.nerova.rivovovuvev.ransomware-protection",
        "com.nerova.rivovovuvev.scan-extension",
    });
    return *list;
}

const std::vector<std::string>& NRVCodeSignValidator::kNerovaEndpointPathsWhiteList() {
    return cs::TrustPolicy::current().allowedPathPrefixes;
}

bool NRVCodeSignValidator::isNerovaSignTypeForAuditTokenData(const NRVData& auditToken) {
    auto token = NRVXPCConnectionAuditToken::auditTokenFromData(auditToken);
    if (!token) {
        log().error("Failed codesign validation: No audit token");
        return false;
    }
    return isNerovaSignTypeForAuditToken(*token);
}

bool NRVCodeSignValidator::isNerovaSignTypeForAuditToken(const platform::AuditToken& auditToken) {
    if (isZeroToken(auditToken)) {
        log().error("Failed codesign validation: No audit token");
        return false;
    }
    std::int64_t signType = NRVSignTypeNotAvailable;
    platform::Error error;
    auto code = codeForAuditToken(auditToken, &error);
    if (!code) {
        log().error("Failed to get SecCode with the audit token for connection from the process with PID: '" +
                    std::to_string(auditToken.pid()) + "' error: " + statusText(error.status));
        return false;
    }
    // The running code and the code on disk are both reached through the
    // mapped file; there is no separate step that can fail in between.
    const cs::Requirement& production = kSecRequirementNerovaProdSignRef();
    bool dynamicValid = false;
    runDynamicCodeCheck(*code, production, [&](bool valid, std::int64_t, const std::optional<std::string>& text) {
        dynamicValid = valid;
        if (!valid && text) log().error(*text);
    });
    if (!dynamicValid) return false;

    auto inExpectedPlace = [&] {
        if (isNerovaLocation(*code) || isNerovaInstaller(*code)) return true;
        log().error("Nerova executable is not in expected path.");
        return false;
    };
    if (isNerovaNibless(*code)) {
        if (!inExpectedPlace()) return false;
        signType = NRVSignTypeNerova;
    } else {
        // The file now at the process's path must be the maker's too: a
        // replaced file would be what starts next time.
        platform::Error diskError;
        auto onDisk = cs::StaticCode::createWithPath(code->path(), &diskError);
        bool staticValid = false;
        std::optional<std::string> staticError = diskError.description;
        if (onDisk) {
            runStaticCodeCheck(*onDisk, production, true, false,
                               [&](bool valid, std::int64_t, const std::optional<std::string>& text) {
                                   staticValid = valid;
                                   staticError = text;
                               });
        }
        if (!staticValid) {
            if (staticError && !staticError->empty()) log().error("Failed static validation: " + *staticError);
            return false;
        }
        if (!inExpectedPlace()) return false;
        signType = NRVSignTypeNerova;
    }
    return signType == NRVSignTypeNerova || signType == NRVSignTypeNerovaAlternate;
}

bool NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditTokenData(const NRVData& auditToken) {
    auto token = NRVXPCConnectionAuditToken::auditTokenFromData(auditToken);
    if (!token) {
        log().error("Failed to get SecCode with the audit token; status: " + statusText(cs::kCodeSignNoSuchCode));
        return false;
    }
    return areHardenRuntimeEntitlementsValidForAuditToken(*token);
}

bool NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(const platform::AuditToken& auditToken) {
    platform::Error error;
    auto code = codeForAuditToken(auditToken, &error);
    if (!code) {
        log().error("Failed to get SecCode with the audit token; status: " + statusText(error.status));
        return false;
    }
    // Flags and entitlements count only when the signature that states them
    // is intact.
    if (!code->checkValidity(nullptr, &error)) {
        log().error("Failed to obtain signing information; status: " + statusText(error.status));
        return false;
    }
    const cs::SigningInformation& info = code->signingInformation();
    log().log("The info flags of the connecting process: " + std::to_string(info.flags));
    if (!(info.flags & cs::kCodeSignFlagRuntime)) {
        log().error("Hardened runtime is not set for the connecting process");
        return false;
    }
    // Hardened means unmodified while it runs: not traced, no code but its
    // own and the system's. Looked at after the signature, and bound to the
    // same process by its start time.
    auto problem = platform::process::runtimeIntegrityProblem(auditToken.pid());
    auto startTime = platform::process::processStartTime(auditToken.pid());
    if (!problem && (!startTime || *startTime != auditToken.startTime())) problem = "the process is gone or was replaced";
    if (problem) {
        log().error("The connecting process may run modified code: " + *problem);
        return false;
    }
    log().log("The entitlements of the connecting process: " + NSDictionaryExtensions::singleLineDescription(info.entitlements));
    if (info.entitlements.empty()) return true;
    for (const auto& name : kProblematicEntitlements()) {
        const NRVValue* value = info.entitlements.find(name);
        if (value && value->asBool() && *value->asBool()) {
            log().error("The problematic `" + name + "` entitlement is enabled");
            return false;
        }
    }
    return true;
}

void NRVCodeSignValidator::runDynamicCodeCheck(const cs::StaticCode& code, const cs::Requirement& requirement,
                                               const CheckBlock& block) {
    platform::Error error;
    if (!code.checkValidity(&requirement, &error)) {
        block(false, error.status, "Failed to run SecCodeCheckValidityWithErrors. Error: " + error.description);
        return;
    }
    block(true, 0, std::nullopt);
}

void NRVCodeSignValidator::runStaticCodeCheck(const cs::StaticCode& code, const cs::Requirement& requirement,
                                              bool deepValidation, bool allowNetworkAccess, const CheckBlock& block) {
    platform::Error error;
    if (!code.checkValidity(&requirement, &error)) {
        block(false, error.status, "Failed to run SecStaticCodeCheckValidityWithErrors. Error: " + error.description);
        return;
    }
    block(true, 0, std::nullopt);
}

const cs::SigningInformation* NRVCodeSignValidator::retrieveSigningInfoFromStaticCode(const cs::StaticCode* code) {
    return code ? &code->signingInformation() : nullptr;
}

std::optional<std::string> NRVCodeSignValidator::designatedRequirementFromSecRequirementRef(
    const cs::Requirement* requirement) {
    if (!requirement) return std::nullopt;
    return requirement->text();
}

std::int64_t NRVCodeSignValidator::determineSigningTypeFromSigningInfo(const cs::SigningInformation* info) {
    if (!info || !info->isSigned || info->identifier.empty()) return NRVSignTypeNotSigned;
    const std::string& dr = info->designatedRequirement;
    if (dr.find("anchor apple generic") != std::string::npos) {
        return info->teamIdentifier == cs::TrustPolicy::current().teamIdentifier ? NRVSignTypeNerova
                                                                                 : NRVSignTypeAppleDeveloper;
    }
    if (dr.find("anchor apple") == std::string::npos) {
        return (info->flags & cs::kCodeSignFlagAdhoc) ? NRVSignTypeAdhoc : NRVSignTypeOther;
    }
    return NRVSignTypeApple;
}

bool NRVCodeSignValidator::isNerovaPath(const std::string& path) {
    for (const auto& entry : kNerovaEndpointPathsWhiteList()) {
        if (entry.empty()) continue;
        if (path == entry || path.rfind(entry + "/", 0) == 0) return true;
    }
    return false;
}

bool NRVCodeSignValidator::isNerovaLocation(const cs::StaticCode& code) {
    return !code.path().empty() && isNerovaPath(code.path());
}

bool NRVCodeSignValidator::isNerovaInstaller(const cs::StaticCode& code) {
    return code.signingInformation().identifier == kNerovaInstallerIdentifier;
}

bool NRVCodeSignValidator::isNerovaNibless(const cs::StaticCode& code) {
    const std::string& id = code.signingInformation().identifier;
    for (const auto& nibless : kNerovaEndpointNiblessIdents()) {
        if (id == nibless) return true;
    }
    return false;
}

void NRVCodeSignValidator::validateNerovaSignCode(const cs::StaticCode& code, bool deepValidation,
                                                  NRVFileSigningInfo& signingInfo) {
    applyCheck(code, kSecRequirementNerovaProdSignRef(), deepValidation, signingInfo, NRVSignTypeNerova);
}

void NRVCodeSignValidator::validateAppleSignCode(const cs::StaticCode& code, bool deepValidation,
                                                 NRVFileSigningInfo& signingInfo) {
    applyCheck(code, kSecRequirementAppleSignRef(), deepValidation, signingInfo, NRVSignTypeApple);
}

void NRVCodeSignValidator::validateAppleDevSignCode(const cs::StaticCode& code, bool deepValidation,
                                                    NRVFileSigningInfo& signingInfo) {
    applyCheck(code, kSecRequirementAppleDevIDSignRef(), deepValidation, signingInfo, NRVSignTypeAppleDeveloper);
}

void NRVCodeSignValidator::storeRawSignInfo(const cs::StaticCode& code, NRVFileSigningInfo& signingInfo) {
    const cs::SigningInformation& info = code.signingInformation();
    signingInfo.teamIdentifier = info.teamIdentifier;
    signingInfo.identifier = info.identifier;
    signingInfo.signType = determineSigningTypeFromSigningInfo(&info);
    signingInfo.designatedRequirement = info.designatedRequirement;
    signingInfo.authorities.clear();
    for (const auto& cert : info.certificates) {
        if (cert.subjectCN) signingInfo.authorities.push_back(*cert.subjectCN);
    }
}

NRVFileSigningInfo NRVCodeSignValidator::codeSignInfoForPath(const std::string& path, std::uint64_t options) {
    const auto start = std::chrono::steady_clock::now();
    NRVFileSigningInfo record;
    record.codeSignOptions = options;
    record.path = path;

    platform::Error error;
    auto code = cs::StaticCode::createWithPath(path, &error);
    if (!code) {
        record.lastStatusCode = error.status;
        record.lastError = "Failed to run SecStaticCodeCreateWithPath for the path '" + path + "'.";
    } else {
        const bool deep = (options & kCodeSignOptionDeep) != 0;
        switch (determineSigningTypeFromSigningInfo(&code->signingInformation())) {
            case NRVSignTypeApple: validateAppleSignCode(*code, deep, record); break;
            case NRVSignTypeNerova:
            case NRVSignTypeNerovaAlternate: validateNerovaSignCode(*code, deep, record); break;
            default: validateAppleDevSignCode(*code, deep, record); break;
        }
    }

    if (auto identity = platform::fs::fileIdentity(path)) {
        record.fsid = identity->device;
        record.inode = identity->inode;
        record.fileSize = identity->size;
        record.fileModTimeSec = identity->mtimeNanoseconds / 1000000000;
        record.fileModTimeNsec = identity->mtimeNanoseconds % 1000000000;
    } else {
        appendError(record, "stat() error: " + std::to_string(errno));
    }
    if (auto sha1 = cs::sha1OfFile(path)) {
        record.sha1 = platform::lowercaseHex(*sha1);
    } else {
        appendError(record, "Failed to open the path '" + path + "' for reading.");
    }
    record.calculationTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return record;
}
