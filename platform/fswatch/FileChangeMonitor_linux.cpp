#include "platform/fswatch/FileChangeMonitor.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/fd/DescriptorWatcher.h"
#include "platform/fd/ScopedFD.h"

namespace platform::fswatch {

namespace {

class InotifyMonitor final : public FileChangeMonitor {
public:
    InotifyMonitor(ScopedFD inotify, std::unique_ptr<DescriptorWatcher> watcher, ScopedFD file, std::uint32_t mask,
                   std::shared_ptr<dispatch::DispatchQueue> queue, Handler handler)
        : inotify_(std::move(inotify)), watcher_(std::move(watcher)), file_(std::move(file)), mask_(mask),
          queue_(std::move(queue)), handler_(std::make_shared<Handler>(std::move(handler))) {
        struct stat st {};
        if (::fstat(file_.get(), &st) == 0) {
            lastSize_ = st.st_size;
            lastLinks_ = st.st_nlink;
        }
        watcher_->add(inotify_.get(), [this] { return readEvents(); });
    }

    ~InotifyMonitor() override { cancel(); }

    void cancel() override {
        if (cancelled_->exchange(true)) return;
        watcher_->stop();
    }

private:
    // On the watcher's thread. false once the events cannot be read any more.
    bool readEvents() {
        alignas(struct inotify_event) char buffer[4096];
        if (cancelled_->load()) return false;
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
        std::uint32_t flags = 0;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(p);
            flags |= translate(event->mask);
            p += sizeof(struct inotify_event) + event->len;
        }
        flags &= mask_;
        if (flags == 0) return true;
        // The flag is shared with the queued block, so a cancel that
        // comes before the block runs still suppresses it.
        queue_->async([handler = handler_, cancelled = cancelled_, flags] {
            if (!cancelled->load()) (*handler)(flags);
        });
        return true;
    }

    // inotify speaks of events, the vnode flags of what changed: a write that
    // grew the file is also an extension, an attribute event that changed the
    // link count is also a link change. The file is looked at when the events
    // are read, which may be after later changes: each kind of event only
    // takes the part of the state it tells of, so a write's event cannot use
    // up the link change that the next event reports, nor the reverse.
    std::uint32_t translate(std::uint32_t m) {
        std::uint32_t flags = 0;
        if (m & (IN_MODIFY | IN_ATTRIB)) {
            struct stat st {};
            if (::fstat(file_.get(), &st) == 0) {
                if (m & IN_MODIFY) {
                    if (st.st_size > lastSize_) flags |= kVnodeExtend;
                    lastSize_ = st.st_size;
                }
                // An open file outlives its last name: inotify only says the
                // link count changed, and a count of zero is the deletion.
                if (m & IN_ATTRIB) {
                    if (st.st_nlink != lastLinks_) flags |= st.st_nlink == 0 ? kVnodeDelete : kVnodeLink;
                    lastLinks_ = st.st_nlink;
                }
            }
        }
        if (m & IN_MODIFY) flags |= kVnodeWrite;
        if (m & IN_ATTRIB) flags |= kVnodeAttrib;
        if (m & IN_DELETE_SELF) flags |= kVnodeDelete;
        if (m & IN_MOVE_SELF) flags |= kVnodeRename;
        if (m & IN_UNMOUNT) flags |= kVnodeRevoke;
        return flags;
    }

    ScopedFD inotify_;
    std::unique_ptr<DescriptorWatcher> watcher_;
    ScopedFD file_;
    std::uint32_t mask_;
    std::shared_ptr<dispatch::DispatchQueue> queue_;
    std::shared_ptr<Handler> handler_;
    std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
    off_t lastSize_ = 0;
    nlink_t lastLinks_ = 0;
};

}  // namespace

std::unique_ptr<FileChangeMonitor> FileChangeMonitor::create(int fd, std::uint32_t mask,
                                                             std::shared_ptr<dispatch::DispatchQueue> queue,
                                                             Handler handler, platform::Error* error) {
    auto failWith = [&](const char* operation, int code) -> std::unique_ptr<FileChangeMonitor> {
        if (error) *error = platform::Error{operation, code, std::strerror(code)};
        return nullptr;
    };
    if (fd < 0 || !queue || !handler) return failWith("", EINVAL);
    // A private duplicate keeps the file's identity for the size and link
    // checks even when the caller closes its descriptor.
    ScopedFD file(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!file) return failWith("fcntl", errno == EBADF ? EINVAL : errno);
    ScopedFD inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) return failWith("inotify_init1", errno);
    // The watch follows the descriptor's own link in /proc, so it lands on
    // the open file even when its path has since been replaced.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    const std::uint32_t events = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    if (::inotify_add_watch(inotify.get(), self.c_str(), events) < 0) return failWith("inotify_add_watch", errno);
    auto watcher = DescriptorWatcher::create(error);
    if (!watcher) return nullptr;
    return std::make_unique<InotifyMonitor>(std::move(inotify), std::move(watcher), std::move(file), mask,
                                            std::move(queue), std::move(handler));
}

}  // namespace platform::fswatch
