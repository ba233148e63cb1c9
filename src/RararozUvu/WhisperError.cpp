#include "rararozuvu/WhisperError.h"

namespace rararozuvu {

std::string WhisperError::errorDescription() const {
    return message_;
}

}  // namespace rararozuvu
