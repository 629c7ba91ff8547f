// Signing helpers shared by the signature tests: the build's development
// authority, a waiting test program to copy and sign, and policy files.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "platform/codesign/CodeSignature.h"
#include "platform/process/CodeIntegrity.h"
#include "platform/process/ProcessInfo.h"
#include "platform/plist/PropertyList.h"
#include "support/TestSupport.h"

namespace testsupport::signing {

inline std::string authorityFile(const std::string& name) { return std::string(NRV_CODESIGN_DIR) + "/" + name; }
inline std::string anchorsFolder() { return authorityFile("anchors"); }
inline std::string testeeProgram() { return std::string(NRV_BIN_DIR) + "/nrv-signing-testee"; }

// Copies the waiting test program to `path` as an executable.
inline void placeTestee(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file(testeeProgram(), path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
}

// Waits (up to 5 s) until a just-started child runs `path`: some spawn
// implementations (sanitizer builds) return before the child has exec'd,
// and the executable link changes before the new program is mapped.
inline bool waitForExec(pid_t pid, const std::string& path) {
    const std::string expected = std::filesystem::weakly_canonical(path).string();
    for (int i = 0; i < 500; ++i) {
        auto now = platform::process::executablePath(pid);
        struct stat st {};
        if (now && *now == expected && ::stat(expected.c_str(), &st) == 0 &&
            !platform::process::executableMappingProblem(pid, st.st_dev, st.st_ino))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Signed by the maker's development leaf, hardened, no entitlements.
inline platform::codesign::SignOptions makerOptions(const std::string& identifier) {
    platform::codesign::SignOptions o;
    o.identifier = identifier;
    o.hardenedRuntime = true;
    o.privateKeyPath = authorityFile("leaf.key");
    o.certificatePaths = {authorityFile("leaf.pem"), authorityFile("intermediate.pem")};
    return o;
}

// The same authority, another maker and team.
inline platform::codesign::SignOptions otherTeamOptions(const std::string& identifier) {
    auto o = makerOptions(identifier);
    o.privateKeyPath = authorityFile("other-leaf.key");
    o.certificatePaths = {authorityFile("other-leaf.pem"), authorityFile("intermediate.pem")};
    return o;
}

// A self-made authority in `dir` whose root, intermediate and leaf carry the
// very names and extensions of the build's development authority: only the
// anchors tell the two apart. Returns options signing with its leaf, or
// nullopt (with *why) when the openssl program fails.
inline std::optional<platform::codesign::SignOptions> lookalikeOptions(const std::string& dir,
                                                                       const std::string& identifier,
                                                                       std::string* why);

// The build's team as read from the test policy that CMake writes.
inline std::string buildTeamIdentifier() {
    auto policy = platform::plist::readFile(authorityFile("test-policy.plist"));
    const NRVValue* team = policy ? (*policy)["TeamIdentifier"] : nullptr;
    return team && team->asString() ? *team->asString() : "";
}

// Writes a trust policy file: the build's team and organisation, the given
// anchors folder and allowed places.
inline std::string writePolicy(const std::string& path, const std::vector<std::string>& allowedPrefixes,
                               const std::string& anchors = anchorsFolder()) {
    NRVDictionary d;
    d.set("TeamIdentifier", NRVValue(buildTeamIdentifier()));
    d.set("Organization", NRVValue("Nerova"));
    d.set("AnchorsFolder", NRVValue(anchors));
    NRVArray prefixes;
    for (const auto& p : allowedPrefixes) prefixes.emplace_back(p);
    d.set("AllowedPathPrefixes", NRVValue(std::move(prefixes)));
    platform::plist::writeFile(path, NRVValue(std::move(d)), platform::plist::Format::XML);
    return path;
}

inline std::optional<platform::codesign::SignOptions> lookalikeOptions(const std::string& dir,
                                                                       const std::string& identifier,
                                                                       std::string* why) {
    const std::string openssl = "/usr/bin/openssl";
    const std::string config = authorityFile("authority.cnf");
    const std::string team = buildTeamIdentifier();
    auto run = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{openssl};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = testsupport::runProgram(argv, {}, dir);
        if (r.status != 0 && why) *why = args.front() + ": " + r.err;
        return r.status == 0;
    };
    auto key = [&](const std::string& name) {
        return run({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key"});
    };
    auto issue = [&](const std::string& name, const std::string& subject, const std::string& extensions,
                     const std::string& issuer, const std::string& serial) {
        return key(name) &&
               run({"req", "-new", "-key", name + ".key", "-subj", subject, "-config", config, "-out", name + ".csr"}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + ".key",
                    "-set_serial", serial, "-days", "30", "-sha256", "-extfile", config, "-extensions", extensions,
                    "-out", name + ".pem"});
    };
    const bool made =
        key("root") &&
        run({"req", "-x509", "-new", "-key", "root.key", "-subj",
             "/O=Nerova Development Authority/CN=Nerova Development Root CA", "-days", "30", "-sha256", "-config",
             config, "-extensions", "root", "-out", "root.pem"}) &&
        issue("intermediate", "/O=Nerova Development Authority/CN=Nerova Development Certification Authority",
              "intermediate", "root", "101") &&
        issue("leaf", "/CN=Developer ID Application: Nerova (" + team + ")/OU=" + team + "/O=Nerova", "leaf",
              "intermediate", "102");
    if (!made) return std::nullopt;
    auto o = makerOptions(identifier);
    o.privateKeyPath = dir + "/leaf.key";
    o.certificatePaths = {dir + "/leaf.pem", dir + "/intermediate.pem"};
    return o;
}

}  // namespace testsupport::signing
