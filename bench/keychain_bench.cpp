// Keychain file costs: unlocking (key derivation around the iteration count
// new keychains get, that count marked), adding items one by one (each add
// rewrites the whole file), and finding an item among many.
//   keychain_bench [item count, default 10000] [folder, default the temporary folder]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/keychain/Keychain.h"
#include "platform/system/SystemEnvironment.h"

namespace kc = platform::keychain;
using Clock = std::chrono::steady_clock;

static double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

static NRVDictionary serviceAttributes(int i) {
    NRVDictionary attributes;
    attributes.set("svce", "service-" + std::to_string(i));
    attributes.set("acct", "account");
    attributes.set("labl", "service-" + std::to_string(i));
    attributes.set("desc", "Nerova Configuration");
    return attributes;
}

// Average time of one find by service, over `rounds` finds spread over the items.
static double findMicroseconds(kc::Keychain& keychain, int items, int rounds) {
    std::vector<kc::Item> found;
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        int i = static_cast<int>((static_cast<long long>(r) * 7919) % items);
        keychain.find(kc::ItemClass::GenericPassword, {{"svce", NRVValue("service-" + std::to_string(i))}}, 1, &found);
        if (found.size() != 1) std::fprintf(stderr, "lookup of item %d failed\n", i);
    }
    return msSince(start) * 1000.0 / rounds;
}

// Average unlock time of a keychain made at the current iteration count; -1
// when it cannot be made or unlocked.
static double unlockMilliseconds(const std::string& path) {
    std::shared_ptr<kc::Keychain> keychain;
    if (!kc::Keychain::create(path, "bench password", &keychain)) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return -1;
    }
    double total = 0;
    const int unlocks = 5;
    for (int i = 0; i < unlocks; ++i) {
        keychain->lock();
        auto start = Clock::now();
        if (!keychain->unlock("bench password")) return -1;
        total += msSince(start);
    }
    keychain->deleteFile();
    return total / unlocks;
}

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::string folder = argc > 2 ? argv[2] : platform::temporaryDirectory();
    std::string path = folder + "/keychain_bench." + std::to_string(::getpid()) + ".keychain";

    // The count new keychains get should cost 50-200 ms per unlock here:
    // slow enough to hold off guessing, quick enough for every start.
    const std::uint32_t chosen = kc::Keychain::iterationCountForNewKeychains();
    std::printf("%12s %18s\n", "iterations", "ms per unlock");
    for (std::uint32_t iterations : {chosen / 4, chosen / 2, chosen, chosen * 2}) {
        kc::Keychain::setIterationCountForNewKeychains(iterations);
        const double ms = unlockMilliseconds(path);
        if (ms < 0) return 1;
        std::printf("%12u %18.1f%s\n", iterations, ms, iterations == chosen ? "   <- new keychains" : "");
    }
    kc::Keychain::setIterationCountForNewKeychains(chosen);

    std::shared_ptr<kc::Keychain> keychain;
    if (!kc::Keychain::create(path, "bench password", &keychain)) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return 1;
    }

    std::printf("%8s %16s %14s %14s\n", "items", "ms per add", "file KiB", "us per find");
    const std::string secret = "secret value of some length";
    std::span<const std::uint8_t> secretBytes(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size());
    const int step = count >= 10 ? count / 10 : 1;
    auto batchStart = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!keychain->add(kc::ItemClass::GenericPassword, serviceAttributes(i), secretBytes)) {
            std::fprintf(stderr, "add %d failed\n", i);
            return 1;
        }
        if ((i + 1) % step == 0) {
            double perAdd = msSince(batchStart) / step;
            long long size = 0;
            if (FILE* f = std::fopen(path.c_str(), "rb")) {
                std::fseek(f, 0, SEEK_END);
                size = std::ftell(f);
                std::fclose(f);
            }
            std::printf("%8d %16.2f %14.1f %14.2f\n", i + 1, perAdd, size / 1024.0, findMicroseconds(*keychain, i + 1, 2000));
            batchStart = Clock::now();
        }
    }
    keychain->deleteFile();
    return 0;
}
