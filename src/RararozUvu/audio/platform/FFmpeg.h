#pragma once

// Owning handles for the FFmpeg objects the audio layer uses, and error text.

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

struct FormatContextCloser {
    void operator()(AVFormatContext* p) const noexcept { avformat_close_input(&p); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* p) const noexcept { avcodec_free_context(&p); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* p) const noexcept { av_frame_free(&p); }
};
struct SwrFreer {
    void operator()(SwrContext* p) const noexcept { swr_free(&p); }
};
// Releases the layout's own allocation (custom layouts) when the layout goes away.
class ChannelLayout {
public:
    explicit ChannelLayout(int channels) { av_channel_layout_default(&layout_, channels); }
    ~ChannelLayout() { av_channel_layout_uninit(&layout_); }
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
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace rararozuvu::platform
