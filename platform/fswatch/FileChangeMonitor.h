// Change watching of an open file, in the manner of the platform's vnode
// dispatch sources, over inotify.
//
// Threading: each monitor owns one watching thread; the handler runs on the
// queue given at creation, one event at a time. cancel() may be called from
// any thread, the handler included; once it returns no handler call starts
// any more (one already running on the queue finishes). The destructor
// cancels.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"
#include "platform/error/Error.h"

namespace platform::fswatch {

// The change flags, with the platform's values.
enum : std::uint32_t {
    kVnodeDelete = 0x1,
    kVnodeWrite = 0x2,
    kVnodeExtend = 0x4,
    kVnodeAttrib = 0x8,
    kVnodeLink = 0x10,
    kVnodeRename = 0x20,
    kVnodeRevoke = 0x40,
};

class FileChangeMonitor {
public:
    using Handler = std::function<void(std::uint32_t flags)>;
    // Watches the file open at `fd` (the descriptor itself is not kept; the
    // file it names is). Each event hands the flags it carries that are in
    // `mask`; events with none of them are not delivered. nullptr and the
    // error when the watch cannot be set up.
    static std::unique_ptr<FileChangeMonitor> create(int fd, std::uint32_t mask,
                                                     std::shared_ptr<dispatch::DispatchQueue> queue,
                                                     Handler handler, platform::Error* error = nullptr);
    virtual ~FileChangeMonitor() = default;
    virtual void cancel() = 0;
};

}  // namespace platform::fswatch
