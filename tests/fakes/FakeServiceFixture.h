// The one fixture of the tests that need the product's services: a private
// runtime root and log store, fake services started as real processes that
// must print READY within 30 s, and all of them ended in teardown by pid.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "support/Signing.h"

extern char** environ;

// The build's team and anchors (from the policy CMake writes for tests), with
// the build's bin folder and `peers` as the allowed places.
inline std::string testsupport_policyText(const std::string& peers) {
    std::string text;
    FILE* f = fopen(NRV_CODESIGN_DIR "/test-policy.plist", "r");
    if (f) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    const std::string marker = "</string></array>";
    std::size_t at = text.find(marker);
    if (at != std::string::npos) text.insert(at + 9, "<string>" + peers + "</string>");
    return text;
}

// The runtime root, log store and trust policy are set once, before main
// starts any thread: changing the environment while the transport's and the
// logger's threads read it would race.
namespace fakeservices {

struct Environment {
    std::string root;
    Environment() {
        // Short on purpose: socket paths are limited to 107 bytes.
        char tmpl[] = "/tmp/nrvrtXXXXXX";
        if (!mkdtemp(tmpl)) return;
        root = tmpl;
        setenv("NRV_RUNTIME_ROOT", root.c_str(), 1);
        setenv("NRV_LOG_STORE", (root + "/unified.log").c_str(), 1);
        // The build's bin folder and the peers folder of the signature tests
        // are the maker's places; the build's anchors are trusted.
        std::filesystem::create_directories(root + "/peers");
        const std::string policy = root + "/policy.plist";
        FILE* f = fopen(policy.c_str(), "w");
        if (f) {
            std::string text = testsupport_policyText(root + "/peers");
            fwrite(text.data(), 1, text.size(), f);
            fclose(f);
        }
        setenv("NRV_CODESIGN_POLICY", policy.c_str(), 1);
    }
    ~Environment() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

inline Environment& environment() {
    static Environment e;
    return e;
}
inline const bool kEnvironmentReady = !environment().root.empty();

}  // namespace fakeservices

class FakeServiceFixture : public ::testing::Test {
protected:
    // Every test starts with none of the process's shared services, as when
    // it runs alone: what an earlier test of the same program left (services
    // still posted, observers of the broker's notices, a map registered with
    // an updater that is gone) would answer this test's brokers too. Here,
    // before the test's members take the shared helper, and again at the end.
    FakeServiceFixture() { resetSharedServices(); }

    void SetUp() override {
        ASSERT_TRUE(fakeservices::kEnvironmentReady);
        runtimeRoot_ = fakeservices::environment().root;
    }

    void TearDown() override {
        for (pid_t pid : std::vector<pid_t>(running_)) stopRole(pid);
        resetSharedServices();
    }

    static void resetSharedServices() {
        NRVDistributedNotification::resetSharedNotificationMapForUnitTest();
        NRVXPCServiceHelper::resetSharedHelperForUnitTest();
    }

    // Signed copies placed here count as the maker's programs.
    std::string peersFolder() const { return runtimeRoot_ + "/peers"; }

    const std::string& runtimeRoot() const { return runtimeRoot_; }
    std::string logStore() const { return runtimeRoot_ + "/unified.log"; }
    static std::string fakeServicePath() { return std::string(NRV_BIN_DIR) + "/nrv-fake-service"; }

    // Starts `--role=<role>` with the knobs; 0 (and a test failure) when it
    // does not print READY within 30 s.
    pid_t startRole(const std::string& role, const std::vector<std::string>& knobs = {}) {
        return startRoleFrom(fakeServicePath(), role, knobs);
    }
    // The same from another copy of the program (signed in some other way),
    // run through `prefix` (a program that runs the rest of its arguments,
    // such as one that changes the user) when given.
    pid_t startRoleFrom(const std::string& program, const std::string& role, const std::vector<std::string>& knobs = {},
                        const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> args = prefix;
        args.insert(args.end(), {program, "--role=" + role, "--runtime-root=" + runtimeRoot_});
        args.insert(args.end(), knobs.begin(), knobs.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return 0;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            ADD_FAILURE() << "cannot start " << args[0];
            return 0;
        }
        running_.push_back(pid);
        std::string seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (seen.find("READY\n") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[256];
            ssize_t r = read(out[0], buf, sizeof buf);
            if (r <= 0) break;
            seen.append(buf, static_cast<std::size_t>(r));
        }
        close(out[0]);
        if (seen.find("READY\n") == std::string::npos) {
            ADD_FAILURE() << "role " << role << " did not print READY within 30 s";
            stopRole(pid);
            return 0;
        }
        return pid;
    }

    // The endpoint and control endpoint the broker hands out for `service`;
    // empty names when it has none within 5 s.
    std::pair<std::string, std::string> endpointsOf(const std::string& service) {
        auto promise = std::make_shared<std::promise<std::pair<std::string, std::string>>>();
        NRVNerovaXPCBroker().requestListenerEndpointForService(service, [promise](auto endpoint, auto control, auto) {
            promise->set_value({endpoint ? endpoint->name : "", control ? control->name : ""});
        });
        auto answer = promise->get_future();
        if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return {};
        return answer.get();
    }

    // The programs an impostor may run: an unsigned copy of the fake service,
    // and a copy signed by another maker's leaf of the build's authority,
    // placed where the maker's programs run. The knobs come before the role's.
    struct ImpostorProgram {
        const char* label;
        std::string program;
        std::vector<std::string> knobs;
    };
    std::vector<ImpostorProgram> impostorPrograms() {
        const std::string otherMaker = peersFolder() + "/other-maker-service";
        std::filesystem::copy_file(fakeServicePath(), otherMaker, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(otherMaker, std::filesystem::perms(0755));
        EXPECT_TRUE(platform::codesign::signFile(otherMaker, testsupport::signing::otherTeamOptions("com.other.fake")));
        return {{"unsigned", fakeServicePath(), {"--unsigned"}}, {"signed by another maker", otherMaker, {}}};
    }

    // Binds the endpoints of `service`, whose process must be gone, with the
    // impostor role of `impostor`; it records every call it gets in `record`.
    pid_t startImpostor(const ImpostorProgram& impostor, const std::string& service,
                        const std::pair<std::string, std::string>& endpoints, const std::string& record) {
        std::vector<std::string> knobs = impostor.knobs;
        knobs.insert(knobs.end(), {"--service=" + service, "--endpoint=" + endpoints.first,
                                   "--control-endpoint=" + endpoints.second, "--record=" + record});
        return startRoleFrom(impostor.program, "impostor", knobs);
    }

    // SIGTERM (or the given signal) and wait; removes it from the list.
    void stopRole(pid_t pid, int signal = SIGTERM) {
        if (pid <= 0) return;
        kill(pid, signal);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(5000);
        }
        std::erase(running_, pid);
    }

private:
    std::string runtimeRoot_;
    std::vector<pid_t> running_;
};
