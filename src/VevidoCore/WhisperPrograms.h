#pragma once

namespace ml {

class ProgramRegistry;

// Registers the program kinds of the four Whisper stages.
void addWhisperPrograms(ProgramRegistry& registry);

}  // namespace ml
