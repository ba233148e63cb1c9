#include "WhisperPrograms.h"
#include "ml/Program.h"

namespace ml {

// The shared registry comes with the Whisper stages, so it is made here, beside them, and the
// registry itself needs to know nothing of the programs it holds.
ProgramRegistry& ProgramRegistry::shared() {
    static ProgramRegistry registry;
    return registry;
}

ProgramRegistry::ProgramRegistry() {
    addWhisperPrograms(*this);
}

}  // namespace ml
