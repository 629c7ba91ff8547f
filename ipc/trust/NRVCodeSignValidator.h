// Trust in peer processes and files by their code signatures.
//
// The peer checks take the peer's audit token (as 32 bytes or as the token
// itself): a zero token, pid 0 or 1, and a token whose process start time no
// longer matches the running process (its pid was reused) are never trusted.
// The executable checked is the file the process has mapped, even when its
// path was replaced since it started.
//
// Threading: class functions only, callable from any thread; the compiled
// requirements are made once. Signature evaluations are cached by file
// identity and modification time in the code-signing layer, so repeated
// checks of the same peer do not hash its executable again. No check touches
// the network.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ipc/trust/NRVFileSigningInfo.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Requirement.h"
#include "platform/process/AuditToken.h"
#include "platform/value/NRVValue.h"

class NRVCodeSignValidator {
public:
    NRVCodeSignValidator() = delete;

    using CheckBlock = std::function<void(bool valid, std::int64_t status, const std::optional<std::string>& error)>;

    // Check options of codeSignInfoForPath: bit 0 asks for deep validation.
    static constexpr std::uint64_t kCodeSignOptionDeep = 1;

    // YES only when the peer is signed by the maker (sign type 2 or 3) and
    // runs from one of the maker's places (or is the maker's installer).
    static bool isNerovaSignTypeForAuditTokenData(const NRVData& auditToken);
    static bool isNerovaSignTypeForAuditToken(const platform::AuditToken& auditToken);
    // YES when the peer runs with the hardened runtime and none of the
    // problematic entitlements is set to true.
    static bool areHardenRuntimeEntitlementsValidForAuditTokenData(const NRVData& auditToken);
    static bool areHardenRuntimeEntitlementsValidForAuditToken(const platform::AuditToken& auditToken);
    // What kind of signature a file on disk carries, and facts about the file.
    static NRVFileSigningInfo codeSignInfoForPath(const std::string& path, std::uint64_t options);

    // The running code (the mapped file) against a requirement.
    static void runDynamicCodeCheck(const platform::codesign::StaticCode& code,
                                    const platform::codesign::Requirement& requirement, const CheckBlock& block);
    // The file on disk against a requirement. Deep validation and network
    // access are accepted for the interface's sake: a file here has no nested
    // code, and no check goes to the network.
    static void runStaticCodeCheck(const platform::codesign::StaticCode& code,
                                   const platform::codesign::Requirement& requirement, bool deepValidation,
                                   bool allowNetworkAccess, const CheckBlock& block);
    static const platform::codesign::SigningInformation* retrieveSigningInfoFromStaticCode(
        const platform::codesign::StaticCode* code);
    static std::optional<std::string> designatedRequirementFromSecRequirementRef(
        const platform::codesign::Requirement* requirement);
    static std::int64_t determineSigningTypeFromSigningInfo(const platform::codesign::SigningInformation* info);

    static bool isNerovaPath(const std::string& path);
    static bool isNerovaLocation(const platform::codesign::StaticCode& code);
    static bool isNerovaInstaller(const platform::codesign::StaticCode& code);
    static bool isNerovaNibless(const platform::codesign::StaticCode& code);

    static void validateNerovaSignCode(const platform::codesign::StaticCode& code, bool deepValidation,
                                       NRVFileSigningInfo& signingInfo);
    static void validateAppleSignCode(const platform::codesign::StaticCode& code, bool deepValidation,
                                      NRVFileSigningInfo& signingInfo);
    static void validateAppleDevSignCode(const platform::codesign::StaticCode& code, bool deepValidation,
                                         NRVFileSigningInfo& signingInfo);
    static void storeRawSignInfo(const platform::codesign::StaticCode& code, NRVFileSigningInfo& signingInfo);

    // The compiled requirements.
    static const platform::codesign::Requirement& kSecRequirementAppleSignRef();
    static const platform::codesign::Requirement& kSecRequirementAppleDevIDSignRef();
    static const platform::codesign::Requirement& kSecRequirementNerovaProdSignRef();
    static const platform::codesign::Requirement& kSecRequirementNerovaDeveloperRef();

    static const std::vector<std::string>& kProblematicEntitlements();
    static const std::vector<std::string>& kNerovaEndpointNiblessIdents();
    static constexpr const char* kNerovaInstallerIdentifier = "com.nerova.rivovovuvev.Nerova-Installer";
    // The places the maker's programs run from (the trust policy's prefixes).
    static const std::vector<std::string>& kNerovaEndpointPathsWhiteList();
};
