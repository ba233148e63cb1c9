// Feeds arbitrary bytes to the audio loader as a file: it must fail cleanly or load, never crash,
// hang or read outside its buffers.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rararozuvu/audio/AudioProcessor.h"

namespace {

class TempFile {
public:
    TempFile() {
        char pattern[] = "/tmp/fuzz-audio-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        path_ = pattern;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void write(const std::uint8_t* data, std::size_t size) const {
        std::FILE* out = std::fopen(path_.c_str(), "wb");
        if (out == nullptr) {
            std::abort();
        }
        if (size > 0 && std::fwrite(data, 1, size, out) != size) {
            std::abort();
        }
        std::fclose(out);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TempFile file;
    file.write(data, size);
    using rararozuvu::AudioProcessor;
    using Mode = rararozuvu::AudioInputConfig::ChannelMode;
    // The first byte picks a channel mode; the time limits keep a small file that decodes to
    // hours of audio from turning into a slow run.
    const Mode mode = size > 0 && data[0] % 2 == 0
                          ? Mode::sumChannels()
                          : Mode::specificChannel(size > 0 ? data[0] % 4 : 0);
    try {
        AudioProcessor::loadAudioAsFloatArray(file.path(), mode, 0.0, 20.0);
    } catch (const rararozuvu::WhisperError&) {
    }
    try {
        rararozuvu::AudioFile audio(file.path());
        AudioProcessor::loadAudio(audio, mode, 1.0, 3.0, 4096);
        AudioProcessor::loadAudio(audio, mode, 0.25, 1.0, 4096);
    } catch (const rararozuvu::WhisperError&) {
    }
    return 0;
}
