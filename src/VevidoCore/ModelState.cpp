#include "vevidocore/ModelState.h"

namespace vevidocore {

std::string_view description(ModelState state) {
    switch (state) {
        case ModelState::unloading:
            return "Unloading";
        case ModelState::unloaded:
            return "Unloaded";
        case ModelState::loading:
            return "Loading";
        case ModelState::loaded:
            return "Loaded";
        case ModelState::prewarming:
            return "Specializing";
        case ModelState::prewarmed:
            return "Specialized";
        case ModelState::downloading:
            return "Downloading";
        case ModelState::downloaded:
            return "Downloaded";
    }
    return "Unknown";
}

bool isBusy(ModelState state) {
    switch (state) {
        case ModelState::unloading:
        case ModelState::loading:
        case ModelState::prewarming:
        case ModelState::downloading:
            return true;
        case ModelState::unloaded:
        case ModelState::loaded:
        case ModelState::prewarmed:
        case ModelState::downloaded:
            return false;
    }
    return false;
}

std::ostream& operator<<(std::ostream& stream, ModelState state) {
    return stream << description(state);
}

}  // namespace vevidocore
