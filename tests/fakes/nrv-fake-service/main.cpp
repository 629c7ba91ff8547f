// nrv-fake-service --role=broker|agent|root-service|settings|map-updater [knobs]
// See tests/fakes/README.md.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

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

int usage(const std::string& why) {
    std::cerr << "nrv-fake-service: " << why << "\n"
              << "usage: nrv-fake-service --role=broker|agent|root-service|settings|map-updater [--name=TEXT] [--name-nil]\n"
              << "       [--record=FILE] [--seed=FILE] [--folder=DIR] [--service=NAME] [--never-reply]\n"
              << "       [--reply=yes|no] [--delay-ms=N] [--crash-after=N] [--unsigned] [--runtime-root=DIR]\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    // Termination is taken by sigwait in the main thread: block it everywhere first.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    fake::Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], v;
        if (takeValue(a, "--role", v)) o.role = v;
        else if (takeValue(a, "--name", v)) o.name = v;
        else if (a == "--name-nil") o.nameNil = true;
        else if (takeValue(a, "--record", v)) o.record = v;
        else if (takeValue(a, "--seed", v)) o.seed = v;
        else if (takeValue(a, "--folder", v)) o.folder = v;
        else if (takeValue(a, "--service", v)) o.service = v;
        else if (a == "--never-reply") o.neverReply = true;
        else if (takeValue(a, "--reply", v)) {
            if (v != "yes" && v != "no") return usage("--reply takes yes or no");
            o.reply = v == "yes";
        } else if (takeValue(a, "--delay-ms", v)) o.delayMs = std::atoi(v.c_str());
        else if (takeValue(a, "--crash-after", v)) o.crashAfter = std::atoi(v.c_str());
        else if (a == "--unsigned") o.unsignedRun = true;
        else if (takeValue(a, "--runtime-root", v)) o.runtimeRoot = v;
        else return usage("unknown argument " + a);
    }
    if (o.runtimeRoot) setenv("NRV_RUNTIME_ROOT", o.runtimeRoot->c_str(), 1);
    if (o.role == "broker") return fake::runBroker(o);
    if (o.role == "agent") return fake::runAgent(o);
    if (o.role == "root-service") return fake::runRootService(o);
    if (o.role == "settings") return fake::runSettings(o);
    if (o.role == "map-updater") return fake::runMapUpdater(o);
    return usage("unknown role '" + o.role + "'");
}
