#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace rararozuvu {

// One input device of the sound server: a source that is not a monitor.
struct AudioDevice {
    // The source's index on the server: what the capture operations take as a device.
    std::uint32_t id = 0;
    // What people call it; empty when the server gives no description.
    std::string name;

    friend bool operator==(const AudioDevice&, const AudioDevice&) = default;
};

}  // namespace rararozuvu

template <>
struct std::hash<rararozuvu::AudioDevice> {
    std::size_t operator()(const rararozuvu::AudioDevice& device) const noexcept {
        const std::size_t h = std::hash<std::uint32_t>{}(device.id);
        return h ^ (std::hash<std::string>{}(device.name) + 0x9e3779b97f4a7c15ull + (h << 6) +
                    (h >> 2));
    }
};
