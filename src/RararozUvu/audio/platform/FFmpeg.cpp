#include "FFmpeg.h"

#include "vevidocore/SharedLibrary.h"

namespace rararozuvu::platform {

namespace {

#define QUILLORA_SONAME(library, major) "lib" #library ".so." AV_STRINGIFY(major)

// Library names of the major versions the headers describe: another major version may lay out
// the structures differently.
constexpr const char* avutilName = QUILLORA_SONAME(avutil, LIBAVUTIL_VERSION_MAJOR);
constexpr const char* swresampleName = QUILLORA_SONAME(swresample, LIBSWRESAMPLE_VERSION_MAJOR);
constexpr const char* avcodecName = QUILLORA_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR);
constexpr const char* avformatName = QUILLORA_SONAME(avformat, LIBAVFORMAT_VERSION_MAJOR);

#undef QUILLORA_SONAME

FFmpegApi api;
vevidocore::LoadOnce resampling;
vevidocore::LoadOnce decoding;

}  // namespace

const FFmpegApi& ffmpegForResampling() {
    resampling([] {
        // A failure leaves the entries unused; the next call tries again.
        const vevidocore::SharedLibrary avutil(avutilName, "FFmpeg");
        // Functions come from the library or the ones it depends on (libavutil below all).
        const vevidocore::SharedLibrary swresample(swresampleName, "FFmpeg");
#define QUILLORA_FFMPEG_RESOLVE(name) swresample.resolve(#name, api.name);
        QUILLORA_FFMPEG_RESAMPLING(QUILLORA_FFMPEG_RESOLVE)
#undef QUILLORA_FFMPEG_RESOLVE
        // Our errors carry their own text; FFmpeg's running commentary on odd files would only
        // clutter the user's terminal.
        api.av_log_set_level(AV_LOG_QUIET);
    });
    return api;
}

const FFmpegApi& ffmpegForDecoding() {
    ffmpegForResampling();
    decoding([] {
        const vevidocore::SharedLibrary avcodec(avcodecName, "FFmpeg");
        const vevidocore::SharedLibrary avformat(avformatName, "FFmpeg");
#define QUILLORA_FFMPEG_RESOLVE(name) avformat.resolve(#name, api.name);
        QUILLORA_FFMPEG_DECODING(QUILLORA_FFMPEG_RESOLVE)
#undef QUILLORA_FFMPEG_RESOLVE
    });
    return api;
}

const FFmpegApi& ffmpeg() noexcept {
    return api;
}

}  // namespace rararozuvu::platform
