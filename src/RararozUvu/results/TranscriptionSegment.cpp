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

// The records' fields in declaration order: their JSON forms and their hashes walk these tables.
constexpr std::tuple kWordTimingFields{
    json::field("word", &WordTiming::word),
    json::field("tokens", &WordTiming::tokens),
    json::field("start", &WordTiming::start),
    json::field("end", &WordTiming::end),
    json::field("probability", &WordTiming::probability),
};

constexpr std::tuple kSegmentFields{
    json::field("id", &TranscriptionSegment::id),
    json::field("seek", &TranscriptionSegment::seek),
    json::field("start", &TranscriptionSegment::start),
    json::field("end", &TranscriptionSegment::end),
    json::field("text", &TranscriptionSegment::text),
    json::field("tokens", &TranscriptionSegment::tokens),
    json::field("tokenLogProbs", &TranscriptionSegment::tokenLogProbs),
    json::field("temperature", &TranscriptionSegment::temperature),
    json::field("avgLogprob", &TranscriptionSegment::avgLogprob),
    json::field("compressionRatio", &TranscriptionSegment::compressionRatio),
    json::field("noSpeechProb", &TranscriptionSegment::noSpeechProb),
    json::field("words", &TranscriptionSegment::words),
};

void combine(hub::Hasher& hasher, const std::map<std::int64_t, float>& map) {
    hasher.combine(map.size());
    for (const auto& [id, logProb] : map) {
        combine(hasher, id);
        combine(hasher, logProb);
    }
}

void combine(hub::Hasher& hasher, const WordTiming& word);

template <class T>
void combine(hub::Hasher& hasher, const std::vector<T>& list) {
    hasher.combine(list.size());
    for (const T& item : list) {
        combine(hasher, item);
    }
}

template <class T>
void combine(hub::Hasher& hasher, const std::optional<T>& v) {
    hasher.combine(v ? 1 : 0);
    if (v) {
        combine(hasher, *v);
    }
}

// Every field of the record's JSON table, in its order.
template <class Record, class... Fields>
void combineFields(hub::Hasher& hasher, const Record& record, const std::tuple<Fields...>& fields) {
    std::apply([&](const auto&... f) { (combine(hasher, record.*f.member), ...); }, fields);
}

void combine(hub::Hasher& hasher, const WordTiming& word) {
    combineFields(hasher, word, kWordTimingFields);
}

void combine(hub::Hasher& hasher, const TranscriptionSegment& segment) {
    combineFields(hasher, segment, kSegmentFields);
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
    writeObject(writer, word, kWordTimingFields);
}

WordTiming json::readWordTiming(const Value& value) {
    return readObject<WordTiming>(value, "WordTiming", kWordTimingFields);
}

void json::Coding<std::vector<WordTiming>>::write(Writer& writer,
                                                  const std::vector<WordTiming>& words) {
    writer.startArray();
    for (const WordTiming& word : words) {
        json::write(writer, word);
    }
    writer.endArray();
}

std::vector<WordTiming> json::Coding<std::vector<WordTiming>>::read(const Value& value) {
    return readArray(value, "WordTiming", readWordTiming);
}

void json::write(Writer& writer, const TranscriptionSegment& segment) {
    writeObject(writer, segment, kSegmentFields);
}

TranscriptionSegment json::readSegment(const Value& value) {
    return readObject<TranscriptionSegment>(value, "TranscriptionSegment", kSegmentFields);
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
