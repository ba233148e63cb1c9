#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillora {

// The clean-up service's API key, kept by the desktop's Secret Service (GNOME Keyring, KWallet,
// KeePassXC...) as an item with the attributes "service" (the application's identifier) and
// "account", so it is never written to the settings file.
//
// Every call is a D-Bus round trip to the Secret Service and may wait for the user to unlock
// the keyring: call it off the main thread.
class Keychain {
public:
    // No Secret Service could be reached, or it refused the request.
    class Error : public std::runtime_error {
    public:
        explicit Error(const std::string& message) : std::runtime_error(message) {}
    };

    static constexpr std::string_view service = "com.quillora.Quillora";
    static constexpr std::string_view apiKeyAccount = "anthropic-api-key";

    // The stored text for the account; absent when there is none or it is not UTF-8 text.
    static std::optional<std::string> get(const std::string& account);
    // Replaces the stored text for the account; an empty value deletes it.
    static void set(std::string_view value, const std::string& account);
};

}  // namespace quillora
