#pragma once

namespace quillora {

// Whether the sound server has a source to record from that is not the monitor of an output.
bool microphoneAvailable();

}  // namespace quillora
