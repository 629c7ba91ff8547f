#include "foundation/NRVGzipOutputStream.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace {

constexpr std::size_t kOutputPiece = 256 * 1024;

bool zlibFailure(platform::Error* error, const std::string& target) {
    if (error) {
        error->code = EIO;
        error->description = "Unable to compress data for " + target;
    }
    return false;
}

}  // namespace

struct NRVGzipOutputStream::Stream {
    z_stream z{};
    bool initialized = false;
    std::array<unsigned char, kOutputPiece> out{};
    ~Stream() {
        if (initialized) deflateEnd(&z);
    }
};

NRVGzipOutputStream::NRVGzipOutputStream(std::string targetPath) : file_(std::move(targetPath)) {}

NRVGzipOutputStream::~NRVGzipOutputStream() = default;

bool NRVGzipOutputStream::open(platform::Error* error) {
    discard();
    auto stream = std::make_unique<Stream>();
    // 15 + 16: a gzip wrapper with the largest window, as gzipCompress makes.
    if (deflateInit2(&stream->z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return zlibFailure(error, file_.targetPath());
    stream->initialized = true;
    if (!file_.open(error)) return false;
    stream_ = std::move(stream);
    uncompressedBytes_ = 0;
    return true;
}

bool NRVGzipOutputStream::deflateInto(int flush, platform::Error* error) {
    z_stream& z = stream_->z;
    for (;;) {
        z.next_out = stream_->out.data();
        z.avail_out = static_cast<uInt>(stream_->out.size());
        const int status = deflate(&z, flush);
        if (status == Z_STREAM_ERROR) return zlibFailure(error, file_.targetPath());
        const std::size_t produced = stream_->out.size() - z.avail_out;
        if (produced > 0 &&
            !file_.write(std::string_view(reinterpret_cast<const char*>(stream_->out.data()), produced), error))
            return false;
        if (flush == Z_FINISH) {
            if (status == Z_STREAM_END) return true;
        } else if (z.avail_in == 0 && z.avail_out != 0) {
            return true;
        }
    }
}

bool NRVGzipOutputStream::write(std::string_view data, platform::Error* error) {
    if (!stream_) return zlibFailure(error, file_.targetPath());
    while (!data.empty()) {
        // zlib counts input in 32-bit units: very large pieces go in parts.
        const std::size_t piece = std::min<std::size_t>(data.size(), std::numeric_limits<uInt>::max());
        stream_->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        stream_->z.avail_in = static_cast<uInt>(piece);
        if (!deflateInto(Z_NO_FLUSH, error)) {
            discard();
            return false;
        }
        uncompressedBytes_ += piece;
        data.remove_prefix(piece);
    }
    return true;
}

bool NRVGzipOutputStream::finish(platform::Error* error) {
    if (!stream_) return zlibFailure(error, file_.targetPath());
    stream_->z.next_in = nullptr;
    stream_->z.avail_in = 0;
    const bool done = deflateInto(Z_FINISH, error) && file_.commit(error);
    stream_.reset();
    if (!done) file_.discard();
    return done;
}

void NRVGzipOutputStream::discard() {
    stream_.reset();
    file_.discard();
}
