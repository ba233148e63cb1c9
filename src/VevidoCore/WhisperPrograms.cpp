#include "WhisperPrograms.h"

#include "ml/Program.h"

namespace ml {

void addWhisperPrograms(ProgramRegistry&) {}

}  // namespace ml
