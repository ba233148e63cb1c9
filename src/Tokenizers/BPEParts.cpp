#include "BPEParts.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <limits>

#include "hub/YYJSONParser.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {

namespace {

// Follows the reader's events, keeping only the two tables and where they lie in the text. The
// reader calls a container's start and end before taking its bracket, so the stream is at it.
class PartsReader {
public:
    PartsReader(const rapidjson::MemoryStream& stream, BPEParts& parts)
        : stream_(stream), parts_(parts) {}

    struct Range {
        std::size_t begin = 0, end = 0;
        bool seen = false;
    };
    bool usable() const { return usable_; }
    const Range& vocab() const { return vocab_; }
    const Range& merges() const { return merges_; }

    bool Null() { return scalar(); }
    bool Bool(bool) { return scalar(); }
    bool Int(int) { return scalar(); }
    bool Uint(unsigned) { return scalar(); }
    bool Int64(std::int64_t) { return scalar(); }
    bool Uint64(std::uint64_t) { return scalar(); }
    bool Double(double) { return scalar(); }
    bool RawNumber(const char* s, rapidjson::SizeType length, bool) {
        if (state_ != State::vocab)
            return scalar();
        const std::string_view text(s, length);
        // Ids spelt as integers within int; any other number names no token, as when read
        // through a Config.
        std::int64_t id = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
        if (ec == std::errc() && end == text.data() + text.size() &&
            id >= std::numeric_limits<int>::min() && id <= std::numeric_limits<int>::max()) {
            parts_.vocabulary.emplace_back(pendingKey_, static_cast<int>(id));
        }
        return true;
    }
    bool String(const char* s, rapidjson::SizeType length, bool) {
        const std::string_view text(s, length);
        if (state_ == State::merges && depth_ == 3) {
            // The legacy form "a b": split at every space, keeping empty pieces.
            const auto first = static_cast<std::uint32_t>(parts_.texts.size());
            std::size_t start = 0;
            for (std::size_t at = text.find(' '); at != std::string_view::npos;
                 at = text.find(' ', start)) {
                if (!addText(text.substr(start, at - start)))
                    return fail();
                start = at + 1;
            }
            if (!addText(text.substr(start)))
                return fail();
            parts_.merges.emplace_back(first,
                                       static_cast<std::uint32_t>(parts_.texts.size()) - first);
            return true;
        }
        if (state_ == State::merges && depth_ == 4) {
            if (!addText(text))
                return fail();
            ++parts_.merges.back().second;
            return true;
        }
        return scalar();
    }
    bool Key(const char* s, rapidjson::SizeType length, bool) {
        const std::string_view key(s, length);
        if (state_ == State::vocab) {
            if (!addText(key))
                return fail();
            pendingKey_ = static_cast<std::uint32_t>(parts_.texts.size() - 1);
            return true;
        }
        if (depth_ == 1)
            topKey_ = key;
        if (depth_ == 2 && inModel_)
            modelKey_ = key;
        return true;
    }
    bool StartObject() {
        if (state_ != State::other)
            return fail();  // nested values in the tables: not the plain shape
        if (!open())
            return false;
        if (depth_ == 2 && topKey_ == "model") {
            if (modelSeen_)
                return fail();
            modelSeen_ = inModel_ = true;
        } else if (depth_ == 3 && inModel_ && modelKey_ == "vocab") {
            if (vocab_.seen)
                return fail();
            state_ = State::vocab;
            vocab_ = {stream_.Tell(), 0, true};
        }
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        if (state_ == State::vocab && depth_ == 3) {
            state_ = State::other;
            vocab_.end = stream_.Tell() + 1;
        }
        if (depth_ == 2)
            inModel_ = false;
        --depth_;
        return true;
    }
    bool StartArray() {
        if (state_ == State::vocab || (state_ == State::merges && depth_ != 3))
            return fail();
        if (!open())
            return false;
        if (state_ == State::merges) {
            parts_.merges.emplace_back(static_cast<std::uint32_t>(parts_.texts.size()), 0);
        } else if (depth_ == 3 && inModel_ && modelKey_ == "merges") {
            if (merges_.seen)
                return fail();
            state_ = State::merges;
            merges_ = {stream_.Tell(), 0, true};
        }
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        if (state_ == State::merges && depth_ == 3) {
            state_ = State::other;
            merges_.end = stream_.Tell() + 1;
        }
        --depth_;
        return true;
    }

private:
    enum class State { other, vocab, merges };

    bool open() {
        if (++depth_ > hub::YYJSONParser::maxDepth)
            return fail();
        return true;
    }
    // A vocabulary entry that is no number names no token, as when read through a Config; a
    // merge must be text.
    bool scalar() { return state_ == State::merges ? fail() : true; }
    bool fail() {
        usable_ = false;
        return false;
    }
    bool addText(std::string_view text) {
        // A Config keeps text as UTF-16 and would replace what is ill-formed; only text that
        // goes through that unchanged is read here.
        if (!utf8::isValid(text) || parts_.arena.size() + text.size() > 0xFFFFFFFFu)
            return false;
        parts_.texts.emplace_back(static_cast<std::uint32_t>(parts_.arena.size()),
                                  static_cast<std::uint32_t>(text.size()));
        parts_.arena.append(text);
        return true;
    }

    const rapidjson::MemoryStream& stream_;
    BPEParts& parts_;
    State state_ = State::other;
    std::size_t depth_ = 0;
    std::string topKey_, modelKey_;
    bool inModel_ = false, modelSeen_ = false, usable_ = true;
    std::uint32_t pendingKey_ = 0;
    Range vocab_, merges_;
};

}  // namespace

std::optional<hub::Config> readWithoutBPETables(std::string_view json, BPEParts& parts) {
    parts = {};
    // Room for every entry the text can hold at the usual entry sizes, so that the tables never
    // move while they grow: a move touches (and faults in) the new block on top of the old one,
    // while room that is reserved and never used costs no memory.
    parts.arena.reserve(json.size() / 2);
    parts.texts.reserve(json.size() / 12);
    parts.vocabulary.reserve(json.size() / 24);
    parts.merges.reserve(json.size() / 24);
    rapidjson::MemoryStream stream(json.data(), json.size());
    PartsReader reader(stream, parts);
    rapidjson::Reader parser;
    // The flags of the ordinary reading, so that the same texts are accepted.
    constexpr unsigned kFlags = rapidjson::kParseNumbersAsStringsFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag;
    const rapidjson::ParseResult result = parser.Parse<kFlags>(stream, reader);
    const auto& vocab = reader.vocab();
    const auto& merges = reader.merges();
    if (result.IsError() || !reader.usable() || stream.Tell() != json.size() || !vocab.seen ||
        !merges.seen || vocab.end == 0 || merges.end == 0 || json[vocab.begin] != '{' ||
        json[vocab.end - 1] != '}' || json[merges.begin] != '[' || json[merges.end - 1] != ']') {
        parts = {};
        return std::nullopt;
    }
    // The rest of the description, with the two tables emptied, the ordinary way.
    const bool vocabFirst = vocab.begin < merges.begin;
    const auto& first = vocabFirst ? vocab : merges;
    const auto& second = vocabFirst ? merges : vocab;
    std::string rest;
    rest.reserve(json.size() - (vocab.end - vocab.begin) - (merges.end - merges.begin) + 4);
    rest.append(json.substr(0, first.begin));
    rest.append(vocabFirst ? "{}" : "[]");
    rest.append(json.substr(first.end, second.begin - first.end));
    rest.append(vocabFirst ? "[]" : "{}");
    rest.append(json.substr(second.end));
    try {
        return hub::YYJSONParser::parseToConfig(rest);
    } catch (const hub::YYJSONParser::ParseError&) {
        parts = {};
        return std::nullopt;
    }
}

}  // namespace tokenizers
