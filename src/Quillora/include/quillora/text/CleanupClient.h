#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

class QObject;

namespace quillora {

// Where and how the clean-up client sends its request.
struct CleanupOptions {
    // Scheme and host of the service; "/v1/messages" is appended.
    std::string baseURL = "https://api.anthropic.com";
    // Certificate authorities to trust instead of the system's (tests use their own).
    std::optional<std::filesystem::path> certificateAuthority;
    // Limit on connecting and on any pause of the exchange after that; there is no limit on a
    // transfer that keeps moving.
    std::chrono::milliseconds timeout = std::chrono::seconds(20);
};

// Sends a raw transcript to the hosted clean-up model (the Anthropic Messages API) and returns
// the text the speaker meant to type. Only the text leaves the machine, and only over HTTPS with
// the server's certificate verified.
class CleanupClient {
public:
    // The service refused the request: its own error message, or "Request failed".
    class APIError : public std::runtime_error {
    public:
        explicit APIError(const std::string& message) : std::runtime_error(message) {}
    };

    using Options = CleanupOptions;

    // What the dictation pastes: the cleaned text, or the raw transcript with the reason why.
    struct Outcome {
        std::string text;
        std::optional<std::string> failure;
    };

    static constexpr std::string_view model = "claude-haiku-5-5";
    static constexpr std::string_view anthropicVersion = "2023-06-01";
    static const std::string& systemPrompt();

    // The body of the request for a transcript: compact JSON with the keys in a fixed order.
    static std::string requestBody(std::string_view transcript);

    // Blocks until the service answers. Throws APIError for a refused request, hub::URLError
    // for a transport failure (time-out, no connection, TLS, cancellation through `stop`).
    static std::string clean(std::string_view transcript, std::string_view apiKey,
                             const Options& options = {}, std::stop_token stop = {});

    // clean() that never fails: a failure, or an empty answer, keeps the raw transcript. A
    // failure is logged (without the key).
    static Outcome cleanOrKeep(std::string_view transcript, std::string_view apiKey,
                               const Options& options = {}, std::stop_token stop = {});

    // cleanOrKeep() on a worker thread; `done` then runs on `context`'s thread. Destroying the
    // returned thread stops the request and waits for it; a stopped request delivers nothing.
    // Keep the thread no longer than `context`.
    [[nodiscard]] static std::jthread cleanInBackground(std::string transcript, std::string apiKey,
                                                        QObject* context,
                                                        std::function<void(Outcome)> done,
                                                        Options options = {});
};

}  // namespace quillora
