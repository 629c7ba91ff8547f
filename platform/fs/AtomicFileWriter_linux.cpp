#include "platform/fs/AtomicFileWriter.h"

#include "platform/fd/WriteAll.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::fs {

namespace {

bool fail(Error* error, int code, const std::string& what, const std::string& path) {
    if (error) {
        *error = Error{};
        error->operation = what;
        error->code = code;
        error->description = "Unable to " + what + " \u201c" + lastPathComponent(path) + "\u201d: " + ::strerror(code);
    }
    return false;
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() { discard(); }

bool AtomicFileWriter::open(Error* error, std::optional<unsigned> permissions) {
    discard();
    const std::string folder = deletingLastPathComponent(targetPath_);
    // Built by appending: GCC 12 at -O3 takes the concatenated form for an
    // overlapping copy (a false -Wrestrict).
    std::string name(".");
    name.append(lastPathComponent(targetPath_)).append(".XXXXXX");
    std::string pattern = appendingPathComponent(folder.empty() ? "." : folder, name);
    const int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (raw < 0) return fail(error, errno, "create a temporary file for", targetPath_);
    fd_.reset(raw);
    temporaryPath_ = pattern;
    mode_t mode = 0;
    if (permissions) {
        mode = static_cast<mode_t>(*permissions & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd_.get(), mode) != 0) {
        const int code = errno;
        discard();
        return fail(error, code, "create a temporary file for", targetPath_);
    }
    bytesWritten_ = 0;
    return true;
}

bool AtomicFileWriter::write(std::string_view bytes, Error* error) {
    if (!fd_) return fail(error, EBADF, "write", targetPath_);
    if (!writeAll(fd_.get(), bytes.data(), bytes.size())) return fail(error, errno, "write", targetPath_);
    bytesWritten_ += bytes.size();
    return true;
}

bool AtomicFileWriter::commit(Error* error) {
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
