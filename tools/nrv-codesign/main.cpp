// nrv-codesign: makes, checks and shows the detached signatures of executables.
//   nrv-codesign sign --identifier ID (--key KEY.pem --cert CERT.pem... | --adhoc)
//                     [--team TEAM] [--hardened] [--entitlements FILE.plist]
//                     [--requirement TEXT] [--] FILE
//   nrv-codesign verify [--requirement TEXT] [--integrity-only] [--] FILE
//   nrv-codesign display [--] FILE
// verify accepts a file only when its signature is intact, its certificate
// chain leads to an anchor of the trust policy's anchors folder, and it
// satisfies its own designated requirement (and --requirement when given).
// Platform code is judged by its designated requirement alone; an ad hoc
// signature, vouched for by no authority, is refused. --integrity-only
// weakens this to "the file matches its signature", whoever signed it.
// Exit status: 0 success, 1 the signature is missing, broken, not anchored or
// fails a requirement, 2 a usage error.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/CodeIntegrity.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/value/HexString.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/TrustPolicy.h"
#include "platform/plist/PropertyList.h"

namespace cs = platform::codesign;

namespace {

int usage(const char* why) {
    std::fprintf(stderr, "nrv-codesign: %s\n", why);
    std::fprintf(stderr,
                 "usage: nrv-codesign sign --identifier ID (--key KEY --cert CERT... | --adhoc) [--team TEAM]\n"
                 "                         [--hardened] [--entitlements FILE] [--requirement TEXT] [--] FILE\n"
                 "       nrv-codesign verify [--requirement TEXT] [--integrity-only] [--] FILE\n"
                 "       nrv-codesign display [--] FILE\n"
                 "verify checks the signature, that its chain leads to a trusted anchor, and the\n"
                 "file's own designated requirement. --integrity-only checks only that the file\n"
                 "matches its signature, trusting ANY authority (a self-made one too) and\n"
                 "skipping the designated requirement.\n");
    return 2;
}

struct Arguments {
    std::string command;
    std::string file;
    std::optional<std::string> identifier, team, key, entitlements, requirement;
    std::vector<std::string> certificates;
    bool adhoc = false, hardened = false, integrityOnly = false;
};

std::optional<Arguments> parse(int argc, char** argv, std::string* why) {
    Arguments a;
    if (argc < 2) {
        *why = "no command";
        return std::nullopt;
    }
    a.command = argv[1];
    std::vector<std::string> operands;
    bool options = true;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::optional<std::string>* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--identifier") {
            if (!value(&a.identifier)) return *why = "--identifier needs a value", std::nullopt;
        } else if (options && arg == "--team") {
            if (!value(&a.team)) return *why = "--team needs a value", std::nullopt;
        } else if (options && arg == "--key") {
            if (!value(&a.key)) return *why = "--key needs a value", std::nullopt;
        } else if (options && arg == "--entitlements") {
            if (!value(&a.entitlements)) return *why = "--entitlements needs a value", std::nullopt;
        } else if (options && arg == "--requirement") {
            if (!value(&a.requirement)) return *why = "--requirement needs a value", std::nullopt;
        } else if (options && arg == "--cert") {
            std::optional<std::string> c;
            if (!value(&c)) return *why = "--cert needs a value", std::nullopt;
            a.certificates.push_back(*c);
        } else if (options && arg == "--adhoc") {
            a.adhoc = true;
        } else if (options && arg == "--hardened") {
            a.hardened = true;
        } else if (options && arg == "--integrity-only") {
            a.integrityOnly = true;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            *why = "unknown option " + arg;
            return std::nullopt;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.size() != 1) {
        *why = "exactly one file is needed";
        return std::nullopt;
    }
    a.file = operands.front();
    return a;
}

int sign(const Arguments& a) {
    if (!a.identifier) return usage("sign needs --identifier");
    if (!a.adhoc && (!a.key || a.certificates.empty())) return usage("sign needs --key and --cert, or --adhoc");
    cs::SignOptions o;
    o.identifier = *a.identifier;
    o.teamIdentifier = a.team;
    o.hardenedRuntime = a.hardened;
    o.adhoc = a.adhoc;
    o.designatedRequirement = a.requirement;
    if (a.requirement) {
        platform::Error error;
        if (!cs::Requirement::parse(*a.requirement, &error))
            return usage(("bad requirement: " + error.description).c_str());
    }
    if (a.key) o.privateKeyPath = *a.key;
    o.certificatePaths = a.certificates;
    if (a.entitlements) {
        auto value = platform::plist::readFile(*a.entitlements);
        if (!value || !value->asDictionary()) {
            std::fprintf(stderr, "nrv-codesign: %s: not a property-list dictionary\n", a.entitlements->c_str());
            return 1;
        }
        o.entitlements = *value->asDictionary();
    }
    platform::Error error;
    if (!cs::signFile(a.file, o, &error)) {
        std::fprintf(stderr, "nrv-codesign: %s: %s\n", a.file.c_str(), error.description.c_str());
        return 1;
    }
    return 0;
}

int verify(const Arguments& a) {
    std::optional<cs::Requirement> requirement;
    if (a.requirement) {
        platform::Error why;
        requirement = cs::Requirement::parse(*a.requirement, &why);
        if (!requirement) return usage(("bad requirement: " + why.description).c_str());
    }
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "%s: %s\n", a.file.c_str(), why.c_str());
        return 1;
    };
    platform::Error error;
    auto code = cs::StaticCode::createWithPath(a.file, &error);
    if (!code || !code->checkValidity(requirement ? &*requirement : nullptr, &error)) {
        return refuse(error.description + " (" + std::to_string(error.status) + ")");
    }
    const auto& info = code->signingInformation();
    if (!a.integrityOnly) {
        if (info.flags & cs::kCodeSignFlagAdhoc) {
            return refuse("ad hoc signature: no authority vouches for it (--integrity-only accepts it)");
        }
        if (!info.isPlatformCode && !code->facts().anchorTrusted) {
            return refuse("the certificate chain does not lead to a trusted anchor in " +
                          cs::TrustPolicy::current().anchorsFolder + " (--integrity-only accepts any authority)");
        }
        platform::Error why;
        auto designated = cs::Requirement::parse(info.designatedRequirement, &why);
        if (!designated) return refuse("its designated requirement cannot be read: " + why.description);
        if (!code->checkValidity(&*designated, &error)) {
            return refuse("does not satisfy its designated requirement: " + info.designatedRequirement);
        }
    }
    std::printf("%s: valid on disk\n", a.file.c_str());
    if (a.integrityOnly) {
        std::printf("%s: integrity only; the authority and the designated requirement were not checked\n",
                    a.file.c_str());
    } else {
        std::printf("%s: satisfies its designated requirement\n", a.file.c_str());
    }
    if (requirement) std::printf("%s: satisfies its requirement\n", a.file.c_str());
    return 0;
}

int display(const Arguments& a) {
    platform::Error error;
    auto code = cs::StaticCode::createWithPath(a.file, &error);
    if (!code) {
        std::fprintf(stderr, "%s: %s\n", a.file.c_str(), error.description.c_str());
        return 1;
    }
    const auto& info = code->signingInformation();
    std::printf("Executable=%s\n", info.path.c_str());
    if (!info.isSigned) {
        std::printf("code object is not signed at all\n");
        return 1;
    }
    std::printf("Identifier=%s\n", info.identifier.c_str());
    std::printf("TeamIdentifier=%s\n", info.teamIdentifier.empty() ? "not set" : info.teamIdentifier.c_str());
    std::printf("Flags=0x%x%s%s%s\n", info.flags, info.flags & cs::kCodeSignFlagAdhoc ? " adhoc" : "",
                info.flags & cs::kCodeSignFlagRuntime ? " runtime" : "", info.isPlatformCode ? " platform" : "");
    std::printf("CDHash=%s\n", platform::lowercaseHex(info.cdhash).c_str());
    for (const auto& cert : info.certificates) {
        std::printf("Authority=%s\n", cert.subjectCN.value_or("").c_str());
    }
    std::printf("designated => %s\n", info.designatedRequirement.c_str());
    for (std::size_t i = 0; i < info.entitlements.size(); ++i) {
        const NRVValue& v = info.entitlements.valueAt(i);
        std::string text = v.asBool() ? (*v.asBool() ? "true" : "false") : v.asString() ? *v.asString() : "<value>";
        std::printf("Entitlement %s=%s\n", info.entitlements.keyAt(i).c_str(), text.c_str());
    }
    bool valid = code->checkValidity(nullptr, &error);
    std::printf("Validity=%s\n", valid ? "valid" : error.description.c_str());
    return valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    std::string why;
    auto a = parse(argc, argv, &why);
    if (!a) return usage(why.c_str());
    if (a->integrityOnly && a->command != "verify") return usage("--integrity-only belongs to verify");
    if (a->command == "sign") return sign(*a);
    if (a->command == "verify") return verify(*a);
    if (a->command == "display") return display(*a);
    return usage(("unknown command " + a->command).c_str());
}
