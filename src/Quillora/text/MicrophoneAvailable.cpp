#include "quillora/text/MicrophoneAvailable.h"

#include "audio/AudioDevices.h"

namespace quillora {

bool microphoneAvailable() {
    return AudioDevices::hasInputDevice();
}

}  // namespace quillora
