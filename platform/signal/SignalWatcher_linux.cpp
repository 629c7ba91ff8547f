#include "platform/signal/SignalWatcher.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fd/DescriptorWatcher.h"
#include "platform/fd/ScopedFD.h"

namespace platform::signal {

void ignoreSignals(const std::vector<int>& signals) {
    for (int s : signals) ::signal(s, SIG_IGN);
}

namespace {

class SignalFDWatcher final : public SignalWatcher {
public:
    SignalFDWatcher(ScopedFD signals, std::unique_ptr<DescriptorWatcher> watcher, Handler handler)
        : signals_(std::move(signals)), watcher_(std::move(watcher)), handler_(std::move(handler)) {
        watcher_->add(signals_.get(), [this] { return readSignal(); });
    }
    ~SignalFDWatcher() override { watcher_->stop(); }

private:
    // On the watcher's thread. false once the signals cannot be read any more.
    bool readSignal() {
        struct signalfd_siginfo info {};
        ssize_t n = ::read(signals_.get(), &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) handler_(static_cast<int>(info.ssi_signo));
        else if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        return true;
    }

    ScopedFD signals_;
    std::unique_ptr<DescriptorWatcher> watcher_;
    Handler handler_;
};

}  // namespace

std::unique_ptr<SignalWatcher> SignalWatcher::start(const std::vector<int>& signals, Handler handler,
                                                    platform::Error* error) {
    auto failWith = [&](const char* operation, int code) -> std::unique_ptr<SignalWatcher> {
        if (error) *error = platform::Error{operation, code, std::strerror(code)};
        return nullptr;
    };
    if (!handler) return failWith("", EINVAL);
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals)
        if (sigaddset(&set, s) != 0) return failWith("sigaddset", EINVAL);
    // A signalfd only sees signals that are blocked; an ignored one is
    // discarded by the kernel before it could be read, so the handled signals
    // keep their default disposition and are blocked instead.
    for (int s : signals) ::signal(s, SIG_DFL);
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) return failWith("pthread_sigmask", rc);
    ScopedFD fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) return failWith("signalfd", errno);
    // Made after the signals are blocked: the watcher's thread inherits the mask.
    auto watcher = DescriptorWatcher::create(error);
    if (!watcher) return nullptr;
    return std::make_unique<SignalFDWatcher>(std::move(fd), std::move(watcher), std::move(handler));
}

}  // namespace platform::signal
