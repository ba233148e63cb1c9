#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizers/Regex.h"
#include "tokenizers/StringReplacePattern.h"

namespace hub {
class Config;
}

namespace tokenizers {

// The last stage of decoding: token strings in, strings out (the caller joins them). The number
// of entries may change. Immutable after construction and safe to share between threads.
class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const {
        return decode(tokens);
    }
};

// Builds the decoder a description object names by its "type". Nothing for a missing
// description or one without a string "type". `addedTokens` goes to a top-level "ByteLevel"
// decoder. An unknown type or a missing required key throws TokenizerError
// (invalidDescription) with the component's message.
struct DecoderFactory {
    static std::unique_ptr<Decoder> fromConfig(
        const hub::Config* config, const std::unordered_set<std::string>* addedTokens = nullptr);
};

class DecoderSequence : public Decoder {
public:
    explicit DecoderSequence(std::vector<std::unique_ptr<Decoder>> decoders)
        : decoders_(std::move(decoders)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::vector<std::unique_ptr<Decoder>> decoders_;
};

// One entry per token: a leading `prefix` is removed, other tokens after the first get a blank
// in front; `cleanup` drops the blank before punctuation and contractions.
class WordPieceDecoder : public Decoder {
public:
    WordPieceDecoder(std::string prefix, bool cleanup);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string cleanedUp(std::string text) const;

    std::string prefix_;
    bool cleanup_;
    std::optional<Regex> re_;
};

// Runs of ordinary tokens become the UTF-8 text of their byte-alphabet characters (one U+FFFD
// per maximal ill-formed subpart); added tokens pass through unchanged, each as its own entry.
class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(std::unordered_set<std::string> addedTokens = {})
        : addedTokens_(std::move(addedTokens)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::unordered_set<std::string> addedTokens_;
};

class ReplaceDecoder : public Decoder {
public:
    explicit ReplaceDecoder(std::optional<StringReplacePattern> pattern)
        : pattern_(std::move(pattern)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

// Byte tokens "<0xHH>" become the UTF-8 text of their bytes, consecutive ones together.
class ByteFallbackDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// All tokens joined into one entry.
class FuseDecoder : public Decoder {
public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

// Removes up to `start` leading and `stop` trailing copies of `content` from every token. The
// character removed is `content` when it is one character, a blank otherwise.
class StripDecoder : public Decoder {
public:
    StripDecoder(std::string content, long long start, long long stop);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    std::string content_;
    long long start_;
    long long stop_;
};

// Every `replacement` becomes a blank; with `addPrefixSpace`, the blank that then leads the
// first entry is dropped.
class MetaspaceDecoder : public Decoder {
public:
    MetaspaceDecoder(bool addPrefixSpace, std::string replacement)
        : addPrefixSpace_(addPrefixSpace), replacement_(std::move(replacement)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

private:
    bool addPrefixSpace_;
    std::string replacement_;
};

}  // namespace tokenizers
