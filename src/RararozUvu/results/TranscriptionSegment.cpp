#include "rararozuvu/results/TranscriptionSegment.h"

#include <bit>

#include "RecordCoding.h"
#include "hub/Hasher.h"

namespace rararozuvu {

namespace {

// -0 hashes as 0, so values that compare equal hash alike.
void combine(hub::Hasher& hasher, float f) {
    hasher.combine(std::bit_cast<std::uint32_t>(f == 0.0f ? 0.0f : f));
}

void combine(hub::Hasher& hasher, std::int64_t i) {
    hasher.combine(static_cast<std::uint64_t>(i));
}

void combine(hub::Hasher& hasher, const std::string& text) {
    hasher.combine(text.size());
    hasher.combineBytes(text.data(), text.size());
}

void combine(hub::Hasher& hasher, const std::vector<std::int64_t>& list) {
    hasher.combine(list.size());
    for (std::int64_t i : list) {
        combine(hasher, i);
    }
}

void combine(hub::Hasher& hasher, const WordTiming& word) {
    combine(hasher, word.word);
    combine(hasher, word.tokens);
    combine(hasher, word.start);
    combine(hasher, word.end);
    combine(hasher, word.probability);
}

void combine(hub::Hasher& hasher, const TranscriptionSegment& s) {
    combine(hasher, s.id);
    combine(hasher, s.seek);
    combine(hasher, s.start);
    combine(hasher, s.end);
    combine(hasher, s.text);
    combine(hasher, s.tokens);
    hasher.combine(s.tokenLogProbs.size());
    for (const auto& map : s.tokenLogProbs) {
        hasher.combine(map.size());
        for (const auto& [id, logProb] : map) {
            combine(hasher, id);
            combine(hasher, logProb);
        }
    }
    combine(hasher, s.temperature);
    combine(hasher, s.avgLogprob);
    combine(hasher, s.compressionRatio);
    combine(hasher, s.noSpeechProb);
    hasher.combine(s.words ? 1 : 0);
    if (s.words) {
        hasher.combine(s.words->size());
        for (const WordTiming& word : *s.words) {
            combine(hasher, word);
        }
    }
}

}  // namespace

std::string WordTiming::toJson() const {
    return json::encoded(*this);
}

WordTiming WordTiming::fromJson(std::string_view text) {
    return json::readWordTiming(json::parse(text));
}

std::string TranscriptionSegment::toJson() const {
    return json::encoded(*this);
}

TranscriptionSegment TranscriptionSegment::fromJson(std::string_view text) {
    return json::readSegment(json::parse(text));
}

void json::write(Writer& writer, const WordTiming& word) {
    writer.startObject();
    writer.field("word", word.word);
    writer.field("tokens", word.tokens);
    writer.field("start", word.start);
    writer.field("end", word.end);
    writer.field("probability", word.probability);
    writer.endObject();
}

WordTiming json::readWordTiming(const Value& value) {
    const ObjectReader o(value, "WordTiming");
    WordTiming word;
    word.word = readString(o.required("word"));
    word.tokens = readInts(o.required("tokens"));
    word.start = readFloat(o.required("start"));
    word.end = readFloat(o.required("end"));
    word.probability = readFloat(o.required("probability"));
    return word;
}

void json::write(Writer& writer, const TranscriptionSegment& s) {
    writer.startObject();
    writer.field("id", s.id);
    writer.field("seek", s.seek);
    writer.field("start", s.start);
    writer.field("end", s.end);
    writer.field("text", s.text);
    writer.field("tokens", s.tokens);
    writer.field("tokenLogProbs", s.tokenLogProbs);
    writer.field("temperature", s.temperature);
    writer.field("avgLogprob", s.avgLogprob);
    writer.field("compressionRatio", s.compressionRatio);
    writer.field("noSpeechProb", s.noSpeechProb);
    if (s.words) {
        writer.key("words");
        writer.startArray();
        for (const WordTiming& word : *s.words) {
            write(writer, word);
        }
        writer.endArray();
    }
    writer.endObject();
}

TranscriptionSegment json::readSegment(const Value& value) {
    const ObjectReader o(value, "TranscriptionSegment");
    TranscriptionSegment s;
    s.id = readInt(o.required("id"));
    s.seek = readInt(o.required("seek"));
    s.start = readFloat(o.required("start"));
    s.end = readFloat(o.required("end"));
    s.text = readString(o.required("text"));
    s.tokens = readInts(o.required("tokens"));
    s.tokenLogProbs = readTokenLogProbsList(o.required("tokenLogProbs"));
    s.temperature = readFloat(o.required("temperature"));
    s.avgLogprob = readFloat(o.required("avgLogprob"));
    s.compressionRatio = readFloat(o.required("compressionRatio"));
    s.noSpeechProb = readFloat(o.required("noSpeechProb"));
    if (const Value* words = o.optional("words")) {
        s.words = readArray(*words, "WordTiming", readWordTiming);
    }
    return s;
}

void json::write(Writer& writer, const std::vector<TranscriptionSegment>& segments) {
    writer.startArray();
    for (const TranscriptionSegment& segment : segments) {
        write(writer, segment);
    }
    writer.endArray();
}

std::vector<TranscriptionSegment> json::readSegments(const Value& value) {
    return readArray(value, "TranscriptionSegment", readSegment);
}

}  // namespace rararozuvu

std::size_t std::hash<rararozuvu::WordTiming>::operator()(
    const rararozuvu::WordTiming& word) const noexcept {
    hub::Hasher hasher;
    rararozuvu::combine(hasher, word);
    return hasher.finalize();
}

std::size_t std::hash<rararozuvu::TranscriptionSegment>::operator()(
    const rararozuvu::TranscriptionSegment& segment) const noexcept {
    hub::Hasher hasher;
    rararozuvu::combine(hasher, segment);
    return hasher.finalize();
}
