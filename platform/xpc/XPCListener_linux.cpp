#include "platform/xpc/XPCListener.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/log/LogStore.h"
#include "platform/thread/Mutex.h"
#include "platform/value/HexString.h"
#include "platform/xpc/XPCIOLoop.h"
#include "platform/xpc/XPCPeer.h"

namespace platform::xpc {

using platform::dispatch::DispatchQueue;

struct Listener::Impl : detail::Pollable, std::enable_shared_from_this<Listener::Impl> {
    std::string name;  // endpoint text or service name
    std::string path;  // named sockets only
    ino_t inode = 0;
    std::shared_ptr<DispatchQueue> queue;

    mutable platform::Mutex mutex;
    ScopedFD fd GUARDED_BY(mutex);
    std::uint64_t token GUARDED_BY(mutex) = 0;
    bool resumed GUARDED_BY(mutex) = false;
    bool invalid GUARDED_BY(mutex) = false;
    Delegate delegate GUARDED_BY(mutex);

    // Accepting fails while the process has no descriptor left (or the
    // kernel no memory): the pending connection stays readable, and the
    // level-triggered loop would report it again at once, for ever. The
    // listener rests instead, and looks again after a while; connections
    // already open are served meanwhile.
    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
    bool resting GUARDED_BY(mutex) = false;  // under mutex

    void rest(int why) REQUIRES(mutex) {
        if (!resting) {
            platform::log::write("com.nerova.rivovovuvev", "xpc", platform::log::Level::Error,
                                 "Cannot accept connections on '" + name + "' for now: " + std::strerror(why) +
                                     ". Trying again every " + std::to_string(kAcceptRetryDelay.count()) + " ms.");
        }
        resting = true;
        detail::IOLoop::shared().modify(token, fd.get(), 0);
        // Not on the listener's queue: a long delegate call must not keep it resting.
        const auto delay = std::chrono::nanoseconds(kAcceptRetryDelay).count();
        DispatchQueue::global()->after(
            platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW, delay), [weak = weak_from_this()] {
                auto self = weak.lock();
                if (!self) return;
                platform::MutexLock lock(self->mutex);
                if (!self->invalid && self->fd)
                    detail::IOLoop::shared().modify(self->token, self->fd.get(), detail::IOLoop::readable());
            });
    }

    void handleEvents(std::uint32_t) override {
        for (;;) {
            ScopedFD accepted;
            {
                platform::MutexLock lock(mutex);
                if (invalid || !fd) return;
                accepted = detail::acceptSocket(fd.get());
                if (!accepted) {
                    const int why = errno;
                    if (why == EMFILE || why == ENFILE || why == ENOBUFS || why == ENOMEM) rest(why);
                    return;
                }
                resting = false;
            }
            auto connection = Connection::createAccepted(accepted.release(), name);
            queue->async([self = shared_from_this(), connection] {
                Delegate d;
                {
                    platform::MutexLock lock(self->mutex);
                    if (!self->invalid) d = self->delegate;
                }
                bool accept = d && d(connection);
                if (!accept) connection->invalidate();
            });
        }
    }
};

namespace {

// The runtime root and its xpc/ folder, when missing: mode 0755 whatever the
// umask, so that every user can reach the sockets and only the owner can put
// one there (or swap ours between bind and chmod).
void makeServiceFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path().parent_path(), ec);
    for (const auto& f : {folder.parent_path(), folder})
        if (::mkdir(f.c_str(), 0755) == 0) ::chmod(f.c_str(), 0755);
}

std::shared_ptr<DispatchQueue> makeQueue(const std::string& name) {
    return DispatchQueue::createSerial("com.nerova.xpc.listener." + name);
}

}  // namespace

std::shared_ptr<Listener> Listener::anonymous(platform::Error* error) {
    std::string name = "nrvxpc." + platform::randomLowercaseHex(16);
    platform::Error why;
    ScopedFD fd = detail::listenSocket(name, true, &why);
    if (!fd) {
        if (error) *error = transportError(kErrorInvalid, "Cannot create an anonymous listener: " + why.description);
        return nullptr;
    }
    std::shared_ptr<Listener> l(new Listener());
    l->queue_ = makeQueue("anonymous");
    l->impl_ = std::make_shared<Impl>();
    l->impl_->name = name;
    l->impl_->queue = l->queue_;
    {
        platform::MutexLock lock(l->impl_->mutex);  // not shared yet; the lock is for the analysis
        l->impl_->fd = std::move(fd);
    }
    return l;
}

std::shared_ptr<Listener> Listener::forService(const std::string& serviceName, platform::Error* error) {
    auto fail = [&](const std::string& why) -> std::shared_ptr<Listener> {
        if (error) *error = transportError(kErrorInvalid, "Cannot listen for the service '" + serviceName + "': " + why);
        return nullptr;
    };
    if (serviceName.empty() || serviceName.find('/') != std::string::npos || serviceName[0] == '.')
        return fail("not a service name");
    std::string path = servicePath(serviceName);
    makeServiceFolders(std::filesystem::path(path).parent_path());
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) return fail(ec.message());
    platform::Error untrusted;
    if (!serviceFolderIsTrusted(&untrusted)) {
        platform::log::write("com.nerova.rivovovuvev", "xpc", platform::log::Level::Error,
                             "Refusing to listen for '" + serviceName + "': " + untrusted.description);
        return fail(untrusted.description);
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("a file that is not a socket is in the way");
        if (detail::connectSocket(path, false, nullptr)) return fail("another process serves it");
        ::unlink(path.c_str());
    }
    platform::Error why;
    ScopedFD fd = detail::listenSocket(path, false, &why);
    if (!fd) return fail(why.description);
    std::shared_ptr<Listener> l(new Listener());
    l->queue_ = makeQueue(serviceName);
    l->impl_ = std::make_shared<Impl>();
    l->impl_->name = serviceName;
    l->impl_->path = path;
    if (lstat(path.c_str(), &st) == 0) l->impl_->inode = st.st_ino;
    l->impl_->queue = l->queue_;
    {
        platform::MutexLock lock(l->impl_->mutex);  // not shared yet; the lock is for the analysis
        l->impl_->fd = std::move(fd);
    }
    return l;
}

Listener::~Listener() { invalidate(); }

void Listener::setDelegate(Delegate delegate) {
    platform::MutexLock lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
}

void Listener::resume() {
    platform::MutexLock lock(impl_->mutex);
    if (impl_->resumed || impl_->invalid) return;
    impl_->resumed = true;
    impl_->token = detail::IOLoop::shared().add(impl_->fd.get(), detail::IOLoop::readable(), impl_);
    if (impl_->token == 0)
        platform::log::write("com.nerova.rivovovuvev", "xpc", platform::log::Level::Error,
                             "Cannot watch the listener '" + impl_->name + "'.");
}

void Listener::invalidate() {
    ScopedFD fd;
    std::uint64_t token = 0;
    bool first = false;
    {
        platform::MutexLock lock(impl_->mutex);
        if (!impl_->invalid) {
            first = true;
            impl_->invalid = true;
            impl_->delegate = nullptr;
            token = impl_->token;
            fd = std::move(impl_->fd);
        }
    }
    if (token) detail::IOLoop::shared().remove(token, fd.get());
    if (first && !impl_->path.empty()) {
        // Only our own socket: a successor may already have bound the name.
        struct stat st {};
        if (lstat(impl_->path.c_str(), &st) == 0 && st.st_ino == impl_->inode) ::unlink(impl_->path.c_str());
    }
    // A delegate call that took its copy of the delegate before the flag was
    // set may still be running: wait for it, so that the caller may free
    // what the delegate uses (and may drop the connections it kept) once
    // this returns. Blocks queued after it see the flag and only close
    // their connection. From the delegate itself there is nothing to wait for.
    if (!impl_->queue->isCurrent()) impl_->queue->sync([] {});
}

Endpoint Listener::endpoint() const { return Endpoint{impl_->name}; }

bool Listener::isInvalid() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->invalid;
}

}  // namespace platform::xpc
