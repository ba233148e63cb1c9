#include "rararozuvu/results/WhisperError.h"

#include "vevidocore/Logging.h"

namespace rararozuvu {

std::string WhisperError::errorDescription() const {
    vevidocore::Logging::error(message_);
    return message_;
}

}  // namespace rararozuvu
