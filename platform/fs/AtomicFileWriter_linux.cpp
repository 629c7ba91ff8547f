#include "platform/fs/AtomicFileWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::fs {

namespace {

bool fail(FsError* error, int code, const std::string& what, const std::string& path) {
    if (error) {
        error->code = code;
        error->description = "Unable to " + what + " \u201c" + lastPathComponent(path) + "\u201d: " + ::strerror(code);
    }
    return false;
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() { discard(); }

bool AtomicFileWriter::open(FsError* error) {
    discard();
    const std::string folder = deletingLastPathComponent(targetPath_);
    std::string pattern =
        appendingPathComponent(folder.empty() ? "." : folder, "." + lastPathComponent(targetPath_) + ".XXXXXX");
    const int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (raw < 0) return fail(error, errno, "create a temporary file for", targetPath_);
    fd_.reset(raw);
    temporaryPath_ = pattern;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_.get(), 0666 & ~mask);
    bytesWritten_ = 0;
    return true;
}

bool AtomicFileWriter::write(std::string_view bytes, FsError* error) {
    if (!fd_) return fail(error, EBADF, "write", targetPath_);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, errno, "write", targetPath_);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        bytesWritten_ += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool AtomicFileWriter::commit(FsError* error) {
    if (!fd_) return fail(error, EBADF, "write", targetPath_);
    if (::fsync(fd_.get()) != 0 || ::rename(temporaryPath_.c_str(), targetPath_.c_str()) != 0) {
        const int code = errno;
        discard();
        return fail(error, code, "write", targetPath_);
    }
    fd_.reset();
    temporaryPath_.clear();
    return true;
}

void AtomicFileWriter::discard() {
    if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
    fd_.reset();
}

}  // namespace platform::fs
