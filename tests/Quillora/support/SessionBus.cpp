#include "SessionBus.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>

#include "WaitFor.h"

namespace quillora::testing {

namespace {

std::map<std::string, std::string> environmentOf(const PrivateHome& home,
                                                 const std::string& address) {
    return {
        {"HOME", home.path().string()},
        {"XDG_CONFIG_HOME", home.configHome().string()},
        {"XDG_DATA_HOME", home.dataHome().string()},
        {"XDG_CACHE_HOME", (home.path() / "cache").string()},
        {"XDG_RUNTIME_DIR", home.runtimeDir().string()},
        {"DBUS_SESSION_BUS_ADDRESS", address},
    };
}

bool nameHasOwner(const std::string& name, const std::map<std::string, std::string>& env) {
    ChildProcess::Options options;
    options.environment = env;
    const RunResult reply =
        runProgram({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                   std::chrono::seconds(5), options);
    return reply.exitCode == 0 && reply.output.find("boolean true") != std::string::npos;
}

}  // namespace

SessionBus::SessionBus(const PrivateHome& home, const Options& options) {
    const std::filesystem::path config = home.path() / "session-bus.conf";
    const std::filesystem::path socket = home.runtimeDir() / "bus";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:path="
            << socket.string()
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        if (!out) {
            throw std::runtime_error("SessionBus: cannot write " + config.string());
        }
    }
    ChildProcess::Options busOptions;
    busOptions.captureStandardOutput = true;
    busOptions.environment = environmentOf(home, "");
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                                 "--print-address"},
        busOptions);
    // The address is printed once the bus listens.
    const std::optional<std::string> line = bus_->readLine(std::chrono::seconds(10));
    if (!line || line->empty()) {
        throw std::runtime_error("SessionBus: dbus-daemon did not start (is dbus installed?)");
    }
    address_ = *line;
    const auto env = environmentOf(home, address_);

    if (options.keyring) {
        ChildProcess::Options keyringOptions;
        keyringOptions.environment = env;
        keyringOptions.standardInput = options.password;
        keyring_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock",
                                     "--components=secrets"},
            keyringOptions);
        const bool serving = waitFor(
            [&] { return !keyring_->running() || nameHasOwner("org.freedesktop.secrets", env); });
        if (!serving || !keyring_->running()) {
            throw std::runtime_error(
                "SessionBus: gnome-keyring-daemon did not serve the Secret Service (is "
                "gnome-keyring installed?)");
        }
    }

    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        previousAddress_ = old;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

SessionBus::~SessionBus() {
    keyring_.reset();
    bus_.reset();
    if (previousAddress_) {
        setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

}  // namespace quillora::testing
