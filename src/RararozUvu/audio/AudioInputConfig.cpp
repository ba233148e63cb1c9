#include "rararozuvu/audio/AudioInputConfig.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "rararozuvu/results/DecodingError.h"
#include "vevidocore/JSONReading.h"

namespace rararozuvu {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
using Kind = DecodingError::Kind;

constexpr const char* specificChannelKey = "specificChannel";
constexpr const char* sumChannelsKey = "sumChannels";
constexpr const char* payloadKey = "_0";

void writeChannelMode(Writer& writer, const AudioInputConfig::ChannelMode& mode) {
    writer.StartObject();
    if (const auto* specific =
            std::get_if<AudioInputConfig::ChannelMode::SpecificChannel>(&mode.value())) {
        writer.Key(specificChannelKey);
        writer.StartObject();
        writer.Key(payloadKey);
        writer.Int64(specific->index);
        writer.EndObject();
    } else {
        const auto& sum = std::get<AudioInputConfig::ChannelMode::SumChannels>(mode.value());
        writer.Key(sumChannelsKey);
        writer.StartObject();
        if (sum.channels) {
            writer.Key(payloadKey);
            writer.StartArray();
            for (std::int64_t channel : *sum.channels) {
                writer.Int64(channel);
            }
            writer.EndArray();
        }
        writer.EndObject();
    }
    writer.EndObject();
}

rapidjson::Document parse(std::string_view json) {
    rapidjson::Document document;
    if (vevidocore::json::parse(document, json).IsError()) {
        throw DecodingError(Kind::dataCorrupted, "The given data was not valid JSON.");
    }
    return document;
}

void expectObject(const rapidjson::Value& value, const std::string& what) {
    if (!value.IsObject()) {
        throw DecodingError(Kind::typeMismatch,
                            "Expected to decode " + what + " but found another kind of value.");
    }
}

std::int64_t readInteger(const rapidjson::Value& value) {
    if (value.IsNull()) {
        throw DecodingError(Kind::valueNotFound, "Expected Int value but found null instead.");
    }
    if (!value.IsInt64()) {
        throw DecodingError(Kind::typeMismatch,
                            "Expected to decode Int but found another kind of value.");
    }
    return value.GetInt64();
}

AudioInputConfig::ChannelMode readChannelMode(const rapidjson::Value& value) {
    expectObject(value, "ChannelMode");
    const auto specific = value.FindMember(specificChannelKey);
    const auto sum = value.FindMember(sumChannelsKey);
    const bool hasSpecific = specific != value.MemberEnd();
    const bool hasSum = sum != value.MemberEnd();
    if (hasSpecific == hasSum) {
        throw DecodingError(Kind::typeMismatch, "Invalid number of keys found, expected one.");
    }
    const rapidjson::Value& inner = hasSpecific ? specific->value : sum->value;
    expectObject(inner, "a keyed container");
    const auto payload = inner.FindMember(payloadKey);
    const bool hasPayload = payload != inner.MemberEnd();
    if (hasSpecific) {
        if (!hasPayload) {
            throw DecodingError(Kind::keyNotFound, "No value associated with key \"_0\".");
        }
        return AudioInputConfig::ChannelMode::specificChannel(readInteger(payload->value));
    }
    std::optional<std::vector<std::int64_t>> channels;
    if (hasPayload && !payload->value.IsNull()) {
        if (!payload->value.IsArray()) {
            throw DecodingError(Kind::typeMismatch,
                                "Expected to decode Array<Int> but found another kind of value.");
        }
        channels.emplace();
        for (const auto& element : payload->value.GetArray()) {
            channels->push_back(readInteger(element));
        }
    }
    return AudioInputConfig::ChannelMode::sumChannels(std::move(channels));
}

}  // namespace

std::string AudioInputConfig::ChannelMode::toJson() const {
    rapidjson::StringBuffer text;
    Writer writer(text);
    writeChannelMode(writer, *this);
    return text.GetString();
}

AudioInputConfig::ChannelMode AudioInputConfig::ChannelMode::fromJson(std::string_view json) {
    return readChannelMode(parse(json));
}

std::string AudioInputConfig::toJson() const {
    rapidjson::StringBuffer text;
    Writer writer(text);
    writer.StartObject();
    writer.Key("channelMode");
    writeChannelMode(writer, channelMode);
    writer.EndObject();
    return text.GetString();
}

AudioInputConfig AudioInputConfig::fromJson(std::string_view json) {
    const rapidjson::Document document = parse(json);
    expectObject(document, "AudioInputConfig");
    const auto mode = document.FindMember("channelMode");
    if (mode == document.MemberEnd()) {
        throw DecodingError(Kind::keyNotFound, "No value associated with key \"channelMode\".");
    }
    if (mode->value.IsNull()) {
        throw DecodingError(Kind::valueNotFound,
                            "Expected ChannelMode value but found null instead.");
    }
    return AudioInputConfig{readChannelMode(mode->value)};
}

}  // namespace rararozuvu

std::size_t std::hash<rararozuvu::AudioInputConfig::ChannelMode>::operator()(
    const rararozuvu::AudioInputConfig::ChannelMode& mode) const noexcept {
    using Mode = rararozuvu::AudioInputConfig::ChannelMode;
    std::size_t seed = mode.value().index();
    const auto mix = [&seed](std::size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    if (const auto* specific = std::get_if<Mode::SpecificChannel>(&mode.value())) {
        mix(std::hash<std::int64_t>{}(specific->index));
    } else if (const auto& channels = std::get<Mode::SumChannels>(mode.value()).channels) {
        mix(channels->size() + 1);
        for (std::int64_t channel : *channels) {
            mix(std::hash<std::int64_t>{}(channel));
        }
    }
    return seed;
}
