#include "platform/notify/NotificationCenter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "platform/fd/ScopedFD.h"
#include "platform/fs/TrustedItem.h"
#include "platform/log/LogStore.h"
#include "platform/signal/TerminationSignals.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/thread/Mutex.h"
#include "platform/value/HexString.h"
#include "platform/memory/NoDestructor.h"

namespace platform::notify {

namespace {

constexpr const char* kLogSubsystem = "com.nerova.rivovovuvev";
constexpr const char* kLogCategory = "notification";
// Notifications received but not yet handed to handlers; beyond this a flood
// is dropped instead of growing memory without bound.
constexpr std::size_t kMaxPendingDeliveries = 4096;

void logLine(platform::log::Level level, const std::string& message) {
    platform::log::write(kLogSubsystem, kLogCategory, level, message);
}

std::string errnoText(int code) { return std::strerror(code); }

bool fillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Makes the shared folder (and the runtime root above it) when missing. The
// folder is world-writable with the sticky bit, so that processes of every
// user can observe and none can remove another's socket.
bool ensureDirectory(const std::string& directory, std::string* error) {
    const auto slash = directory.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string parent = directory.substr(0, slash);
        struct stat st {};
        if (lstat(parent.c_str(), &st) != 0) {
            if (mkdir(parent.c_str(), 0755) == 0) {
                chmod(parent.c_str(), 0755);  // reachable by every user, whatever the umask
            } else if (errno != EEXIST) {
                if (error) *error = "cannot create " + parent + ": " + errnoText(errno);
                return false;
            }
        }
    }
    if (mkdir(directory.c_str(), 01777) == 0) {
        chmod(directory.c_str(), 01777);  // the umask narrowed it
        return true;
    }
    if (errno != EEXIST) {
        if (error) *error = "cannot create " + directory + ": " + errnoText(errno);
        return false;
    }
    struct stat st {};
    if (lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = directory + " is not a folder";
        return false;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != 01777) chmod(directory.c_str(), 01777);
    return true;
}

// The shared folder is used only when it and the folder above it (the
// runtime root) belong to root or this user; the root must be writable by
// nobody else, the shared folder by everyone only with the sticky bit, so
// that nobody can take another's socket away or put a folder of their own in
// its place.
bool folderIsTrusted(const std::string& directory, std::string* error) {
    platform::Error why;
    if (fs::isTrustedItem(fs::deletingLastPathComponent(directory), fs::TrustedItemKind::Folder, &why) &&
        fs::isTrustedItem(directory, fs::TrustedItemKind::SharedFolder, &why))
        return true;
    const std::string text = "Not using the notification folder " + directory + ": " + why.description;
    logLine(log::Level::Error, text);
    if (error) *error = text;
    return false;
}

enum class SendResult { Delivered, Stale, Full, Gone, Skipped };

// Sends one post's datagram to every socket from one unbound socket, many
// at a time per system call, never waiting: a receiver whose queue is full is
// skipped. Datagrams waiting in receivers' queues are charged to the sending
// socket's buffer, so a send refused with EAGAIN may mean that this socket's
// buffer is full (receivers that never read hold it), not the receiver's
// queue: the send is tried once more from a fresh socket, and only a refusal
// of that one counts as full. A socket kept from an earlier post may hold
// such datagrams already, so it counts as one that has sent.
class Sender {
public:
    Sender(const std::string& bytes, ScopedFD kept) : bytes_(bytes), fd_(std::move(kept)), sent_(fd_ ? 1 : 0) {}

    // The socket for the next post.
    ScopedFD keep() { return std::move(fd_); }

    // One result per address, in order.
    std::vector<SendResult> sendToAll(std::vector<sockaddr_un>& addresses) {
        const std::size_t count = addresses.size();
        std::vector<SendResult> results(count, SendResult::Delivered);
        iovec iov{const_cast<char*>(bytes_.data()), bytes_.size()};
        std::vector<mmsghdr> messages(count);
        for (std::size_t i = 0; i < count; ++i) {
            messages[i].msg_hdr.msg_name = &addresses[i];
            messages[i].msg_hdr.msg_namelen = sizeof addresses[i];
            messages[i].msg_hdr.msg_iov = &iov;
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        constexpr std::size_t kBatch = 256;
        bool retried = false;
        for (std::size_t i = 0; i < count;) {
            if (!fd_) {
                fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
                sent_ = 0;
                if (!fd_) {
                    std::fill(results.begin() + static_cast<std::ptrdiff_t>(i), results.end(), SendResult::Full);
                    break;
                }
            }
            const int n = sendmmsg(fd_.get(), &messages[i], static_cast<unsigned>(std::min(kBatch, count - i)),
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent_ += static_cast<std::size_t>(n);
                i += static_cast<std::size_t>(n);
                retried = false;
                continue;
            }
            if (errno == EINTR) continue;
            // The call began with message i: errno is its refusal.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && sent_ > 0 && !retried) {
                fd_.reset();  // maybe only this socket's buffer: once more, afresh
                retried = true;
                continue;
            }
            results[i++] = refusal(errno);
            retried = false;
        }
        return results;
    }

private:
    static SendResult refusal(int code) {
        switch (code) {
            case ECONNREFUSED: return SendResult::Stale;
            case ENOENT: return SendResult::Gone;
            // Not an observer's socket: one that is not ours to write to, a
            // stream socket, a datagram socket connected elsewhere.
            case EACCES:
            case EPERM:
            case EPROTOTYPE: return SendResult::Skipped;
            default: return SendResult::Full;  // EAGAIN from a socket with room: the receiver's queue
        }
    }

    const std::string& bytes_;
    ScopedFD fd_;
    std::size_t sent_ = 0;  // datagrams the current socket has sent
};

// The socket of every bound center of this process, removed when the process
// exits normally (a center that is never destroyed would leave it behind);
// termination by a signal removes them through the termination handling when
// the program installed it. Posters remove what an abnormal end leaves.
class OwnSockets {
public:
    static OwnSockets& shared() {
        static platform::NoDestructor<OwnSockets> sockets;  // never destroyed: used at exit
        return *sockets;
    }
    void add(const std::string& path) {
        platform::MutexLock lock(mutex_);
        if (!registered_) {
            registered_ = true;
            std::atexit([] { OwnSockets::shared().removeAll(); });
        }
        paths_[path] = {getpid(), platform::signal::removeOnTermination(path)};
    }
    void remove(const std::string& path) {
        platform::MutexLock lock(mutex_);
        auto it = paths_.find(path);
        if (it == paths_.end()) return;
        platform::signal::forget(it->second.termination);
        paths_.erase(it);
    }

private:
    struct Owner {
        pid_t pid = 0;
        std::uint64_t termination = 0;
    };
    void removeAll() {
        platform::MutexLock lock(mutex_);
        // A forked child that exits leaves its parent's sockets alone.
        for (const auto& [path, owner] : paths_)
            if (owner.pid == getpid()) unlink(path.c_str());
        paths_.clear();
    }
    platform::Mutex mutex_;
    bool registered_ GUARDED_BY(mutex_) = false;
    std::map<std::string, Owner> paths_ GUARDED_BY(mutex_);
};

// What a post sends to: the socket entries of the shared folder, and the
// state of the folder they were read in. A new or removed entry changes the
// folder's modification time, so the listing stands while that time, the
// change time, the size and the folder's identity stay. File times move in
// clock ticks: a folder changed in the tick it was listed in may change
// again within that tick without a new time, so such a listing is used once
// and then made again.
struct FolderListing {
    std::string directory;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{}, changed{};
    off_t size = 0;
    bool racy = true;
    std::vector<std::string> names;
    std::vector<sockaddr_un> addresses;

    bool describes(const std::string& dir, const struct stat& st) const {
        return !racy && dir == directory && st.st_dev == device && st.st_ino == inode &&
               st.st_mtim.tv_sec == modified.tv_sec && st.st_mtim.tv_nsec == modified.tv_nsec &&
               st.st_ctim.tv_sec == changed.tv_sec && st.st_ctim.tv_nsec == changed.tv_nsec && st.st_size == size;
    }
};

bool isBefore(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

fs::ItemAttributes folderAttributes(const struct stat& st) {
    fs::ItemAttributes a;
    a.type = S_ISDIR(st.st_mode)    ? fs::ItemAttributes::Type::Directory
             : S_ISLNK(st.st_mode) ? fs::ItemAttributes::Type::SymbolicLink
                                   : fs::ItemAttributes::Type::Other;
    a.ownerID = st.st_uid;
    a.groupOwnerID = st.st_gid;
    a.permissions = st.st_mode & 07777;
    return a;
}

// Lists the socket entries of the folder open as `fd`, whose state `st`
// was read before. Sockets only: a link would lead the datagram to any
// socket of the machine (one swapped in after the listing is still followed
// where the kernel does not protect links in sticky folders). The type from
// the listing saves a stat.
std::shared_ptr<FolderListing> listFolder(const std::string& dir, int fd, const struct stat& st, std::string* error) {
    auto made = std::make_shared<FolderListing>();
    made->directory = dir;
    made->device = st.st_dev;
    made->inode = st.st_ino;
    made->modified = st.st_mtim;
    made->changed = st.st_ctim;
    made->size = st.st_size;
    // Any change from now on carries this time or a later one.
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    made->racy = !(isBefore(st.st_mtim, now) && isBefore(st.st_ctim, now));
    DIR* folder = fdopendir(fd);
    if (!folder) {
        if (error) *error = "cannot read " + dir + ": " + errnoText(errno);
        close(fd);
        return nullptr;
    }
    while (dirent* entry = readdir(folder)) {
        if (entry->d_type == DT_UNKNOWN) {
            struct stat entrySt {};
            if (fstatat(dirfd(folder), entry->d_name, &entrySt, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(entrySt.st_mode))
                continue;
        } else if (entry->d_type != DT_SOCK) {
            continue;
        }
        sockaddr_un address;
        if (!fillAddress(dir + "/" + entry->d_name, &address)) continue;
        made->names.emplace_back(entry->d_name);
        made->addresses.push_back(address);
    }
    closedir(folder);
    return made;
}

struct Registration {
    NotificationCenter::ObserverKey observer;
    std::optional<std::string> name;
    std::optional<std::string> object;
    NotificationCenter::Handler handler;
    std::shared_ptr<std::atomic<bool>> active;
};

}  // namespace

struct NotificationCenter::State : std::enable_shared_from_this<NotificationCenter::State> {
    explicit State(std::string dir) : fixedDirectory(std::move(dir)) {}

    const std::string fixedDirectory;
    const std::shared_ptr<dispatch::DispatchQueue> deliveryQueue =
        dispatch::DispatchQueue::createSerial("com.nerova.notify.deliveryqueue");
    std::atomic<std::size_t> pendingDeliveries{0};

    mutable platform::Mutex mutex;  // guards everything below
    std::vector<Registration> registrations GUARDED_BY(mutex);
    ScopedFD socket GUARDED_BY(mutex);
    ScopedFD wakeup GUARDED_BY(mutex);
    std::string socketPath GUARDED_BY(mutex);
    std::thread receiver GUARDED_BY(mutex);

    std::string directory() const {
        return fixedDirectory.empty() ? NotificationCenter::defaultDirectory() : fixedDirectory;
    }

    // The sockets of the folder as last listed, for posts (see listingFor),
    // and an unbound socket a post sends from, kept for the next one.
    platform::Mutex listingMutex;
    std::shared_ptr<const FolderListing> listing GUARDED_BY(listingMutex);
    ScopedFD sendingSocket GUARDED_BY(listingMutex);

    bool bind(std::string* error) REQUIRES(mutex);
    void unbind() REQUIRES(mutex);
    // The sockets in `dir` for a post: the listing kept from an earlier post
    // while the folder is the same folder and unchanged, else a new one.
    // The folder's own owner and mode are checked on every call, the folders
    // above it whenever it is listed again. nullptr when the folder is not
    // there (*absent) or is not to be used (*error, with a log line).
    std::shared_ptr<const FolderListing> listingFor(const std::string& dir, bool* absent, std::string* error);
    void forgetListing() {
        platform::MutexLock lock(listingMutex);
        listing.reset();
    }
    void deliver(const Notification& notification);
    static void receiveLoop(std::weak_ptr<State> weak, int fd, int wakeFD);
};

bool NotificationCenter::State::bind(std::string* error) {
    const std::string dir = directory();
    if (!ensureDirectory(dir, error) || !folderIsTrusted(dir, error)) return false;
    const std::string path = dir + "/" + std::to_string(getpid()) + "." + platform::randomLowercaseHex(8);
    sockaddr_un address;
    if (!fillAddress(path, &address)) {
        if (error) *error = "socket path too long: " + path;
        return false;
    }
    ScopedFD fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ScopedFD wake(eventfd(0, EFD_CLOEXEC));
    if (!fd || !wake) {
        if (error) *error = "cannot create a socket: " + errnoText(errno);
        return false;
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);  // the sender's pid for the log
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (error) *error = "cannot bind " + path + ": " + errnoText(errno);
        return false;
    }
    // Posters of every user must reach this observer.
    chmod(path.c_str(), 0666);
    socketPath = path;
    OwnSockets::shared().add(path);
    receiver = std::thread(receiveLoop, weak_from_this(), fd.get(), wake.get());
    socket = std::move(fd);
    wakeup = std::move(wake);
    return true;
}

std::shared_ptr<const FolderListing> NotificationCenter::State::listingFor(const std::string& dir, bool* absent,
                                                                          std::string* error) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        const int code = errno;
        forgetListing();
        if (code == ENOENT) {
            *absent = true;
        } else if (error) {
            *error = "cannot read " + dir + ": " + errnoText(code);
        }
        return nullptr;
    }
    platform::Error why;
    if (fs::isTrustedOwnerAndMode(folderAttributes(st), fs::TrustedItemKind::SharedFolder, &why)) {
        platform::MutexLock lock(listingMutex);
        if (listing && listing->describes(dir, st)) return listing;
    }
    // Listed again: the whole chain of folders is checked again (a folder
    // that fails says why), and the folder opened must be the one examined.
    if (!folderIsTrusted(dir, error)) {
        forgetListing();
        return nullptr;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
        !fs::isTrustedOwnerAndMode(folderAttributes(opened), fs::TrustedItemKind::SharedFolder, &why)) {
        const int code = errno;
        if (fd >= 0) close(fd);
        forgetListing();
        if (error) *error = "cannot read " + dir + ": " + (fd < 0 ? errnoText(code) : "it changed while it was opened");
        return nullptr;
    }
    std::shared_ptr<const FolderListing> made = listFolder(dir, fd, opened, error);
    platform::MutexLock lock(listingMutex);
    listing = made;
    return made;
}

void NotificationCenter::State::unbind() {
    if (!socket) return;
    const std::uint64_t one = 1;
    while (write(wakeup.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (receiver.joinable()) receiver.join();
    unlink(socketPath.c_str());
    OwnSockets::shared().remove(socketPath);
    socket.reset();
    wakeup.reset();
    socketPath.clear();
}

void NotificationCenter::State::deliver(const Notification& notification) {
    std::vector<std::pair<Handler, std::shared_ptr<std::atomic<bool>>>> matching;
    {
        platform::MutexLock lock(mutex);
        for (const auto& r : registrations) {
            if (r.name && *r.name != notification.name) continue;
            if (r.object && (!notification.object || *r.object != *notification.object)) continue;
            matching.emplace_back(r.handler, r.active);
        }
    }
    for (auto& [handler, active] : matching) {
        if (active->load()) handler(notification);
    }
}

void NotificationCenter::State::receiveLoop(std::weak_ptr<State> weak, int fd, int wakeFD) {
    std::vector<std::uint8_t> buffer(datagram::kMaxDatagramSize + 1);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFD, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            logLine(log::Level::Fault, "Notification receiving stopped: " + errnoText(errno));
            return;
        }
        if (fds[1].revents) return;
        for (;;) {
            iovec iov{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) {
                if (errno == EINTR) continue;
                break;  // drained
            }
            int senderPID = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                    ucred cred;
                    std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                    senderPID = cred.pid;
                }
            }
            platform::Error reason;
            std::optional<Notification> notification;
            if (static_cast<std::size_t>(n) > datagram::kMaxDatagramSize) reason.description = "datagram too large";
            else notification = datagram::decode(buffer.data(), static_cast<std::size_t>(n), &reason);
            if (!notification) {
                logLine(log::Level::Error, "Dropped an undecodable notification datagram of " + std::to_string(n) +
                                               " bytes from pid " + std::to_string(senderPID) + ": " +
                                               reason.description);
                continue;
            }
            auto state = weak.lock();
            if (!state) return;
            if (state->pendingDeliveries.load() >= kMaxPendingDeliveries) {
                logLine(log::Level::Error, "Dropped notification '" + notification->name +
                                               "': too many notifications waiting for delivery");
                continue;
            }
            ++state->pendingDeliveries;
            state->deliveryQueue->async([weak, n = std::move(*notification)] {
                auto s = weak.lock();
                if (!s) return;
                --s->pendingDeliveries;
                s->deliver(n);
            });
        }
    }
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static platform::NoDestructor<NotificationCenter> center;
    return *center;
}

std::string NotificationCenter::defaultDirectory() { return runtimeRoot() + "/notify"; }

NotificationCenter::NotificationCenter(std::string directory)
    : state_(std::make_shared<State>(std::move(directory))) {}

NotificationCenter::~NotificationCenter() {
    platform::MutexLock lock(state_->mutex);
    for (auto& r : state_->registrations) r.active->store(false);
    state_->registrations.clear();
    state_->unbind();
}

bool NotificationCenter::addObserver(ObserverKey observer, std::optional<std::string> name,
                                     std::optional<std::string> object, Handler handler, platform::Error* error) {
    if (!handler) {
        if (error) *error = platform::Error{"", 0, "no handler"};
        return false;
    }
    platform::MutexLock lock(state_->mutex);
    std::string why;
    if (state_->registrations.empty() && !state_->bind(&why)) {
        if (error) *error = platform::Error{"", 0, why};
        return false;
    }
    state_->registrations.push_back({observer, std::move(name), std::move(object), std::move(handler),
                                     std::make_shared<std::atomic<bool>>(true)});
    return true;
}

void NotificationCenter::removeObserver(ObserverKey observer, const std::optional<std::string>& name,
                                        const std::optional<std::string>& object) {
    platform::MutexLock lock(state_->mutex);
    auto& regs = state_->registrations;
    const bool hadAny = !regs.empty();
    std::erase_if(regs, [&](Registration& r) {
        const bool match = r.observer == observer && (!name || r.name == name) && (!object || r.object == object);
        if (match) r.active->store(false);
        return match;
    });
    if (hadAny && regs.empty()) state_->unbind();
}

bool NotificationCenter::post(const Notification& notification, platform::Error* error) {
    auto bytes = datagram::encode(notification, error);
    if (!bytes) return false;
    std::string why;
    const std::string dir = state_->directory();
    bool absent = false;
    std::shared_ptr<const FolderListing> listing = state_->listingFor(dir, &absent, &why);
    if (!listing) {
        if (absent) return true;  // a folder nobody has ever observed in is no failure
        if (error) *error = platform::Error{"", 0, why};
        return false;
    }
    // The sends take copies of the addresses: the kernel writes into the
    // message headers, and other posts may use the listing meanwhile.
    std::vector<sockaddr_un> addresses = listing->addresses;
    ScopedFD kept;
    {
        platform::MutexLock lock(state_->listingMutex);
        kept = std::move(state_->sendingSocket);
    }
    Sender sender(*bytes, std::move(kept));
    const std::vector<SendResult> results = sender.sendToAll(addresses);
    {
        // Posts at the same time each send from their own socket; one is kept.
        platform::MutexLock lock(state_->listingMutex);
        if (!state_->sendingSocket) state_->sendingSocket = sender.keep();
    }
    std::size_t missed = 0;
    bool removed = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
        switch (results[i]) {
            case SendResult::Stale: {
                // Nobody listens there any more. The entry is removed only
                // while it is still a socket (not a link put in its place).
                const std::string path = dir + "/" + listing->names[i];
                struct stat st {};
                if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && unlink(path.c_str()) == 0) removed = true;
                break;
            }
            case SendResult::Full:
                ++missed;
                break;
            case SendResult::Delivered:
            case SendResult::Gone:
            case SendResult::Skipped:
                break;
        }
    }
    if (removed) state_->forgetListing();
    if (missed) {
        const std::string text = std::to_string(missed) + " observer(s) did not take notification '" +
                                 notification.name + "': their queue was full";
        logLine(log::Level::Error, text);
        if (error) *error = platform::Error{"", 0, text};
        return false;
    }
    return true;
}

std::string NotificationCenter::directory() const { return state_->directory(); }

std::string NotificationCenter::socketPath() const {
    platform::MutexLock lock(state_->mutex);
    return state_->socketPath;
}

}  // namespace platform::notify
