#include "platform/process/Task.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/signal/TerminationSignals.h"

extern char** environ;

namespace platform {

std::shared_ptr<FileHandle> FileHandle::nullDevice() {
    ScopedFD fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!fd) return nullptr;
    return std::shared_ptr<FileHandle>(new FileHandle(std::move(fd)));
}

std::shared_ptr<FileHandle> FileHandle::forWritingAtPath(const std::string& path, platform::Error* error) {
    auto describe = [&](const char* operation, int code, const char* reason) {
        if (error)
            *error = platform::Error{operation, code,
                                     "The file \u201C" + path.substr(path.rfind('/') + 1) +
                                         "\u201D couldn\u2019t be opened. (" + reason + ")"};
        return nullptr;
    };
    ScopedFD fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return describe("open", errno, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return describe("fstat", errno, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return describe("", 0, "not a regular file");
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return std::shared_ptr<FileHandle>(new FileHandle(std::move(fd)));
}

// Reads the parent's ends of piped streams while the child runs, so a child
// that fills one pipe never blocks on it.
struct Task::Drain {
    std::thread outThread, errThread;
    static void pump(ScopedFD fd, std::string* into, std::function<void(std::string_view)> handler) {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n > 0 && handler) handler(std::string_view(buffer, static_cast<std::size_t>(n)));
            else if (n > 0) into->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
    }
    // Copies the program's output into `out` up to `limit` bytes; past it the
    // program's group is ended and the pipe closed, so that nothing in the
    // group can go on writing.
    static void pumpWithLimit(ScopedFD fd, std::shared_ptr<FileHandle> out, std::uint64_t limit, int group,
                              std::atomic<bool>* limitReached) {
        std::string buffer(1 << 16, '\0');
        std::uint64_t written = 0;
        bool writable = true;
        for (;;) {
            ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(n), limit - written));
            // A failed write (a full disk) leaves the rest unwritten but the
            // program is still drained, so that it can end.
            for (std::size_t done = 0; writable && done < take;) {
                ssize_t w = ::write(out->descriptor(), buffer.data() + done, take - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) writable = false;
                else done += static_cast<std::size_t>(w);
            }
            written += take;
            if (take < static_cast<std::size_t>(n)) {
                limitReached->store(true);
                ::kill(-group, SIGKILL);
                return;
            }
        }
    }
    void join() {
        if (outThread.joinable()) outThread.join();
        if (errThread.joinable()) errThread.join();
    }
};

Task::Task() = default;

Task::~Task() {
    if (pid_ > 0 && !exited_) {
        terminate();
        waitUntilExit();
    }
    if (drain_) drain_->join();
}

bool Task::launch(platform::Error* error) {
    if (pid_ > 0) {
        if (error) *error = platform::Error{"", 0, "task already launched"};
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // A group of its own, so that a time limit can end the program's children too.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    const bool limitedOutput = standardOutputLimit && standardOutput.kind == Stream::Kind::Handle;
    auto setStream = [&](const Stream& stream, int target, int* pipeFds) -> bool {
        switch (stream.kind) {
            case Stream::Kind::Inherit:
                return true;
            case Stream::Kind::Handle:
                if (!stream.handle) return false;
                if (target == 1 && limitedOutput) {
                    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
                    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], target);
                    return true;
                }
                posix_spawn_file_actions_adddup2(&actions, stream.handle->descriptor(), target);
                return true;
            case Stream::Kind::Pipe:
                if (!pipeFds || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
                posix_spawn_file_actions_adddup2(&actions, pipeFds[1], target);
                return true;
        }
        return false;
    };
    bool streamsOk = setStream(standardInput, 0, nullptr) && setStream(standardOutput, 1, outPipe) &&
                     setStream(standardError, 2, errPipe);
    if (streamsOk && currentDirectory) posix_spawn_file_actions_addchdir_np(&actions, currentDirectory->c_str());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(launchPath.c_str()));
    for (auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // From the start until its group is registered, an interruption waits.
    std::optional<signal::ChildStartScope> starting(std::in_place);
    int rc = streamsOk ? ::posix_spawn(&pid_, launchPath.c_str(), &actions, &attributes, argv.data(), environ) : EINVAL;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : {outPipe[1], errPipe[1]})
        if (fd >= 0) ::close(fd);
    if (rc != 0) {
        pid_ = -1;
        for (int fd : {outPipe[0], errPipe[0]})
            if (fd >= 0) ::close(fd);
        if (error)
            *error = streamsOk ? platform::Error{"posix_spawn", rc, std::strerror(rc)}
                               : platform::Error{"", 0, "could not set up the standard streams"};
        return false;
    }
    terminationToken_ = signal::endProcessGroupOnTermination(pid_);
    starting.reset();
    if (outPipe[0] >= 0 || errPipe[0] >= 0) {
        drain_ = std::make_unique<Drain>();
        if (outPipe[0] >= 0 && limitedOutput)
            drain_->outThread = std::thread(Drain::pumpWithLimit, ScopedFD(outPipe[0]), standardOutput.handle,
                                            *standardOutputLimit, pid_, &outputLimitReached_);
        else if (outPipe[0] >= 0)
            drain_->outThread = std::thread(Drain::pump, ScopedFD(outPipe[0]), &outData_, standardOutputHandler);
        if (errPipe[0] >= 0)
            drain_->errThread = std::thread(Drain::pump, ScopedFD(errPipe[0]), &errData_, standardErrorHandler);
    }
    return true;
}

namespace {

bool reap(int pid, int* rawStatus, bool block) {
    for (;;) {
        int r = ::waitpid(pid, rawStatus, block ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;  // no such child any more
    }
}

}  // namespace

void Task::waitUntilExit(std::optional<std::chrono::milliseconds> limit) {
    if (pid_ <= 0 || exited_) return;
    int raw = 0;
    if (!limit) {
        reap(pid_, &raw, true);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + *limit;
        bool done = false;
        // A process descriptor becomes readable when the program ends: no polling.
        ScopedFD pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        if (pidfd) {
            while (!(done = reap(pid_, &raw, false))) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                struct pollfd p {pidfd.get(), POLLIN, 0};
                ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
            }
        } else {
            auto pause = std::chrono::milliseconds(1);
            while (!(done = reap(pid_, &raw, false)) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, std::chrono::milliseconds(50));
            }
        }
        if (!done) {
            timedOut_ = true;
            ::kill(-pid_, SIGTERM);
            const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!(done = reap(pid_, &raw, false)) && std::chrono::steady_clock::now() < grace)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::kill(-pid_, SIGKILL);
            if (!done) reap(pid_, &raw, true);
        }
    }
    exited_ = true;
    if (WIFSIGNALED(raw)) {
        reason_ = TerminationReason::UncaughtSignal;
        status_ = WTERMSIG(raw);
    } else {
        reason_ = TerminationReason::Exit;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    if (timedOut_ || outputLimitReached_.load() || endsProcessGroupAtExit) {
        // Children of the program may still hold the pipes open.
        ::kill(-pid_, SIGKILL);
    }
    if (drain_) drain_->join();
    signal::forget(terminationToken_);
}

bool Task::isRunning() const {
    if (pid_ <= 0 || exited_) return false;
    return ::kill(pid_, 0) == 0;
}

void Task::terminate() {
    if (pid_ > 0 && !exited_) ::kill(pid_, SIGTERM);
}

}  // namespace platform
