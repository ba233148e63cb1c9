#include "ComponentDescription.h"
#include "hub/Config.h"
#include "tokenizers/Decoder.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

std::unique_ptr<Decoder> stripFromConfig(const hub::Config& config) {
    const auto content = config["content"].string();
    if (!content) {
        throw TokenizerError::invalidDescription(
            "Incorrect StripDecoder configuration: can't parse `content`.");
    }
    const auto start = config["start"].integer();
    if (!start) {
        throw TokenizerError::invalidDescription(
            "Incorrect StripDecoder configuration: can't parse `start`.");
    }
    const auto stop = config["stop"].integer();
    if (!stop) {
        throw TokenizerError::invalidDescription(
            "Incorrect StripDecoder configuration: can't parse `stop`.");
    }
    return std::make_unique<StripDecoder>(*content, *start, *stop);
}

}  // namespace

std::unique_ptr<Decoder> DecoderFactory::fromConfig(
    const hub::Config* config, const std::unordered_set<std::string>* addedTokens) {
    const auto type = description::componentType(config);
    if (!type)
        return nullptr;
    const hub::Config& c = *config;
    if (*type == "Sequence") {
        // Members get no added tokens: a byte-level decoder inside a sequence decodes them too.
        return std::make_unique<DecoderSequence>(description::sequenceMembers<Decoder>(
            c, "decoders", "No decoders in Sequence",
            [](const hub::Config* member) { return fromConfig(member); }));
    }
    if (*type == "WordPiece") {
        const auto prefix = c["prefix"].string();
        if (!prefix) {
            throw TokenizerError::invalidDescription(
                "Missing `prefix` configuration for WordPieceDecoder.");
        }
        return std::make_unique<WordPieceDecoder>(*prefix, c["cleanup"].boolean(false));
    }
    if (*type == "ByteLevel") {
        return std::make_unique<ByteLevelDecoder>(addedTokens ? *addedTokens
                                                              : std::unordered_set<std::string>{});
    }
    if (*type == "Replace") {
        return std::make_unique<ReplaceDecoder>(StringReplacePattern::fromConfig(c));
    }
    if (*type == "ByteFallback")
        return std::make_unique<ByteFallbackDecoder>();
    if (*type == "Fuse")
        return std::make_unique<FuseDecoder>();
    if (*type == "Strip")
        return stripFromConfig(c);
    if (*type == "Metaspace") {
        return std::make_unique<MetaspaceDecoder>(c["addPrefixSpace"].boolean(false),
                                                  c["replacement"].string("_"));
    }
    throw TokenizerError::invalidDescription("Unsupported Decoder type: " + *type);
}

}  // namespace tokenizers
