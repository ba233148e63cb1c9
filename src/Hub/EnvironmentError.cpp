#include "hub/EnvironmentError.h"

namespace hub {

namespace {

const char* prefix(EnvironmentError::Case c) {
    switch (c) {
        case EnvironmentError::Case::invalidMetadataError:
            return "Invalid metadata: ";
        case EnvironmentError::Case::offlineModeError:
            return "Offline mode error: ";
        case EnvironmentError::Case::fileIntegrityError:
            return "File integrity check failed: ";
        case EnvironmentError::Case::fileWriteError:
            break;
    }
    return "Failed to write file: ";
}

}  // namespace

EnvironmentError::EnvironmentError(Case c, std::string text)
    : case_(c), text_(std::move(text)), description_(prefix(c) + text_) {}

}  // namespace hub
