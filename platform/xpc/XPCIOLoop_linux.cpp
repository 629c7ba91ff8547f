#include "platform/xpc/XPCIOLoop.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <unordered_map>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/WorkerPool_linux.h"
#include "platform/log/LogStore.h"
#include "platform/thread/ConditionVariable.h"
#include "platform/xpc/XPCPeer.h"
#include "platform/memory/NoDestructor.h"

namespace platform::xpc::detail {

namespace {
void logError(const std::string& message) {
    platform::log::write("com.nerova.rivovovuvev", "xpc", platform::log::Level::Error, message);
}
constexpr std::size_t kReadChunk = 64 * 1024;
// A buffer that held a large frame gives its memory back once it is done.
constexpr std::size_t kKeptBufferCapacity = 1024 * 1024;
// Bytes of unfinished frames charged to kPartialFrameBudget, all channels together.
std::atomic<std::size_t> gPartialFrameBytes{0};
// kPartialFrameTimeLimit unless a test set another, in milliseconds.
std::atomic<std::int64_t> gPartialFrameTimeLimit{
    std::chrono::duration_cast<std::chrono::milliseconds>(kPartialFrameTimeLimit).count()};
}  // namespace

void setPartialFrameTimeLimitForUnitTest(std::chrono::milliseconds limit) { gPartialFrameTimeLimit.store(limit.count()); }

// One thread at a time waits for events (the watcher). When the events it
// took give a queue work, it runs that work itself and then watches again;
// events that come meanwhile wait in the kernel for it, so a call and its
// reply wake no second thread. A second thread stands by: while work runs
// it looks every kStandbyDelay whether the same work is still running, and
// if so (the work is long, or waits for something only the loop delivers)
// it watches in its place; the busy thread stands by once it is done. After
// a whole delay without work the standby thread sleeps until work starts.
// The standby thread's look is a timed wait, not a timer armed per event:
// programming a timer for every call costs more than the call.
struct IOLoop::Impl {
    struct Entry {
        std::shared_ptr<Pollable> target;
        int fd = -1;
        std::uint32_t events = 0;
    };

    ScopedFD epoll;
    platform::Mutex mutex;
    std::unordered_map<std::uint64_t, std::shared_ptr<Entry>> targets GUARDED_BY(mutex);
    std::uint64_t nextToken GUARDED_BY(mutex) = 1;
    // Guarded by mutex:
    int watching GUARDED_BY(mutex) = 0;         // threads in (or on their way into) epoll_wait
    int busy GUARDED_BY(mutex) = 0;             // threads that left watching to run work
    int standing GUARDED_BY(mutex) = 0;         // threads standing by
    std::uint64_t works GUARDED_BY(mutex) = 0;  // work started so far
    bool standbyAsleep GUARDED_BY(mutex) = false;
    platform::ConditionVariable standbyWake;

    bool arm(int op, std::uint64_t token, const Entry& entry) {
        struct epoll_event ev {};
        ev.events = entry.events;
        ev.data.u64 = token;
        return epoll_ctl(epoll.get(), op, entry.fd, &ev) == 0;
    }
};

namespace {
// How long the watcher may run the work its events started before the
// standby thread watches in its place.
constexpr std::chrono::milliseconds kStandbyDelay{2};
}  // namespace

IOLoop& IOLoop::shared() {
    // Never destroyed: connections may still be closed while the process exits.
    static platform::NoDestructor<IOLoop> loop;
    return *loop;
}

IOLoop::IOLoop() : impl_(new Impl) {
    impl_->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    // The watcher and the standby thread.
    for (int i = 0; i < 2; ++i) platform::dispatch::detail::WorkerPool::shared().run([this] { run(); });
}

std::uint32_t IOLoop::readable() { return EPOLLIN; }
std::uint32_t IOLoop::writable() { return EPOLLOUT; }

std::uint64_t IOLoop::add(int fd, std::uint32_t events, std::shared_ptr<Pollable> target) {
    auto entry = std::make_shared<Impl::Entry>();
    entry->target = std::move(target);
    entry->fd = fd;
    entry->events = events;
    platform::MutexLock lock(impl_->mutex);
    std::uint64_t token = impl_->nextToken++;
    if (!impl_->arm(EPOLL_CTL_ADD, token, *entry)) return 0;
    impl_->targets.emplace(token, std::move(entry));
    return token;
}

void IOLoop::modify(std::uint64_t token, int fd, std::uint32_t events) {
    platform::MutexLock lock(impl_->mutex);
    auto it = impl_->targets.find(token);
    if (it == impl_->targets.end() || it->second->fd != fd) return;
    it->second->events = events;
    impl_->arm(EPOLL_CTL_MOD, token, *it->second);
}

void IOLoop::remove(std::uint64_t token, int fd) {
    std::shared_ptr<Impl::Entry> released;
    {
        platform::MutexLock lock(impl_->mutex);
        auto it = impl_->targets.find(token);
        if (it == impl_->targets.end()) return;
        epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        released = std::move(it->second);
        impl_->targets.erase(it);
    }
    // `released` may be the last reference: destroyed outside the lock.
}

void IOLoop::run() {
    {
        platform::MutexLock lock(impl_->mutex);
        if (!takeTurn(lock)) return;
    }
    for (;;) {
        platform::dispatch::Block deferred = watch();
        if (!deferred) return;  // epoll failed
        bool borrow = false, wake = false;
        {
            platform::MutexLock lock(impl_->mutex);
            --impl_->watching;
            ++impl_->busy;
            ++impl_->works;
            // Nobody stands by (the other thread is busy too): a new
            // thread watches at once.
            borrow = impl_->standing == 0;
            if (impl_->standbyAsleep) {
                impl_->standbyAsleep = false;
                wake = true;
            }
        }
        if (wake) impl_->standbyWake.notify_one();
        if (borrow) platform::dispatch::detail::WorkerPool::shared().run([this] { run(); });
        deferred();
        deferred = nullptr;
        platform::MutexLock lock(impl_->mutex);
        --impl_->busy;
        if (!takeTurn(lock)) return;
    }
}

// takeTurn and standBy run under the caller's lock of the loop, which the
// analysis cannot tie to impl_->mutex through the reference.
bool IOLoop::takeTurn(platform::MutexLock& lock) NO_THREAD_SAFETY_ANALYSIS {
    if (impl_->watching > 0) {
        if (impl_->standing > 0) return false;  // enough threads: back to the pool
        standBy(lock);
    }
    ++impl_->watching;
    return true;
}

void IOLoop::standBy(platform::MutexLock& lock) NO_THREAD_SAFETY_ANALYSIS {
    Impl& d = *impl_;
    ++d.standing;
    for (;;) {
        if (d.watching == 0 && d.busy == 0) break;  // nobody watches at all
        const std::uint64_t seen = d.works;
        const bool wasBusy = d.busy > 0;
        d.standbyWake.wait_for(lock, kStandbyDelay);
        if (d.watching == 0 && wasBusy && d.busy > 0 && d.works == seen) break;  // the same work is still running
        if (d.works == seen && d.busy == 0) {
            // Nothing ran for a whole delay: sleep until work starts.
            d.standbyAsleep = true;
            d.standbyWake.wait(lock, [&]() REQUIRES(d.mutex) { return !d.standbyAsleep; });
        }
    }
    --d.standing;
}

platform::dispatch::Block IOLoop::watch() {
    using platform::dispatch::detail::WorkerPool;
    struct epoll_event events[16];
    platform::dispatch::Block deferred;
    while (!deferred) {
        int n = epoll_wait(impl_->epoll.get(), events, 16, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            logError("A thread of the transport's I/O loop stopped: epoll_wait failed.");
            platform::MutexLock lock(impl_->mutex);
            --impl_->watching;
            return nullptr;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t token = events[i].data.u64;
            std::shared_ptr<Impl::Entry> entry;
            {
                platform::MutexLock lock(impl_->mutex);
                auto it = impl_->targets.find(token);
                if (it == impl_->targets.end()) continue;
                entry = it->second;
            }
            // Only the watcher handles events, one target at a time, so the
            // descriptors stay armed (level-triggered): what a target leaves
            // unread is reported again on the next wait.
            if (entry->target->handsWorkToQueues()) {
                WorkerPool::DeferralScope scope(&deferred);
                entry->target->handleEvents(events[i].events);
            } else {
                entry->target->handleEvents(events[i].events);
            }
        }
    }
    return deferred;
}

bool Channel::start(std::shared_ptr<ChannelDelegate> delegate) {
    {
        platform::MutexLock lock(delegateMutex_);
        delegate_ = std::move(delegate);
    }
    bool watched = false;
    {
        // Under the write lock so that a close racing with this start finds the token.
        platform::MutexLock lock(writeMutex_);
        if (!closed_.load()) {
            token_ = IOLoop::shared().add(fd_.get(), EPOLLIN | EPOLLRDHUP, shared_from_this());
            watched = token_ != 0;
            // A send may have queued bytes before the channel was watched.
            if (watched && wantsWritable_) IOLoop::shared().modify(token_, fd_.get(), EPOLLIN | EPOLLRDHUP | EPOLLOUT);
        }
    }
    if (!watched) {
        if (!closed_.load()) {
            closeFromLoop(false);
        } else {
            std::shared_ptr<ChannelDelegate> d;
            {
                platform::MutexLock lock(delegateMutex_);
                d = std::move(delegate_);
            }
            if (d) d->channelClosed(false);
        }
    }
    return watched;
}

namespace {
// The accepting side's first frame: "you were checked, go on". No call has
// id 0, so it cannot be taken for the answer to one.
bool isReadyFrame(const Frame& frame) {
    return frame.kind == Frame::Kind::Reply && frame.id == 0 && frame.values.empty();
}
}  // namespace

bool Channel::sendReady() {
    std::vector<std::uint8_t> bytes;
    return encodeFrame(Frame::reply(0, {}), bytes) && send(bytes);
}

void Channel::releaseHeld() {
    platform::MutexLock lock(writeMutex_);
    if (!holding_) return;
    holding_ = false;
    if (out_.size() > outOffset_ && !wantsWritable_) {
        wantsWritable_ = true;
        if (token_) IOLoop::shared().modify(token_, fd_.get(), EPOLLIN | EPOLLRDHUP | EPOLLOUT);
    }
}

bool Channel::send(const std::vector<std::uint8_t>& bytes) {
    bool failed = false;
    {
        platform::MutexLock lock(writeMutex_);
        if (closed_.load()) return false;
        if (holding_) {
            out_.insert(out_.end(), bytes.begin(), bytes.end());
            return true;
        }
        if (out_.size() == outOffset_) {
            out_.clear();
            outOffset_ = 0;
            std::size_t done = 0;
            while (done < bytes.size()) {
                ssize_t w = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                } else if (w < 0 && errno == EINTR) {
                    continue;
                } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    break;
                } else {
                    failed = true;
                    break;
                }
            }
            if (!failed && done < bytes.size()) out_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end());
        } else if (out_.size() - outOffset_ + bytes.size() > kMaxQueuedOutput) {
            logError("Closing " + label_ + ": the peer leaves more than " + std::to_string(kMaxQueuedOutput) +
                     " bytes unread.");
            failed = true;
        } else {
            out_.insert(out_.end(), bytes.begin(), bytes.end());
        }
        if (!failed && out_.size() > outOffset_ && !wantsWritable_) {
            wantsWritable_ = true;
            if (token_) IOLoop::shared().modify(token_, fd_.get(), EPOLLIN | EPOLLRDHUP | EPOLLOUT);
        }
    }
    // The reader sees the same failure as an end of stream and closes the
    // channel; shutting down makes sure it does.
    if (failed) ::shutdown(fd_.get(), SHUT_RDWR);
    return !failed;
}

void Channel::flush() {
    platform::MutexLock lock(writeMutex_);
    while (outOffset_ < out_.size()) {
        ssize_t w = ::send(fd_.get(), out_.data() + outOffset_, out_.size() - outOffset_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            outOffset_ += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            ::shutdown(fd_.get(), SHUT_RDWR);
            return;
        }
    }
    out_.clear();
    if (out_.capacity() > kKeptBufferCapacity) std::vector<std::uint8_t>().swap(out_);
    outOffset_ = 0;
    wantsWritable_ = false;
    IOLoop::shared().modify(token_, fd_.get(), EPOLLIN | EPOLLRDHUP);
}

void Channel::handleEvents(std::uint32_t events) {
    if (closed_.load()) return;
    if (events & EPOLLOUT) flush();
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) readAvailable();
}

void Channel::readAvailable() {
    std::uint8_t chunk[kReadChunk];
    ssize_t r;
    int sender = 0;
    for (;;) {
        r = receiveMarked(fd_.get(), chunk, sizeof chunk, &sender);
        if (r < 0 && errno == EINTR) continue;
        break;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (r <= 0) {
        closeFromLoop(false);
        return;
    }
    if (sender != expectedSender_) {
        logError("Closing " + label_ + ": process " + std::to_string(sender) + " wrote into the connection of process " +
                 std::to_string(expectedSender_) + ".");
        closeFromLoop(true);
        return;
    }
    if (inOffset_ > 0 && inOffset_ == in_.size()) {
        in_.clear();
        inOffset_ = 0;
    }
    in_.insert(in_.end(), chunk, chunk + r);
    while (in_.size() - inOffset_ >= kFramePrefixLength) {
        const std::uint8_t* p = in_.data() + inOffset_;
        std::uint32_t length = frameBodyLength(p);
        if (length > kMaxFrameLength) {
            logError("Closing " + label_ + ": the peer announced a frame of " + std::to_string(length) + " bytes.");
            closeFromLoop(true);
            return;
        }
        if (in_.size() - inOffset_ - kFramePrefixLength < length) break;
        Frame frame;
        platform::Error why;
        if (!decodeFrameBody(p + kFramePrefixLength, length, frame, &why)) {
            logError("Closing " + label_ + ": malformed frame (" + why.description + ").");
            closeFromLoop(true);
            return;
        }
        inOffset_ += kFramePrefixLength + length;
        if (isReadyFrame(frame)) {
            releaseHeld();
            continue;
        }
        std::shared_ptr<ChannelDelegate> delegate;
        {
            platform::MutexLock lock(delegateMutex_);
            delegate = delegate_;
        }
        const std::size_t size = 4 + std::size_t{length};
        inputHeld_->fetch_add(size);
        InputCredit credit(nullptr, [held = inputHeld_, size](const void*) { held->fetch_sub(size); });
        if (delegate) delegate->channelReceived(std::move(frame), std::move(credit));
    }
    // Keep the buffer from growing with everything ever read.
    if (inOffset_ > kReadChunk && inOffset_ * 2 > in_.size()) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inOffset_));
        inOffset_ = 0;
    }
    if (in_.size() - inOffset_ < kKeptBufferCapacity && in_.capacity() > kKeptBufferCapacity) {
        std::vector<std::uint8_t>(in_.begin() + static_cast<std::ptrdiff_t>(inOffset_), in_.end()).swap(in_);
        inOffset_ = 0;
    }
    if (!boundInput()) closeFromLoop(false);
}

Channel::~Channel() {
    if (partialCharged_) gPartialFrameBytes.fetch_sub(partialCharged_);
}

bool Channel::boundInput() {
    const std::size_t partial = in_.size() - inOffset_;
    if (partial + inputHeld_->load() > kMaxQueuedInput) {
        logError("Closing " + label_ + ": the peer sent more than " + std::to_string(kMaxQueuedInput) +
                 " bytes that are not handled yet.");
        return false;
    }
    const std::size_t wanted = partial > kPartialFrameAllowance ? partial - kPartialFrameAllowance : 0;
    if (wanted > partialCharged_) {
        const std::size_t more = wanted - partialCharged_;
        std::size_t total = gPartialFrameBytes.load();
        do {
            if (total + more > kPartialFrameBudget) {
                logError("Closing " + label_ + ": unfinished frames of this process hold more than " +
                         std::to_string(kPartialFrameBudget) + " bytes.");
                return false;
            }
        } while (!gPartialFrameBytes.compare_exchange_weak(total, total + more));
    } else {
        gPartialFrameBytes.fetch_sub(partialCharged_ - wanted);
    }
    partialCharged_ = wanted;
    if (wanted == 0) {
        slowFrame_.store(0);
    } else if (slowFrame_.load() == 0) {
        // The peer stopping half way would keep the budget: past the time
        // limit the channel is shut down, and the loop then closes it.
        const std::uint64_t watched = ++slowFrames_;
        slowFrame_.store(watched);
        std::weak_ptr<Channel> weak = weak_from_this();
        const std::chrono::milliseconds limit{gPartialFrameTimeLimit.load()};
        platform::dispatch::DispatchQueue::global()->after(
            platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                             std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count()),
            [weak, watched, limit] {
                auto self = weak.lock();
                if (!self || self->slowFrame_.load() != watched) return;
                const std::string spent = limit.count() % 1000 == 0 ? std::to_string(limit.count() / 1000) + " s"
                                                                    : std::to_string(limit.count()) + " ms";
                logError("Closing " + self->label_ + ": a frame stayed unfinished for " + spent + ".");
                ::shutdown(self->fd_.get(), SHUT_RDWR);
            });
    }
    return true;
}

void Channel::close() { closeFromLoop(false); }

void Channel::closeFromLoop(bool malformed) {
    // The delegate may drop the last other reference to this channel.
    auto keep = shared_from_this();
    {
        platform::MutexLock lock(writeMutex_);
        if (closed_.exchange(true)) return;
        out_.clear();
        outOffset_ = 0;
    }
    ::shutdown(fd_.get(), SHUT_RDWR);
    std::uint64_t token;
    {
        platform::MutexLock lock(writeMutex_);
        token = token_;
    }
    if (token) IOLoop::shared().remove(token, fd_.get());
    std::shared_ptr<ChannelDelegate> delegate;
    {
        platform::MutexLock lock(delegateMutex_);
        delegate = std::move(delegate_);
    }
    if (delegate) delegate->channelClosed(malformed);
}

}  // namespace platform::xpc::detail

namespace platform::xpc::detail {

namespace {

bool makeAddress(const std::string& address, bool abstract, sockaddr_un& sa, socklen_t& len, platform::Error* error) {
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    std::size_t room = sizeof sa.sun_path - 1;
    if (address.empty() || address.size() > room || address.find('\0') != std::string::npos) {
        if (error) *error = platform::Error{"", 0, "socket address too long or empty: " + address};
        return false;
    }
    std::size_t at = abstract ? 1 : 0;
    std::memcpy(sa.sun_path + at, address.data(), address.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + address.size() + (abstract ? 0 : 1));
    return true;
}

platform::Error errnoError(const char* what) {
    const int code = errno;
    return platform::Error{what, code, std::string(what) + ": " + std::strerror(code)};
}

}  // namespace

ScopedFD connectSocket(const std::string& address, bool abstract, platform::Error* error) {
    sockaddr_un sa;
    socklen_t len;
    if (!makeAddress(address, abstract, sa, len, error)) return ScopedFD();
    ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || !markSenders(fd.get())) {
        if (error) *error = errnoError("socket");
        return ScopedFD();
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (error) *error = errnoError("connect");
        return ScopedFD();
    }
    int flags = fcntl(fd.get(), F_GETFL);
    fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
    return fd;
}

ScopedFD listenSocket(const std::string& address, bool abstract, platform::Error* error) {
    sockaddr_un sa;
    socklen_t len;
    if (!makeAddress(address, abstract, sa, len, error)) return ScopedFD();
    // Accepted sockets inherit the marking of senders.
    ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || !markSenders(fd.get())) {
        if (error) *error = errnoError("socket");
        return ScopedFD();
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0) {
        if (error) *error = errnoError("bind");
        return ScopedFD();
    }
    // Every user may connect; the peer checks decide whom to serve. bind
    // made the file with the umask's mode (a mode set on the descriptor
    // before is not honoured): set it on the path before anyone can connect,
    // in a folder nobody else can write, so the path is still this socket.
    if (!abstract && ::chmod(address.c_str(), 0666) != 0) {
        if (error) *error = errnoError("chmod");
        ::unlink(address.c_str());
        return ScopedFD();
    }
    if (::listen(fd.get(), SOMAXCONN) != 0) {
        if (error) *error = errnoError("listen");
        return ScopedFD();
    }
    return fd;
}

ScopedFD acceptSocket(int listenFD) {
    for (;;) {
        int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) return ScopedFD(fd);
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return ScopedFD();
    }
}

}  // namespace platform::xpc::detail
