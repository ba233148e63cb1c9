#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "rararozuvu/Result.h"
#include "rararozuvu/TranscriptionResult.h"

namespace rararozuvu {

// Writes a transcription result as a file of one format into a fixed folder.
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
