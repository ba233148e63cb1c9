#include "rararozuvu/results/ResultWriting.h"

#include <fmt/format.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "vevidocore/JSONReading.h"

namespace rararozuvu {

namespace fs = std::filesystem;

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours,
                                      std::string_view decimalMarker) const {
    // Whole parts of times far beyond any recording would not fit an int; write() refuses
    // non-finite times, and this keeps every conversion defined.
    const float clamped = std::clamp(seconds, -1.0e9f, 1.0e9f);
    const auto hours = static_cast<long long>(clamped / 3600.0f);
    const auto minutes = static_cast<long long>(std::fmod(clamped, 3600.0f) / 60.0f);
    const auto wholeSeconds = static_cast<long long>(std::fmod(clamped, 60.0f));
    const auto milliseconds = static_cast<long long>((clamped - std::floor(clamped)) * 1000.0f);
    if (alwaysIncludeHours || hours >= 1) {
        return fmt::format("{:02d}:{:02d}:{:02d}{}{:03d}", hours, minutes, wholeSeconds,
                           decimalMarker, milliseconds);
    }
    return fmt::format("{:02d}:{:02d}{}{:03d}", minutes, wholeSeconds, decimalMarker, milliseconds);
}

std::string ResultWriting::formatSegment(std::int64_t index, float start, float end,
                                         std::string_view text) const {
    return fmt::format("{}\n{} --> {}\n{}\n\n", index, formatTime(start, true, ","),
                       formatTime(end, true, ","), text);
}

std::string ResultWriting::formatTiming(float start, float end, std::string_view text) const {
    return fmt::format("{} --> {}\n{}\n\n", formatTime(start, false, "."),
                       formatTime(end, false, "."), text);
}

namespace resultwriting {

namespace {

[[noreturn]] void failWriting(const fs::path& path, int error) {
    throw fs::filesystem_error("cannot write transcript", path,
                               std::error_code(error, std::generic_category()));
}

// Closes on every path out; the close of a written file is checked separately.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

void writeAtomically(const std::string& path, std::string_view contents) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!fs::is_directory(folder)) {
        failWriting(folder, ENOENT);
    }
    // The temporary name does not grow with the target's: a target name near the file system's
    // limit must still have room for its temporary twin.
    std::string temporary = (folder / ".quillora-XXXXXX").string();
    FileDescriptor file{::mkstemp(temporary.data())};
    if (file.fd < 0) {
        failWriting(folder, errno);
    }
    const auto discard = [&](int error) {
        ::unlink(temporary.c_str());
        failWriting(target, error);
    };
    for (std::string_view rest = contents; !rest.empty();) {
        const ssize_t written = ::write(file.fd, rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            discard(errno);
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    // mkstemp makes the file private; a transcript is an ordinary document.
    if (::fchmod(file.fd, 0644) != 0 || ::fsync(file.fd) != 0) {
        discard(errno);
    }
    const int fd = std::exchange(file.fd, -1);
    if (::close(fd) != 0) {
        discard(errno);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        discard(errno);
    }
}

std::string fileURL(const std::string& path) {
    const std::string absolute = fs::absolute(fs::path(path)).lexically_normal().string();
    std::string url = "file://";
    for (unsigned char c : absolute) {
        const bool plain = std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' ||
                           c == '~' || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' ||
                           c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' ||
                           c == ':' || c == '@';
        url += plain ? std::string(1, static_cast<char>(c)) : fmt::format("%{:02X}", c);
    }
    return url;
}

}  // namespace resultwriting

namespace {

std::string filePath(const std::string& outputDir, const std::string& to,
                     std::string_view extension) {
    return (fs::path(outputDir) / (to + std::string(extension))).string();
}

// Cue times must be numbers a subtitle can show.
void requireFiniteTimes(const std::vector<TranscriptionSegment>& segments) {
    for (const TranscriptionSegment& segment : segments) {
        bool finite = std::isfinite(segment.start) && std::isfinite(segment.end);
        if (segment.words) {
            for (const WordTiming& word : *segment.words) {
                finite = finite && std::isfinite(word.start) && std::isfinite(word.end);
            }
        }
        if (!finite) {
            throw std::invalid_argument(
                fmt::format("segment {} has a time that is not a finite number", segment.id));
        }
    }
}

// One cue per word of a segment with words, else one per segment.
template <class Cue>
std::string cues(const std::vector<TranscriptionSegment>& segments, Cue&& cue) {
    std::string text;
    for (const TranscriptionSegment& segment : segments) {
        if (segment.words && !segment.words->empty()) {
            for (const WordTiming& word : *segment.words)
                text += cue(word.start, word.end, word.word);
        } else {
            text += cue(segment.start, segment.end, segment.text);
        }
    }
    return text;
}

template <class Body>
Result<std::string> writeFile(const std::string& path, Body&& body) {
    try {
        resultwriting::writeAtomically(path, body());
        return Result<std::string>::success(resultwriting::fileURL(path));
    } catch (...) {
        return Result<std::string>::currentFailure();
    }
}

}  // namespace

Result<std::string> WriteJSON::write(const TranscriptionResult& result, const std::string& to,
                                     const Options&) {
    return writeFile(filePath(outputDir(), to, ".json"), [&] {
        rapidjson::Document document;
        const std::string compact = result.toJson();
        (void)vevidocore::json::parse(document, compact);
        rapidjson::StringBuffer buffer;
        rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
        writer.SetIndent(' ', 2);
        document.Accept(writer);
        return std::string(buffer.GetString(), buffer.GetSize());
    });
}

Result<std::string> WriteSRT::write(const TranscriptionResult& result, const std::string& to,
                                    const Options&) {
    return writeFile(filePath(outputDir(), to, ".srt"), [&] {
        const std::vector<TranscriptionSegment> segments = result.segments();
        requireFiniteTimes(segments);
        std::int64_t index = 1;
        return cues(segments, [&](float start, float end, const std::string& text) {
            return formatSegment(index++, start, end, text);
        });
    });
}

Result<std::string> WriteVTT::write(const TranscriptionResult& result, const std::string& to,
                                    const Options&) {
    return writeFile(filePath(outputDir(), to, ".vtt"), [&] {
        const std::vector<TranscriptionSegment> segments = result.segments();
        requireFiniteTimes(segments);
        return "WEBVTT\n\n" + cues(segments, [&](float start, float end, const std::string& text) {
                   return formatTiming(start, end, text);
               });
    });
}

}  // namespace rararozuvu
