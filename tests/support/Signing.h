// Signing helpers shared by the signature tests: the build's development
// authority, a waiting test program to copy and sign, and policy files.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "platform/codesign/CodeSignature.h"
#include "platform/process/CodeIntegrity.h"
#include "platform/process/ProcessInfo.h"
#include "platform/plist/PropertyList.h"

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

}  // namespace testsupport::signing
