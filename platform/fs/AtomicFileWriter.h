// A file written piece by piece and put in place whole: the pieces go to a
// hidden temporary file beside the target, and commit() makes it durable and
// renames it over the target, so a reader never sees a half-written file.
// A writer that is destroyed without a successful commit() removes its
// temporary file.
//
// Threading: not thread-safe; one owner writes at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd/ScopedFD.h"
#include "platform/fs/FileManager.h"

namespace platform::fs {

class AtomicFileWriter {
public:
    explicit AtomicFileWriter(std::string targetPath) : targetPath_(std::move(targetPath)) {}
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file beside the target: mode as the umask allows,
    // like a new file, or exactly `permissions` when given.
    bool open(Error* error = nullptr, std::optional<unsigned> permissions = std::nullopt);
    bool write(std::string_view bytes, Error* error = nullptr);
    // fsync, then rename over the target. The writer is spent afterwards.
    bool commit(Error* error = nullptr);
    // Removes the temporary file; nothing reaches the target.
    void discard();

    const std::string& targetPath() const { return targetPath_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    std::string targetPath_;
    std::string temporaryPath_;
    ScopedFD fd_;
    std::uint64_t bytesWritten_ = 0;
};

}  // namespace platform::fs
