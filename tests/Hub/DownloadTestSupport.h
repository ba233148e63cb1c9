#pragma once

// Helpers for the download tests: generated file contents and a downloader run to its end.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "hub/Downloader.h"

namespace hub::testing {

// `size` bytes that differ from one seed to another and do not repeat in short periods.
inline std::string generatedBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every partial download file below `folder`, hidden folders included.
inline std::vector<std::filesystem::path> partialFilesBelow(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().extension() == ".incomplete") {
            found.push_back(entry.path());
        }
    }
    return found;
}

// Collects a downloader's states until the first final one.
class StateLog {
public:
    Downloader::StateBroadcaster::Callback callback() {
        return [this](const Downloader::DownloadState& state) {
            {
                std::lock_guard lock(mutex_);
                states_.push_back(state);
            }
            changed_.notify_all();
        };
    }

    // The states up to the first final one; a test failure when none comes within a minute.
    std::vector<Downloader::DownloadState> waitForEnd() {
        std::unique_lock lock(mutex_);
        const bool ended = changed_.wait_for(lock, std::chrono::minutes(1), [this] {
            for (const auto& state : states_) {
                if (state.isFinal()) {
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(ended) << "the download did not end";
        std::vector<Downloader::DownloadState> upToEnd;
        for (const auto& state : states_) {
            upToEnd.push_back(state);
            if (state.isFinal()) {
                break;
            }
        }
        return upToEnd;
    }

    // Waits until a downloading state of at least `fraction` has come.
    void waitForFraction(double fraction) {
        std::unique_lock lock(mutex_);
        const bool reached = changed_.wait_for(lock, std::chrono::minutes(1), [&] {
            for (const auto& state : states_) {
                if (state.kind == Downloader::DownloadState::Kind::downloading &&
                    state.fraction >= fraction) {
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(reached) << "no state reached " << fraction;
    }

    std::vector<Downloader::DownloadState> all() const {
        std::lock_guard lock(mutex_);
        return states_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Downloader::DownloadState> states_;
};

// The error of a failed state, as the type the test expects; a test failure otherwise.
template <class Error>
std::optional<Error> failure(const Downloader::DownloadState& state) {
    if (state.kind != Downloader::DownloadState::Kind::failed) {
        ADD_FAILURE() << "not a failed state";
        return std::nullopt;
    }
    try {
        std::rethrow_exception(state.error);
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "another error: " << other.what();
    }
    return std::nullopt;
}

}  // namespace hub::testing
