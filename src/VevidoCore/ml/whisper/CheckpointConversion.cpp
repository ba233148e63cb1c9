#include "ml/whisper/CheckpointConversion.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "ml/ModelError.h"
#include "ml/whisper/WhisperConverter.h"
#include "vevidocore/Logging.h"

namespace ml {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStampName = ".converted-from";

[[noreturn]] void fail(const std::string& message) {
    throw ModelError(ModelError::Case::io, message);
}

// What identifies the checkpoint as it is now: every file the conversion reads or copies, with
// size and modification time. A new download of any of them changes it.
std::string fingerprint(const fs::path& checkpoint) {
    std::ostringstream text;
    text << "checkpoint " << fs::absolute(checkpoint).lexically_normal().string() << "\n";
    for (const char* name : {"config.json", "model.safetensors", "generation_config.json",
                             "tokenizer.json", "tokenizer_config.json"}) {
        std::error_code ec;
        const fs::path file = checkpoint / name;
        const auto size = fs::file_size(file, ec);
        if (ec) {
            continue;
        }
        const auto time = fs::last_write_time(file, ec);
        text << name << " " << size << " " << time.time_since_epoch().count() << "\n";
    }
    return text.str();
}

std::string readSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buffer[4096];
    while (in && text.size() < (1u << 16)) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

// An exclusive lock on a file beside the destination, held for the object's life. Other
// processes converting the same checkpoint wait for it; the lock goes with the process.
class FolderLock {
public:
    explicit FolderLock(const fs::path& lockFile)
        : fd_(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0) {
            fail(fmt::format("{}: cannot be opened: {}", lockFile.string(), std::strerror(errno)));
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::close(fd_);
                fail(fmt::format("{}: cannot be locked: {}", lockFile.string(),
                                 std::strerror(error)));
            }
        }
    }
    ~FolderLock() { ::close(fd_); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

// Removes a folder on destruction unless released.
class TemporaryFolder {
public:
    explicit TemporaryFolder(fs::path path) : path_(std::move(path)) {}
    ~TemporaryFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

bool isCheckpointFolder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_regular_file(folder / "config.json", ec) &&
           fs::is_regular_file(folder / "model.safetensors", ec) && !isModelFolder(folder);
}

bool isModelFolder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder / "TextDecoder.mlmodelc", ec);
}

fs::path convertCheckpointOnce(const fs::path& checkpoint, const fs::path& destination) {
    const fs::path parent = destination.parent_path();
    const std::string name = destination.filename().string();
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) {
        fail(fmt::format("{}: cannot be created: {}", parent.string(), ec.message()));
    }
    const std::string stamp = fingerprint(checkpoint);

    FolderLock lock(parent / ("." + name + ".lock"));
    if (isModelFolder(destination) && readSmallFile(destination / kStampName) == stamp) {
        return destination;
    }
    // Whoever holds the lock is the only one converting: what other runs left behind is stale.
    const std::string temporaryPrefix = "." + name + ".converting-";
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
        if (entry.path().filename().string().starts_with(temporaryPrefix)) {
            fs::remove_all(entry.path(), ec);
        }
    }

    vevidocore::Logging::info("Converting the checkpoint in " + checkpoint.string() + " into " +
                              destination.string());
    TemporaryFolder temporary(parent / (temporaryPrefix + std::to_string(::getpid())));
    WhisperConverter::convert(checkpoint, temporary.path());
    {
        std::ofstream out(temporary.path() / kStampName, std::ios::binary | std::ios::trunc);
        out << stamp;
        if (!out.flush()) {
            fail(fmt::format("{}: cannot be written", (temporary.path() / kStampName).string()));
        }
    }
    // An older conversion steps aside first; the new one takes its place in one rename.
    const fs::path previous = parent / (temporaryPrefix + "old");
    if (fs::exists(destination, ec)) {
        fs::rename(destination, previous, ec);
        if (ec) {
            fail(fmt::format("{}: cannot be replaced: {}", destination.string(), ec.message()));
        }
    }
    fs::rename(temporary.path(), destination, ec);
    if (ec) {
        fail(fmt::format("{}: cannot be written: {}", destination.string(), ec.message()));
    }
    fs::remove_all(previous, ec);
    return destination;
}

std::optional<fs::path> modelFolderFromDownload(const fs::path& folder, const fs::path& cacheRoot) {
    if (isModelFolder(folder)) {
        return folder;
    }
    if (!isCheckpointFolder(folder)) {
        return std::nullopt;
    }
    const fs::path relative = fs::absolute(folder).lexically_normal().lexically_relative(
        fs::absolute(cacheRoot).lexically_normal());
    if (relative.empty() || *relative.begin() == "..") {
        fail(fmt::format("{}: not inside the download folder {}", folder.string(),
                         cacheRoot.string()));
    }
    return convertCheckpointOnce(folder, cacheRoot / "converted" / relative);
}

}  // namespace ml
