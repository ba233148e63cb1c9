#pragma once

#include <string>
#include <vector>

namespace rararozuvu {

// Which models one family of devices can run, and which it should use.
struct ModelSupport {
    // The recommended model folder name (the description's "default").
    std::string defaultModel;
    // The model folder names this family can run, in the description's order.
    std::vector<std::string> supported;
    // The known models this family cannot run; never part of the description.
    std::vector<std::string> disabled;

    friend bool operator==(const ModelSupport&, const ModelSupport&) = default;
};

}  // namespace rararozuvu
