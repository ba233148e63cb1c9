#include "ml/whisper/WhisperHyperParameters.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "vevidocore/JSONReading.h"

#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace ml::whisper {

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseNanAndInfFlag |
                                 rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag;

rapidjson::Document parse(std::string_view text, std::string_view what) {
    rapidjson::Document doc;
    const rapidjson::ParseResult parsed = vevidocore::json::parse<kParseFlags>(doc, text);
    if (parsed.IsError()) {
        throw WhisperKernelError(fmt::format("{} is not valid JSON: {} at offset {}", what,
                                             rapidjson::GetParseError_En(parsed.Code()),
                                             parsed.Offset()));
    }
    if (!doc.IsObject())
        throw WhisperKernelError(fmt::format("{} is not a JSON object", what));
    return doc;
}

std::optional<std::size_t> optionalSize(const rapidjson::Value& obj, const char* key,
                                        std::string_view what) {
    const auto it = obj.FindMember(key);
    if (it == obj.MemberEnd() || it->value.IsNull())
        return std::nullopt;
    if (!it->value.IsUint64()) {
        throw WhisperKernelError(
            fmt::format("{}: \"{}\" is not a non-negative integer", what, key));
    }
    return static_cast<std::size_t>(it->value.GetUint64());
}

std::size_t requiredSize(const rapidjson::Value& obj, const char* key, std::string_view what) {
    if (auto v = optionalSize(obj, key, what))
        return *v;
    throw WhisperKernelError(fmt::format("{}: \"{}\" is missing", what, key));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw WhisperKernelError(fmt::format("cannot read {}", path.string()));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

WhisperHyperParameters WhisperHyperParameters::fromJson(std::string_view config,
                                                        std::string_view generationConfig) {
    constexpr std::string_view kConfig = "config.json";
    const auto doc = parse(config, kConfig);
    WhisperHyperParameters p;
    p.numMelBins = requiredSize(doc, "num_mel_bins", kConfig);
    p.dModel = requiredSize(doc, "d_model", kConfig);
    p.encoderLayers = requiredSize(doc, "encoder_layers", kConfig);
    p.encoderAttentionHeads = requiredSize(doc, "encoder_attention_heads", kConfig);
    p.decoderLayers = requiredSize(doc, "decoder_layers", kConfig);
    p.decoderAttentionHeads = requiredSize(doc, "decoder_attention_heads", kConfig);
    p.vocabSize = requiredSize(doc, "vocab_size", kConfig);
    p.maxSourcePositions = requiredSize(doc, "max_source_positions", kConfig);
    p.maxTargetPositions = requiredSize(doc, "max_target_positions", kConfig);
    p.encoderFfnDim = optionalSize(doc, "encoder_ffn_dim", kConfig).value_or(4 * p.dModel);
    p.decoderFfnDim = optionalSize(doc, "decoder_ffn_dim", kConfig).value_or(4 * p.dModel);

    if (!generationConfig.empty()) {
        constexpr std::string_view kGeneration = "generation_config.json";
        const auto gen = parse(generationConfig, kGeneration);
        const auto it = gen.FindMember("alignment_heads");
        if (it != gen.MemberEnd() && !it->value.IsNull()) {
            const auto bad = [&] {
                return WhisperKernelError(fmt::format(
                    "{}: \"alignment_heads\" is not a list of [layer, head] pairs", kGeneration));
            };
            if (!it->value.IsArray())
                throw bad();
            for (const auto& pair : it->value.GetArray()) {
                if (!pair.IsArray() || pair.Size() != 2 || !pair[0].IsUint64() ||
                    !pair[1].IsUint64()) {
                    throw bad();
                }
                p.alignmentHeads.emplace_back(static_cast<std::size_t>(pair[0].GetUint64()),
                                              static_cast<std::size_t>(pair[1].GetUint64()));
            }
        }
    }
    p.validate();
    return p;
}

WhisperHyperParameters WhisperHyperParameters::fromCheckpoint(const std::filesystem::path& folder) {
    const std::string config = readFile(folder / "config.json");
    std::string generation;
    if (std::filesystem::exists(folder / "generation_config.json")) {
        generation = readFile(folder / "generation_config.json");
    }
    return fromJson(config, generation);
}

void WhisperHyperParameters::validate() const {
    const std::pair<const char*, std::size_t> sizes[] = {
        {"num_mel_bins", numMelBins},
        {"d_model", dModel},
        {"encoder_layers", encoderLayers},
        {"encoder_attention_heads", encoderAttentionHeads},
        {"encoder_ffn_dim", encoderFfnDim},
        {"decoder_layers", decoderLayers},
        {"decoder_attention_heads", decoderAttentionHeads},
        {"decoder_ffn_dim", decoderFfnDim},
        {"vocab_size", vocabSize},
        {"max_source_positions", maxSourcePositions},
        {"max_target_positions", maxTargetPositions},
    };
    for (const auto& [name, value] : sizes) {
        // The upper bound keeps every product of two sizes far from overflowing.
        if (value == 0 || value > (std::size_t{1} << 24)) {
            throw WhisperKernelError(
                fmt::format("hyper-parameter {} = {} is out of range", name, value));
        }
    }
    if (dModel % encoderAttentionHeads != 0 || dModel % decoderAttentionHeads != 0) {
        throw WhisperKernelError(fmt::format(
            "d_model {} is not divisible by the attention heads ({} encoder, {} decoder)", dModel,
            encoderAttentionHeads, decoderAttentionHeads));
    }
    for (const auto& [layer, head] : alignmentHeads) {
        if (layer >= decoderLayers || head >= decoderAttentionHeads) {
            throw WhisperKernelError(
                fmt::format("alignment head [{}, {}] is outside the decoder ({} layers, {} heads)",
                            layer, head, decoderLayers, decoderAttentionHeads));
        }
    }
}

}  // namespace ml::whisper
