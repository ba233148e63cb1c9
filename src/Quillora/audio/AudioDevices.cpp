#include "audio/AudioDevices.h"

#include <cstdlib>
#include <exception>
#include <mutex>

namespace quillora {

namespace {

std::string serverFromEnvironment() {
    const char* server = std::getenv("PULSE_SERVER");
    return server ? server : "";
}

}  // namespace

std::shared_ptr<rararozuvu::AudioCapture> AudioDevices::connection() {
    static std::mutex mutex;
    static std::shared_ptr<rararozuvu::AudioCapture> shared;
    static std::string server;
    std::lock_guard lock(mutex);
    const std::string wanted = serverFromEnvironment();
    if (!shared || !shared->isConnected() || server != wanted) {
        shared.reset();  // one connection at a time: the old one goes before the new one comes
        shared = rararozuvu::AudioCapture::connect("Quillora");
        server = wanted;
    }
    return shared;
}

std::vector<AudioInputDevice> AudioDevices::inputs() {
    std::vector<AudioInputDevice> devices;
    try {
        for (const rararozuvu::CaptureSource& source : connection()->inputSources()) {
            devices.push_back(AudioInputDevice{source.index, source.name, source.description});
        }
    } catch (const std::exception&) {
        return {};
    }
    return devices;
}

std::optional<std::uint32_t> AudioDevices::builtInInput() {
    try {
        for (const rararozuvu::CaptureSource& source : connection()->inputSources()) {
            if (source.isBuiltIn()) {
                return source.index;
            }
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

bool AudioDevices::hasInputDevice() {
    return !inputs().empty();
}

}  // namespace quillora
