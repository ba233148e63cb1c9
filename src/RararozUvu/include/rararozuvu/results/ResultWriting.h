#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "rararozuvu/results/Result.h"
#include "rararozuvu/results/TranscriptionResult.h"

namespace rararozuvu {

// Writes a transcription result as a file of one format into a fixed folder: WriteJSON, WriteSRT
// and WriteVTT below.
class ResultWriting {
public:
    using Options = std::map<std::string, std::any>;

    virtual ~ResultWriting() = default;

    // The folder that receives the files.
    virtual const std::string& outputDir() const = 0;

    // Writes `<outputDir>/<to><extension>` and gives its "file://" URL, or the error that stopped
    // it (encoding, a missing folder, a failed write, a time that is not finite); never throws.
    // The options are accepted for callers that pass them and are not read.
    virtual Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                                      const Options& options = {}) = 0;

    // "HH:MM:SS<marker>mmm", or "MM:SS<marker>mmm" below one hour unless hours are asked for;
    // every part truncated toward zero in single precision.
    virtual std::string formatTime(float seconds, bool alwaysIncludeHours,
                                   std::string_view decimalMarker) const;

    // A SubRip cue: the index, "HH:MM:SS,mmm --> HH:MM:SS,mmm" and the text, each on its own
    // line, then a blank line.
    std::string formatSegment(std::int64_t index, float start, float end,
                              std::string_view text) const;
    // A WebVTT cue: "MM:SS.mmm --> MM:SS.mmm" (hours from one hour on) and the text, then a blank
    // line.
    std::string formatTiming(float start, float end, std::string_view text) const;
};

// The shipped writers hold only their folder.
class FolderResultWriter : public ResultWriting {
public:
    explicit FolderResultWriter(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }

private:
    std::string outputDir_;
};

// The result's JSON form (keys "text", "segments", "language", "timings", "seekTime"),
// pretty-printed, in "<to>.json".
class WriteJSON : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const Options& options = {}) override;
};

// SubRip subtitles in "<to>.srt": one numbered cue per word of a segment that has words, else
// one per segment; the texts as stored.
class WriteSRT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const Options& options = {}) override;
};

// WebVTT subtitles in "<to>.vtt": the header "WEBVTT", then one cue per word of a segment that
// has words, else one per segment; the texts as stored.
class WriteVTT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const Options& options = {}) override;
};

// File helpers the writers share.
namespace resultwriting {

// Replaces the file's contents with `contents` through a temporary file beside it, so a reader
// never sees half a file. Throws std::filesystem::filesystem_error.
void writeAtomically(const std::string& path, std::string_view contents);
// The "file://" URL of an absolute or relative path, with the characters a URL cannot hold
// percent-encoded.
std::string fileURL(const std::string& path);

}  // namespace resultwriting

}  // namespace rararozuvu
