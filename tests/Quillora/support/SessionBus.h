#pragma once

// A private D-Bus session bus for one test, optionally with GNOME Keyring serving the Secret
// Service on it (its login keyring created and unlocked with a password). The bus reads no
// service files, so nothing else is started on demand: without the keyring, asking for the
// Secret Service fails the way a desktop without one does. DBUS_SESSION_BUS_ADDRESS points at
// the bus while it lives; the servers keep their files in the test's private home.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "ChildProcess.h"
#include "PrivateHome.h"

namespace quillora::testing {

class SessionBus {
public:
    struct Options {
        bool keyring = true;
        std::string password = "quillora-test";
    };

    // Throws when a server does not come up within 10 s.
    explicit SessionBus(const PrivateHome& home, const Options& options);
    explicit SessionBus(const PrivateHome& home) : SessionBus(home, Options{}) {}
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    const std::string& address() const { return address_; }

private:
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> keyring_;
    std::string address_;
    std::optional<std::string> previousAddress_;
};

}  // namespace quillora::testing
