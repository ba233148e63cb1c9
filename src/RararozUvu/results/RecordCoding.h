#pragma once

// The JSON forms of the records that nest inside others. Private to the module.

#include "JSONCoding.h"
#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/results/TranscriptionTimings.h"
#include "rararozuvu/results/WordTiming.h"

namespace rararozuvu::json {

void write(Writer& writer, const TranscriptionTimings& timings);
TranscriptionTimings readTimings(const Value& value);

void write(Writer& writer, const WordTiming& word);
WordTiming readWordTiming(const Value& value);

void write(Writer& writer, const TranscriptionSegment& segment);
TranscriptionSegment readSegment(const Value& value);

void write(Writer& writer, const std::vector<TranscriptionSegment>& segments);
std::vector<TranscriptionSegment> readSegments(const Value& value);

// The nested records as members of others.
template <>
struct Coding<TranscriptionTimings> {
    static void write(Writer& writer, const TranscriptionTimings& t) { json::write(writer, t); }
    static TranscriptionTimings read(const Value& value) { return readTimings(value); }
};

template <>
struct Coding<std::vector<WordTiming>> {
    static void write(Writer& writer, const std::vector<WordTiming>& words);
    static std::vector<WordTiming> read(const Value& value);
};

template <>
struct Coding<std::vector<TranscriptionSegment>> {
    static void write(Writer& writer, const std::vector<TranscriptionSegment>& segments) {
        json::write(writer, segments);
    }
    static std::vector<TranscriptionSegment> read(const Value& value) {
        return readSegments(value);
    }
};

// The JSON text of a record that has a write() above.
template <class Record>
std::string encoded(const Record& record) {
    Writer writer;
    write(writer, record);
    return writer.text();
}

}  // namespace rararozuvu::json
