#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/results/TranscriptionTimings.h"
#include "rararozuvu/results/WordTiming.h"
#include "vevidocore/PropertyLock.h"

namespace rararozuvu {

// What the speech library heard in one stretch of audio. Shared between the tasks of the
// pipeline (hold it by std::shared_ptr): every field sits behind its own lock, held only while
// the field is copied in or out. Reading two fields gives no joint snapshot.
//
// A reference type: it cannot be copied, and it may be subclassed.
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                        std::string language, TranscriptionTimings timings,
                        std::optional<float> seekTime);
    virtual ~TranscriptionResult() = default;

    TranscriptionResult(const TranscriptionResult&) = delete;
    TranscriptionResult& operator=(const TranscriptionResult&) = delete;

    // Each getter returns a copy taken under the field's lock and each setter replaces the field
    // under it. A modify runs the body on the field in place, under the lock, as one critical
    // section; the body must not touch the same field of this result.
    virtual std::string text() const { return text_.wrappedValue(); }
    virtual void setText(std::string text) { text_.setWrappedValue(std::move(text)); }
    virtual void modifyText(const std::function<void(std::string&)>& body) { text_.modify(body); }

    virtual std::vector<TranscriptionSegment> segments() const { return segments_.wrappedValue(); }
    virtual void setSegments(std::vector<TranscriptionSegment> segments) {
        segments_.setWrappedValue(std::move(segments));
    }
    virtual void modifySegments(
        const std::function<void(std::vector<TranscriptionSegment>&)>& body) {
        segments_.modify(body);
    }

    virtual std::string language() const { return language_.wrappedValue(); }
    virtual void setLanguage(std::string language) {
        language_.setWrappedValue(std::move(language));
    }
    virtual void modifyLanguage(const std::function<void(std::string&)>& body) {
        language_.modify(body);
    }

    virtual TranscriptionTimings timings() const { return timings_.wrappedValue(); }
    virtual void setTimings(TranscriptionTimings timings) { timings_.setWrappedValue(timings); }
    virtual void modifyTimings(const std::function<void(TranscriptionTimings&)>& body) {
        timings_.modify(body);
    }

    // In seconds; absent unless the producer gives one.
    virtual std::optional<float> seekTime() const { return seekTime_.wrappedValue(); }
    virtual void setSeekTime(std::optional<float> seekTime) { seekTime_.setWrappedValue(seekTime); }
    virtual void modifySeekTime(const std::function<void(std::optional<float>&)>& body) {
        seekTime_.modify(body);
    }

    // One debug line per segment: "[Segment <position>] [<start> --> <end>] <text>", times with
    // two decimals, the position counted from 0 in the array (not the segment's id).
    virtual void logSegments() const;
    // The timing report of `timings` and `segments`, as one info line.
    virtual void logTimings() const;

    // Keys "text", "segments", "language", "timings", "seekTime", each field written as its bare
    // value while its lock is held; an absent seekTime is written as null. Reading requires all
    // five keys ("seekTime" may be null). Throws EncodingError / DecodingError.
    virtual std::string toJson() const;
    static std::shared_ptr<TranscriptionResult> fromJson(std::string_view json);

    // The words of every segment, in segment order.
    std::vector<WordTiming> allWords() const;

private:
    vevidocore::PropertyLock<std::string> text_;
    vevidocore::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    vevidocore::PropertyLock<std::string> language_;
    vevidocore::PropertyLock<TranscriptionTimings> timings_;
    vevidocore::PropertyLock<std::optional<float>> seekTime_;
};

}  // namespace rararozuvu
