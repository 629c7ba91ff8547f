#include "platform/signal/SignalWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/fd/ScopedFD.h"

namespace platform::signal {

void ignoreSignals(const std::vector<int>& signals) {
    for (int s : signals) ::signal(s, SIG_IGN);
}

namespace {

class SignalFDWatcher final : public SignalWatcher {
public:
    SignalFDWatcher(ScopedFD signals, ScopedFD wake, Handler handler)
        : signals_(std::move(signals)), wake_(std::move(wake)), handler_(std::move(handler)) {
        thread_ = std::thread([this] { watch(); });
    }
    ~SignalFDWatcher() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
        if (thread_.joinable()) thread_.join();
    }

private:
    void watch() {
        for (;;) {
            struct pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            struct signalfd_siginfo info {};
            ssize_t n = ::read(signals_.get(), &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info)) handler_(static_cast<int>(info.ssi_signo));
            else if (n < 0 && errno != EINTR && errno != EAGAIN) return;
        }
    }

    ScopedFD signals_, wake_;
    Handler handler_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<SignalWatcher> SignalWatcher::start(const std::vector<int>& signals, Handler handler,
                                                    int* errorCode) {
    auto failWith = [&](int code) -> std::unique_ptr<SignalWatcher> {
        if (errorCode) *errorCode = code;
        return nullptr;
    };
    if (!handler) return failWith(EINVAL);
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals)
        if (sigaddset(&set, s) != 0) return failWith(EINVAL);
    // A signalfd only sees signals that are blocked; an ignored one is
    // discarded by the kernel before it could be read, so the handled signals
    // keep their default disposition and are blocked instead.
    for (int s : signals) ::signal(s, SIG_DFL);
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) return failWith(rc);
    ScopedFD fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) return failWith(errno);
    ScopedFD wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return failWith(errno);
    return std::make_unique<SignalFDWatcher>(std::move(fd), std::move(wake), std::move(handler));
}

}  // namespace platform::signal
