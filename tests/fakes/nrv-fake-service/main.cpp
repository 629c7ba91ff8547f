// nrv-fake-service --role=broker|agent|root-service|settings|map-updater|... [knobs]
// See tests/fakes/README.md.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>
#include <iostream>
#include <string>
#include <thread>

#include "platform/process/CodeIntegrity.h"
#include "FakeService.h"

namespace fake {

void Misbehaviour::handle(const platform::xpc::Reply& reply, std::function<void(const platform::xpc::Reply&)> answer) {
    int n = ++calls_;
    if (options_.crashAfter > 0 && n > options_.crashAfter) {
        // A crash mid-call: the caller sees the peer vanish with the call pending.
        ::kill(::getpid(), SIGKILL);
    }
    if (options_.neverReply) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(reply);
        return;
    }
    if (options_.delayMs > 0) {
        int delay = options_.delayMs;
        std::thread([reply, answer, delay] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            answer(reply);
        }).detach();
        return;
    }
    answer(reply);
}

void announceReady() {
    std::cout << "READY" << std::endl;
}

int waitForTermination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}

}  // namespace fake

namespace {

bool takeValue(const std::string& arg, const char* key, std::string& out) {
    std::string prefix = std::string(key) + "=";
    if (arg.rfind(prefix, 0) != 0) return false;
    out = arg.substr(prefix.size());
    return true;
}

// Runs a copy of this program that has no signature file beside it, with the
// same arguments but --unsigned: the peer checks then see an unsigned process.
int runUnsigned(int argc, char** argv) {
    namespace fs = std::filesystem;
    const char* root = std::getenv("NRV_RUNTIME_ROOT");
    fs::path folder = fs::path(root && *root ? root : "/tmp") / ("unsigned-" + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(folder, ec);
    fs::path copy = folder / "nrv-fake-service";
    fs::copy_file("/proc/self/exe", copy, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        std::cerr << "nrv-fake-service: cannot copy itself: " << ec.message() << "\n";
        return 1;
    }
    fs::permissions(copy, fs::perms(0755), ec);
    std::vector<std::string> args = {copy.string()};
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) != "--unsigned") args.push_back(argv[i]);
    std::vector<char*> cargs;
    for (auto& a : args) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    std::cerr << "nrv-fake-service: cannot run the unsigned copy\n";
    return 1;
}

int usage(const std::string& why) {
    std::cerr << "nrv-fake-service: " << why << "\n"
              << "usage: nrv-fake-service --role=broker|agent|root-service|settings|map-updater|probe|exec-after-connect|impostor\n"
              << "       [--name=TEXT] [--name-nil]\n"
              << "       [--set=TYPE:KEY=VALUE] [--set-enciphered=TYPE:KEY=PLAIN] [--wrong-kind]\n"
              << "       [--record=FILE] [--closings=FILE] [--seed=FILE] [--folder=DIR] [--service=NAME] [--endpoint=NAME] [--control-endpoint=NAME] [--no-call] [--never-reply]\n"
              << "       [--reply=yes|no] [--reply-twice] [--delay-ms=N] [--limit-seconds=N] [--crash-after=N] [--unsigned] [--runtime-root=DIR] [-- PROGRAM ARGS...]\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    // Termination is taken by sigwait in the main thread: block it everywhere first.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    fake::Options o;
    std::vector<std::string> program;  // after "--"
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], v;
        if (takeValue(a, "--role", v)) o.role = v;
        else if (takeValue(a, "--name", v)) o.name = v;
        else if (a == "--name-nil") o.nameNil = true;
        else if (takeValue(a, "--record", v)) o.record = v;
        else if (takeValue(a, "--closings", v)) o.closings = v;
        else if (takeValue(a, "--seed", v)) o.seed = v;
        else if (takeValue(a, "--set", v)) o.settings.emplace_back(v, false);
        else if (takeValue(a, "--set-enciphered", v)) o.settings.emplace_back(v, true);
        else if (a == "--wrong-kind") o.wrongKind = true;
        else if (takeValue(a, "--folder", v)) o.folder = v;
        else if (takeValue(a, "--service", v)) o.service = v;
        else if (takeValue(a, "--endpoint", v)) o.endpoint = v;
        else if (takeValue(a, "--control-endpoint", v)) o.controlEndpoint = v;
        else if (a == "--no-call") o.noCall = true;
        else if (a == "--") {
            program.assign(argv + i + 1, argv + argc);
            break;
        }
        else if (a == "--never-reply") o.neverReply = true;
        else if (a == "--reply-twice") o.replyTwice = true;
        else if (takeValue(a, "--reply", v)) {
            if (v != "yes" && v != "no") return usage("--reply takes yes or no");
            o.reply = v == "yes";
        } else if (takeValue(a, "--delay-ms", v)) o.delayMs = std::atoi(v.c_str());
        else if (takeValue(a, "--limit-seconds", v)) o.limitSeconds = std::atof(v.c_str());
        else if (takeValue(a, "--crash-after", v)) o.crashAfter = std::atoi(v.c_str());
        else if (a == "--unsigned") o.unsignedRun = true;
        else if (takeValue(a, "--runtime-root", v)) o.runtimeRoot = v;
        else return usage("unknown argument " + a);
    }
    if (o.runtimeRoot) setenv("NRV_RUNTIME_ROOT", o.runtimeRoot->c_str(), 1);
    if (o.unsignedRun) return runUnsigned(argc, argv);
    int status;
    if (o.role == "broker") status = fake::runBroker(o);
    else if (o.role == "agent") status = fake::runAgent(o);
    else if (o.role == "root-service") status = fake::runRootService(o);
    else if (o.role == "settings") status = fake::runSettings(o);
    else if (o.role == "map-updater") status = fake::runMapUpdater(o);
    else if (o.role == "probe") status = fake::runProbe(o);
    else if (o.role == "exec-after-connect") status = fake::runExecAfterConnect(o, program);
    else if (o.role == "dispenser") status = fake::runDispenser(o);
    else if (o.role == "impostor") status = fake::runImpostor(o);
    else status = usage("unknown role '" + o.role + "'");
    // The transport's threads are still running: leave without destroying
    // statics under them.
    std::cout.flush();
    std::cerr.flush();
    _exit(status);
}
