#include "FFmpeg.h"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

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
std::mutex loading;
bool resamplingLoaded = false;
bool decodingLoaded = false;

// Loaded for the rest of the process, never closed: objects made by the library may be freed as
// late as static destruction.
void* openLibrary(const char* name) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error(std::string("cannot load the FFmpeg library ") + name + ": " +
                                 (reason != nullptr ? reason : "unknown error"));
    }
    return handle;
}

// Functions come from the library or the ones it depends on (libavutil below all of them).
template <typename Function>
void resolve(void* library, const char* libraryName, const char* name, Function& function) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("the FFmpeg library ") + libraryName + " lacks " +
                                 name);
    }
    function = reinterpret_cast<Function>(symbol);
}

}  // namespace

const FFmpegApi& ffmpegForResampling() {
    std::lock_guard lock(loading);
    if (!resamplingLoaded) {
        // Entries are written only here, under the lock, and read only by callers that returned
        // from a loader: those reads happen after the writes. A failure leaves them unused and
        // may be retried.
        openLibrary(avutilName);
        void* swresample = openLibrary(swresampleName);
#define QUILLORA_FFMPEG_RESOLVE(name) resolve(swresample, swresampleName, #name, api.name);
        QUILLORA_FFMPEG_RESAMPLING(QUILLORA_FFMPEG_RESOLVE)
#undef QUILLORA_FFMPEG_RESOLVE
        // Our errors carry their own text; FFmpeg's running commentary on odd files would only
        // clutter the user's terminal.
        api.av_log_set_level(AV_LOG_QUIET);
        resamplingLoaded = true;
    }
    return api;
}

const FFmpegApi& ffmpegForDecoding() {
    ffmpegForResampling();
    std::lock_guard lock(loading);
    if (!decodingLoaded) {
        openLibrary(avcodecName);
        void* avformat = openLibrary(avformatName);
#define QUILLORA_FFMPEG_RESOLVE(name) resolve(avformat, avformatName, #name, api.name);
        QUILLORA_FFMPEG_DECODING(QUILLORA_FFMPEG_RESOLVE)
#undef QUILLORA_FFMPEG_RESOLVE
        decodingLoaded = true;
    }
    return api;
}

const FFmpegApi& ffmpeg() noexcept {
    return api;
}

}  // namespace rararozuvu::platform
