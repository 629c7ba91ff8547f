// The one I/O loop of the process (epoll) and the framed stream channel it
// serves. Internal to the transport: Connection and Listener build on it.
// One thread borrowed from the dispatch pool waits for events; when its
// channel frames give a connection queue work it runs that work itself and
// then waits again, so a call and its reply cost no extra thread wake-up on
// either side. A second thread stands by and takes over watching when such
// work runs long.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error/Error.h"
#include "platform/fd/ScopedFD.h"
#include "platform/thread/Mutex.h"
#include "platform/xpc/XPCFrame.h"
#include "platform/memory/NoDestructor.h"

namespace platform::xpc::detail {

// Something the loop watches. handleEvents runs on a loop thread, never
// concurrently with itself for one object.
class Pollable {
public:
    virtual ~Pollable() = default;
    virtual void handleEvents(std::uint32_t events) = 0;
    // true when handleEvents only hands work to queues (and never waits for
    // such work), so the loop thread may run that work itself afterwards.
    virtual bool handsWorkToQueues() const { return false; }
};

// Threading: add/modify/remove may be called from any thread. After remove
// returns, the loop may still finish one handleEvents call already under way
// for the object (it holds a strong reference for that call).
class IOLoop {
public:
    static IOLoop& shared();
    // Token for modify/remove; 0 when epoll refused the descriptor.
    std::uint64_t add(int fd, std::uint32_t events, std::shared_ptr<Pollable> target);
    void modify(std::uint64_t token, int fd, std::uint32_t events);
    void remove(std::uint64_t token, int fd);

    static std::uint32_t readable();
    static std::uint32_t writable();

private:
    // The one instance is made by shared() and never destroyed.
    friend class platform::NoDestructor<IOLoop>;
    IOLoop();
    // A pool thread's turn: watching, running what the events started, or
    // standing by; returns when the thread goes back to the pool.
    void run();
    // With the loop's lock held: true when this thread is to watch next,
    // after standing by while another watches; false when a watcher and a
    // standby thread exist already and this one goes back to the pool.
    bool takeTurn(platform::MutexLock& lock);
    // With the loop's lock held: stands by until this thread should watch.
    void standBy(platform::MutexLock& lock);
    // Waits for events and handles them until one gives queue work; answers
    // that work, or nothing when waiting failed.
    std::function<void()> watch();
    struct Impl;
    Impl* impl_;
};

// What one channel may hold, in each direction, and what unfinished frames
// may hold in the whole process; the channel that would go past a cap is
// closed. A peer that sends calls and never reads the replies, or feeds a
// handler slower than it sends, or leaves frames half written, is bounded so.
// Output: bytes given to send but not yet taken by the socket. Two of the
// largest frames.
constexpr std::size_t kMaxQueuedOutput = 2 * (std::size_t{kMaxFrameLength} + 4);
// Input: bytes read and not yet handled, that is the frame being read plus
// whole frames waiting for the connection's queue. Two of the largest frames.
constexpr std::size_t kMaxQueuedInput = 2 * (std::size_t{kMaxFrameLength} + 4);
// Unfinished frames: up to this much of one costs a channel nothing more...
constexpr std::size_t kPartialFrameAllowance = 64 * 1024;
// ...beyond it, the bytes of the unfinished frames of all channels of the
// process count against this budget, and such a frame must be complete
// within the time limit. A few of the largest frames may be on their way at
// once; twenty peers that stop half way hold no more than this, and not for
// long.
constexpr std::size_t kPartialFrameBudget = 64 * 1024 * 1024;
constexpr std::chrono::seconds kPartialFrameTimeLimit{10};
// For tests: frames that become unfinished from now on must be complete
// within `limit` instead of kPartialFrameTimeLimit.
void setPartialFrameTimeLimitForUnitTest(std::chrono::milliseconds limit);

// Held with a frame on its way to being handled: while a copy lives, the
// frame's bytes count against its channel's input cap.
using InputCredit = std::shared_ptr<const void>;

class ChannelDelegate {
public:
    virtual ~ChannelDelegate() = default;
    // `credit` is to be kept until the frame was handled.
    virtual void channelReceived(Frame frame, InputCredit credit) = 0;
    // Once, when the channel closes for any reason. `malformed` when the
    // peer sent something that is not a frame.
    virtual void channelClosed(bool malformed) = 0;
};

// A connected stream socket carrying frames. Threading: send and close from
// any thread; reads happen on a loop thread.
class Channel final : public Pollable, public std::enable_shared_from_this<Channel> {
public:
    Channel(ScopedFD fd, std::string label) : fd_(std::move(fd)), label_(std::move(label)) {}
    ~Channel() override;
    // Before start. Every byte must come from process `pid` (the peer that
    // was checked): bytes another process sharing the descriptor wrote close
    // the channel.
    void expectSender(int pid) { expectedSender_ = pid; }
    // Before start, on the connecting side: what is sent waits until the
    // accepting side says it has checked this process (sendReady), so
    // that nothing is written before the check and refused for it.
    void holdUntilPeerReady() { holding_ = true; }
    // On the accepting side, once the peer was checked: the first frame.
    bool sendReady();
    // Starts reading; the delegate is held until the channel closes.
    bool start(std::shared_ptr<ChannelDelegate> delegate);
    // An encoded frame (encodeFrame). False when the channel is closed.
    bool send(const std::vector<std::uint8_t>& bytes);
    void close();
    bool isClosed() const { return closed_.load(); }
    int fd() const { return fd_.get(); }
    void handleEvents(std::uint32_t events) override;
    bool handsWorkToQueues() const override { return true; }

private:
    void closeFromLoop(bool malformed);
    void readAvailable();
    void flush();
    void releaseHeld();

    ScopedFD fd_;
    std::string label_;
    std::atomic<bool> closed_{false};
    std::uint64_t token_ = 0;

    platform::Mutex delegateMutex_;
    std::shared_ptr<ChannelDelegate> delegate_ GUARDED_BY(delegateMutex_);

    platform::Mutex writeMutex_;
    std::vector<std::uint8_t> out_ GUARDED_BY(writeMutex_);
    std::size_t outOffset_ GUARDED_BY(writeMutex_) = 0;
    bool wantsWritable_ GUARDED_BY(writeMutex_) = false;
    bool holding_ = false;  // under writeMutex_ once started
    int expectedSender_ = 0;  // set before start

    // Only the loop thread handling the channel touches the read buffer.
    std::vector<std::uint8_t> in_;
    std::size_t inOffset_ = 0;
    // Bytes of frames handed on and not yet handled (see InputCredit).
    std::shared_ptr<std::atomic<std::size_t>> inputHeld_ = std::make_shared<std::atomic<std::size_t>>(0);
    // What the unfinished frame holds of the process's budget (loop thread),
    // and which unfinished frame the time limit watches (0: none).
    std::size_t partialCharged_ = 0;
    std::atomic<std::uint64_t> slowFrame_{0};
    std::uint64_t slowFrames_ = 0;
    bool boundInput();
};

// Stream sockets on a path (named services) or an abstract name (anonymous
// listeners). Both answer an owned descriptor, invalid on failure with the
// reason in `error`. Accepted and connected sockets are non-blocking.
ScopedFD connectSocket(const std::string& address, bool abstract, platform::Error* error);
ScopedFD listenSocket(const std::string& address, bool abstract, platform::Error* error);
// One pending connection, or an invalid descriptor when none is waiting or
// accepting failed (errno says which).
ScopedFD acceptSocket(int listenFD);

}  // namespace platform::xpc::detail
