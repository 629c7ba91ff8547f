// One gzip stream (level 1, the level of gzipCompress) written to a file as
// the data arrives, so that memory stays bounded whatever the amount of data:
// the compressed bytes go to a temporary file beside the target, and finish()
// ends the stream and puts the file in place atomically. A stream destroyed
// without a successful finish() leaves nothing behind.
//
// Threading: not thread-safe; one owner writes at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/fs/AtomicFileWriter.h"

class NRVGzipOutputStream {
public:
    explicit NRVGzipOutputStream(std::string targetPath);
    ~NRVGzipOutputStream();
    NRVGzipOutputStream(const NRVGzipOutputStream&) = delete;
    NRVGzipOutputStream& operator=(const NRVGzipOutputStream&) = delete;

    bool open(platform::Error* error = nullptr);
    bool write(std::string_view data, platform::Error* error = nullptr);
    bool finish(platform::Error* error = nullptr);
    // Drops what was written; the target is not touched.
    void discard();

    std::uint64_t uncompressedBytes() const { return uncompressedBytes_; }
    // The size of the compressed file so far (all of it after finish()).
    std::uint64_t compressedBytes() const { return file_.bytesWritten(); }

private:
    bool deflateInto(int flush, platform::Error* error);

    struct Stream;
    platform::fs::AtomicFileWriter file_;
    std::unique_ptr<Stream> stream_;
    std::uint64_t uncompressedBytes_ = 0;
};
