#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/models/ModelSupport.h"

namespace rararozuvu {

// One row of the model-support description: a device family and its models.
struct DeviceSupport {
    // A label of the chip family ("M2, M3, M4"); informational.
    std::optional<std::string> chips;
    // Prefixes of hardware model names ("Mac14", "iPad13,4").
    std::vector<std::string> identifiers;
    ModelSupport models;
};

}  // namespace rararozuvu
