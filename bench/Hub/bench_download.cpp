// A 1 GiB file from the loopback test hub: the resumable downloader against the curl command on
// the same URL, in the same run. Both write the file to the same temporary folder.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "TestHub.h"
#include "hub/Downloader.h"

extern char** environ;

namespace {

constexpr std::size_t fileSize = std::size_t{1} << 30;

std::string generatedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(bytes.data() + i, &state, 8);
    }
    return bytes;
}

// One hub and one folder for the whole run: making the file takes longer than fetching it.
struct Fixture {
    Fixture() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "bench-download-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        folder = pattern;
        hub.addFile(hub::Repo("owner/model"), "weights.bin", generatedBytes(fileSize));
        url = hub.endpoint() + "/owner/model/resolve/main/weights.bin";
        sha256 = hub.sha256(hub::Repo("owner/model"), "weights.bin");
    }
    ~Fixture() { std::filesystem::remove_all(folder); }

    hub::testing::TestHub hub;
    std::filesystem::path folder;
    std::string url;
    std::string sha256;
};

Fixture& fixture() {
    static Fixture shared;
    return shared;
}

void checkSize(benchmark::State& state, const std::filesystem::path& file) {
    std::error_code error;
    if (std::filesystem::file_size(file, error) != fileSize) {
        state.SkipWithError("the downloaded file has the wrong size");
    }
}

// Argument 1: the content is checked against its SHA-256 while it arrives.
void BM_Downloader(benchmark::State& state) {
    Fixture& f = fixture();
    hub::Downloader::Options options;
    if (state.range(0) == 1) {
        options.contentSha256 = f.sha256;
    }
    const std::filesystem::path destination = f.folder / "downloader.bin";
    const std::filesystem::path partial = f.folder / "downloader.bin.incomplete";
    for (auto _ : state) {
        std::filesystem::remove(destination);
        std::ofstream(partial).close();
        std::mutex mutex;
        std::condition_variable ended;
        std::optional<hub::Downloader::DownloadState> last;
        hub::Downloader downloader(destination, partial, options);
        const auto subscription = downloader.download(f.url, std::nullopt, std::nullopt,
                                                      static_cast<std::int64_t>(fileSize), 10, 5,
                                                      [&](const hub::Downloader::DownloadState& s) {
                                                          if (s.isFinal()) {
                                                              std::lock_guard lock(mutex);
                                                              last = s;
                                                              ended.notify_all();
                                                          }
                                                      });
        std::unique_lock lock(mutex);
        ended.wait(lock, [&] { return last.has_value(); });
        if (last->kind != hub::Downloader::DownloadState::Kind::completed) {
            state.SkipWithError("the download failed");
            break;
        }
    }
    checkSize(state, destination);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileSize));
}

void BM_CurlCommand(benchmark::State& state) {
    Fixture& f = fixture();
    const std::filesystem::path destination = f.folder / "curl.bin";
    std::string program = "curl";
    std::string silent = "-sS";
    std::string fail = "--fail";
    std::string output = "-o";
    std::string path = destination.string();
    std::string url = f.url;
    char* argv[] = {program.data(), silent.data(), fail.data(), output.data(),
                    path.data(),    url.data(),    nullptr};
    for (auto _ : state) {
        std::filesystem::remove(destination);
        pid_t pid = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot run curl");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    checkSize(state, destination);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileSize));
}

// Alternating, so that neither profits from the other's warm caches more than it gives back.
BENCHMARK(BM_CurlCommand)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Downloader)
    ->ArgName("sha256")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
