// Queues, groups and timers in the manner of the platform's dispatch library,
// on std::thread. Blocks never run on the caller's stack except for sync().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {

using Block = std::function<void()>;

// Nanoseconds on a monotonic clock. NOW and FOREVER as the platform's.
using DispatchTime = std::uint64_t;
constexpr DispatchTime DISPATCH_TIME_NOW = 0;
constexpr DispatchTime DISPATCH_TIME_FOREVER = ~0ull;
constexpr std::int64_t NSEC_PER_SEC = 1000000000ll;
constexpr std::int64_t NSEC_PER_MSEC = 1000000ll;
// `when` (NOW meaning the present) plus delta nanoseconds; FOREVER stays FOREVER.
DispatchTime dispatchTime(DispatchTime when, std::int64_t deltaNanoseconds);

enum class QualityOfService { Background, Utility, Default, UserInitiated, UserInteractive };

// Anything that can be suspended and resumed.
class DispatchObject {
public:
    virtual ~DispatchObject() = default;
    virtual void suspend() = 0;
    virtual void resume() = 0;
};

class DispatchQueue : public DispatchObject, public std::enable_shared_from_this<DispatchQueue> {
public:
    static std::shared_ptr<DispatchQueue> createSerial(const std::string& label,
                                                       QualityOfService qos = QualityOfService::Default);
    static std::shared_ptr<DispatchQueue> createConcurrent(const std::string& label,
                                                           QualityOfService qos = QualityOfService::Default);
    static std::shared_ptr<DispatchQueue> global(QualityOfService qos = QualityOfService::Default);
    // The main queue: runs only while a front end drains it (runMainQueue) or
    // hands it to its event loop (setMainQueueExecutor).
    static std::shared_ptr<DispatchQueue> main();

    virtual const std::string& label() const = 0;
    virtual QualityOfService qualityOfService() const = 0;
    virtual void async(Block block) = 0;
    virtual void sync(const Block& block) = 0;
    // On a concurrent queue: waits for earlier blocks, runs alone, then lets later ones go.
    virtual void asyncBarrier(Block block) = 0;
    virtual void syncBarrier(const Block& block) = 0;
    virtual void after(DispatchTime deadline, Block block) = 0;
    // true when called from a block running on this queue.
    virtual bool isCurrent() const = 0;
};

// For code whose state only one serial queue touches: stops the process,
// naming the queue, when the caller is not running a block of `queue` (a
// sync() block counts). Debug builds check; builds with NDEBUG check nothing.
#ifdef NDEBUG
inline void dispatchAssertQueue(const DispatchQueue&) {}
#else
void dispatchAssertQueue(const DispatchQueue& queue);
#endif

// Drains the main queue on the calling thread until stopMainQueue() is called.
// A stop made while nobody drains is kept and ends the next drain.
void runMainQueue();
void stopMainQueue();
// A window front end maps the main queue onto its event loop: every block
// added to the main queue is handed to the executor instead.
void setMainQueueExecutor(std::function<void(Block)> executor);

class DispatchGroup {
public:
    static std::shared_ptr<DispatchGroup> create();
    virtual ~DispatchGroup() = default;
    virtual void enter() = 0;
    // A leave without a matching enter is ignored (the platform would crash).
    virtual void leave() = 0;
    // 0 when the group emptied before the deadline, non-zero on timeout or
    // when the calling thread's WaitInterruption was requested.
    virtual long wait(DispatchTime deadline) = 0;
    virtual void notify(const std::shared_ptr<DispatchQueue>& queue, Block block) = 0;
    // Runs block on queue for work tracked by the group.
    virtual void async(const std::shared_ptr<DispatchQueue>& queue, Block block) = 0;
};

// A request to stop waiting, for work that has to end early (a collection
// whose program is closing). While a Scope for it lives on a thread, every
// DispatchGroup::wait on that thread ends once the interruption is requested,
// answering non-zero as on a timeout; a wait that begins after the request
// ends at once. Loops of such work check isRequested() between their steps.
//
// Threading: request() and isRequested() may be called from any thread; a
// Scope belongs to the thread that made it, and scopes nest.
class WaitInterruption {
public:
    static std::shared_ptr<WaitInterruption> create();
    virtual ~WaitInterruption() = default;
    virtual void request() = 0;
    virtual bool isRequested() const = 0;
    // For the waits: `wake` runs on request() (at once when requested
    // already) until removeWaker() with the answer returned; it must not block.
    virtual std::uint64_t addWaker(Block wake) = 0;
    virtual void removeWaker(std::uint64_t waker) = 0;

    // The interruption of the innermost scope on the calling thread, or null.
    static std::shared_ptr<WaitInterruption> current();
    // Whether the calling thread's interruption has been requested.
    static bool requestedOnCurrentThread();

    class Scope {
    public:
        explicit Scope(std::shared_ptr<WaitInterruption> interruption);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<WaitInterruption> previous_;
    };
};

class DispatchSourceTimer : public DispatchObject {
public:
    // Created suspended, as the platform's sources are. Null for a null queue.
    // Fires while suspended or while the handler runs are merged into one; the
    // cancel handler runs after the last event handler, then both are released.
    static std::shared_ptr<DispatchSourceTimer> create(const std::shared_ptr<DispatchQueue>& queue);
    virtual void setTimer(DispatchTime start, std::uint64_t intervalNanoseconds, std::uint64_t leewayNanoseconds) = 0;
    virtual void setEventHandler(Block handler) = 0;
    virtual void setCancelHandler(Block handler) = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

}  // namespace platform::dispatch
