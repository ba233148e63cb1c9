#pragma once

// The FFmpeg functions the audio layer uses, loaded from the shared libraries on first use (a
// process that never decodes or resamples does not pay for the libraries and the many others
// they pull in), owning handles for its objects, and error text.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <string>

namespace rararozuvu::platform {

// libavutil and libswresample: enough to resample.
#define QUILLORA_FFMPEG_RESAMPLING(X) \
    X(av_channel_layout_default)      \
    X(av_channel_layout_uninit)       \
    X(av_strerror)                    \
    X(av_log_set_level)               \
    X(av_dict_set)                    \
    X(av_dict_free)                   \
    X(av_frame_alloc)                 \
    X(av_frame_free)                  \
    X(av_frame_unref)                 \
    X(av_rescale)                     \
    X(av_rescale_q)                   \
    X(av_sample_fmt_is_planar)        \
    X(av_get_packed_sample_fmt)       \
    X(swr_alloc_set_opts2)            \
    X(swr_init)                       \
    X(swr_close)                      \
    X(swr_free)                       \
    X(swr_get_out_samples)            \
    X(swr_convert)

// libavcodec and libavformat: files.
#define QUILLORA_FFMPEG_DECODING(X)  \
    X(av_packet_alloc)               \
    X(av_packet_free)                \
    X(av_packet_unref)               \
    X(avcodec_alloc_context3)        \
    X(avcodec_free_context)          \
    X(avcodec_parameters_to_context) \
    X(avcodec_open2)                 \
    X(avcodec_send_packet)           \
    X(avcodec_receive_frame)         \
    X(avcodec_flush_buffers)         \
    X(avformat_open_input)           \
    X(avformat_close_input)          \
    X(avformat_find_stream_info)     \
    X(av_find_best_stream)           \
    X(av_read_frame)                 \
    X(av_seek_frame)

struct FFmpegApi {
#define QUILLORA_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
    QUILLORA_FFMPEG_RESAMPLING(QUILLORA_FFMPEG_POINTER)
    QUILLORA_FFMPEG_DECODING(QUILLORA_FFMPEG_POINTER)
#undef QUILLORA_FFMPEG_POINTER
};

// The table with its resampling functions loaded, loading them on the first call. Throws
// std::runtime_error naming the library that cannot be loaded or the function it lacks.
const FFmpegApi& ffmpegForResampling();
// The table with every function loaded. Throws as above.
const FFmpegApi& ffmpegForDecoding();
// The table as loaded so far: for code that only runs once one of the above has succeeded.
const FFmpegApi& ffmpeg() noexcept;

struct FormatContextCloser {
    void operator()(AVFormatContext* p) const noexcept { ffmpeg().avformat_close_input(&p); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* p) const noexcept { ffmpeg().avcodec_free_context(&p); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const noexcept { ffmpeg().av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* p) const noexcept { ffmpeg().av_frame_free(&p); }
};
struct SwrFreer {
    void operator()(SwrContext* p) const noexcept { ffmpeg().swr_free(&p); }
};
// Releases the layout's own allocation (custom layouts) when the layout goes away.
class ChannelLayout {
public:
    explicit ChannelLayout(int channels) { ffmpeg().av_channel_layout_default(&layout_, channels); }
    ~ChannelLayout() { ffmpeg().av_channel_layout_uninit(&layout_); }
    ChannelLayout(const ChannelLayout&) = delete;
    ChannelLayout& operator=(const ChannelLayout&) = delete;
    // Non-const: some FFmpeg calls take the layout by plain pointer without changing it.
    AVChannelLayout* get() noexcept { return &layout_; }

private:
    AVChannelLayout layout_{};
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Resampler = std::unique_ptr<SwrContext, SwrFreer>;

inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ffmpeg().av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace rararozuvu::platform
