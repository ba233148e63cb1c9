#include "rararozuvu/decoding/TextUtilities.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <string>

#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

// One raw DEFLATE compressor per thread, reset between calls: setting one up allocates its
// window and tables, and the decoding loop measures every window (and, with a progress callback,
// every step).
class Deflater {
public:
    Deflater() { ok_ = deflateInit2(&stream_, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
    ~Deflater() {
        if (ok_)
            deflateEnd(&stream_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // The compressed size, or the error's description.
    bool compressedSize(const unsigned char* bytes, std::size_t count, std::size_t& size,
                        std::string& error) {
        if (!ok_ || deflateReset(&stream_) != Z_OK) {
            error = "the compressor cannot be set up";
            return false;
        }
        output_.resize(deflateBound(&stream_, static_cast<uLong>(count)));
        stream_.next_in = const_cast<unsigned char*>(bytes);  // zlib's interface is not const
        stream_.avail_in = static_cast<uInt>(count);
        stream_.next_out = output_.data();
        stream_.avail_out = static_cast<uInt>(output_.size());
        const int status = deflate(&stream_, Z_FINISH);
        if (status != Z_STREAM_END) {
            error = stream_.msg ? stream_.msg : "deflate status " + std::to_string(status);
            return false;
        }
        size = output_.size() - stream_.avail_out;
        return true;
    }

private:
    z_stream stream_{};
    bool ok_ = false;
    std::vector<unsigned char> output_;
};

float ratio(const unsigned char* bytes, std::size_t count) {
    thread_local Deflater deflater;
    std::size_t size = 0;
    std::string error;
    if (count > std::numeric_limits<uInt>::max() / 2 ||
        !deflater.compressedSize(bytes, count, size, error) || size == 0) {
        vevidocore::Logging::debug("Compression error: " +
                                   (error.empty() ? "input too large" : error));
        return std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(count) / static_cast<float>(size);
}

}  // namespace

float TextUtilities::compressionRatio(std::span<const std::int64_t> tokens) {
    thread_local std::vector<unsigned char> bytes;
    bytes.resize(tokens.size() * 4);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(tokens[i]));
        bytes[4 * i] = static_cast<unsigned char>(v);
        bytes[4 * i + 1] = static_cast<unsigned char>(v >> 8);
        bytes[4 * i + 2] = static_cast<unsigned char>(v >> 16);
        bytes[4 * i + 3] = static_cast<unsigned char>(v >> 24);
    }
    return ratio(bytes.data(), bytes.size());
}

float TextUtilities::compressionRatio(std::string_view text) {
    if (text.empty())
        return std::numeric_limits<float>::infinity();
    return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace rararozuvu
