#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rararozuvu {

// How the channels of an audio source become the one channel the models hear.
struct AudioInputConfig {
    class ChannelMode {
    public:
        struct SpecificChannel {
            std::int64_t index;
            friend bool operator==(const SpecificChannel&, const SpecificChannel&) = default;
        };
        struct SumChannels {
            std::optional<std::vector<std::int64_t>> channels;
            friend bool operator==(const SumChannels&, const SumChannels&) = default;
        };

        // Only the channel with this zero-based index (channel 0 when there is no such channel).
        static ChannelMode specificChannel(std::int64_t index) { return ChannelMode(index); }
        // The listed channels (none = every channel) added up and scaled back to the loudest
        // one's peak.
        static ChannelMode sumChannels(std::optional<std::vector<std::int64_t>> channels = {}) {
            return ChannelMode(std::move(channels));
        }

        const std::variant<SpecificChannel, SumChannels>& value() const noexcept { return value_; }

        // JSON: {"specificChannel":{"_0":1}}, {"sumChannels":{"_0":[0,1]}}, and
        // {"sumChannels":{}} for all channels.
        std::string toJson() const;
        // Throws DecodingError; an object naming zero or both cases fails with "Invalid number of
        // keys found, expected one.".
        static ChannelMode fromJson(std::string_view json);

        friend bool operator==(const ChannelMode&, const ChannelMode&) = default;

    private:
        // Built in place: moving a variant or an empty optional in trips a false
        // uninitialised-use warning of the compiler.
        explicit ChannelMode(std::int64_t index)
            : value_(std::in_place_type<SpecificChannel>, SpecificChannel{index}) {}
        explicit ChannelMode(std::optional<std::vector<std::int64_t>>&& channels)
            : value_(std::in_place_type<SumChannels>) {
            if (channels) {
                std::get<SumChannels>(value_).channels.emplace(std::move(*channels));
            }
        }

        std::variant<SpecificChannel, SumChannels> value_;
    };

    ChannelMode channelMode = ChannelMode::sumChannels();

    // JSON: {"channelMode":<channel mode>}.
    std::string toJson() const;
    static AudioInputConfig fromJson(std::string_view json);

    friend bool operator==(const AudioInputConfig&, const AudioInputConfig&) = default;
};

}  // namespace rararozuvu

template <>
struct std::hash<rararozuvu::AudioInputConfig::ChannelMode> {
    std::size_t operator()(const rararozuvu::AudioInputConfig::ChannelMode& mode) const noexcept;
};
