#include "PulseServer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "WaitFor.h"

namespace quillora::testing {

namespace {

bool accepts(const std::filesystem::path& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool isFifo(const std::filesystem::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

PulseServer::PulseServer() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillora-pulse-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("PulseServer: cannot make a temporary folder");
    }
    folder_ = pattern;
    for (const char* sub : {"home", "config", "state"}) {
        std::filesystem::create_directories(folder_ / sub);
    }
    address_ = "unix:" + (folder_ / "native").string();

    const std::string dir = folder_.string();
    {
        std::ofstream script(folder_ / "server.pa");
        script << "load-module module-native-protocol-unix socket=" << dir
               << "/native auth-anonymous=1\n"
               << "load-module module-null-sink sink_name=speaker\n"
               << "load-module module-sine-source source_name=sine rate=16000 frequency="
               << sineFrequency << "\n"
               << "load-module module-pipe-source source_name=tone file=" << dir
               << "/tone.fifo format=s16le rate=16000 channels=1"
               << " source_properties=device.description=Tone\n"
               << "load-module module-pipe-source source_name=headset file=" << dir
               << "/headset.fifo format=s16le rate=16000 channels=1"
               << " source_properties='device.bus=bluetooth device.description=Headset'\n"
               << "load-module module-pipe-source source_name=builtin file=" << dir
               << "/builtin.fifo format=s16le rate=16000 channels=1"
               << " source_properties='device.form_factor=internal device.bus=usb'\n"
               << "load-module module-pipe-source source_name=pipe file=" << dir
               << "/pipe.fifo format=s16le rate=16000 channels=1\n"
               << "set-default-source tone\n";
        std::ofstream(folder_ / "client.conf") << "autospawn = no\n";
    }

    ChildProcess::Options options;
    options.environment = {
        {"HOME", (folder_ / "home").string()},
        {"XDG_CONFIG_HOME", (folder_ / "config").string()},
        {"XDG_RUNTIME_DIR", dir},
        {"PULSE_RUNTIME_PATH", dir},
        {"PULSE_STATE_PATH", (folder_ / "state").string()},
    };
    try {
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--use-pid-file=no", "--system=no", "--realtime=no",
                                     "--high-priority=no", "--log-target=stderr", "-F",
                                     (folder_ / "server.pa").string()},
            options);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw;
    }
    // The last module makes the last FIFO: once it is there and the socket answers, the script
    // has run.
    const bool up = waitFor([&] {
        return !process_->running() || (isFifo(pipePath()) && isFifo(folder_ / "builtin.fifo") &&
                                        accepts(folder_ / "native"));
    });
    if (!up || !process_->running()) {
        process_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw std::runtime_error(
            "PulseServer: pulseaudio did not start (is the pulseaudio package installed?)");
    }

    toneFd_ = open((folder_ / "tone.fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (toneFd_ < 0) {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw std::runtime_error("PulseServer: cannot open the tone's pipe");
    }
    toneWriter_ = std::jthread([fd = toneFd_](std::stop_token stopping) {
        constexpr std::size_t piece = 160;  // 10 ms
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::int16_t> pcm(piece);
        for (std::uint64_t written = 0; !stopping.stop_requested(); written += piece) {
            for (std::size_t i = 0; i < piece; ++i) {
                const double t = static_cast<double>(written + i) / 16000.0;
                pcm[i] = static_cast<std::int16_t>(
                    std::lrint(sineAmplitude * 32768.0 *
                               std::sin(2.0 * 3.14159265358979323846 * sineFrequency * t)));
            }
            // A server that stops reading loses the tone rather than holding up the test.
            [[maybe_unused]] const ssize_t ignored =
                write(fd, pcm.data(), piece * sizeof(std::int16_t));
            std::this_thread::sleep_until(
                start + std::chrono::microseconds((written + piece) * 1000000 / 16000));
        }
    });

    const std::map<std::string, std::string> environment = {
        {"PULSE_SERVER", address_},
        {"PULSE_COOKIE", (folder_ / "cookie").string()},
        {"PULSE_CLIENTCONFIG", (folder_ / "client.conf").string()},
    };
    for (const auto& [name, value] : environment) {
        const char* old = std::getenv(name.c_str());
        savedEnvironment_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(name.c_str(), value.c_str(), 1);
    }
}

PulseServer::~PulseServer() {
    stop();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void PulseServer::stop() {
    if (toneWriter_.joinable()) {
        toneWriter_.request_stop();
        toneWriter_.join();
    }
    if (toneFd_ >= 0) {
        close(toneFd_);
        toneFd_ = -1;
    }
    process_.reset();
}

RunResult PulseServer::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {"pactl", "--server=" + address_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, std::chrono::seconds(10));
}

void PulseServer::writePipe(std::span<const float> samples, bool paced) const {
    const int fd = open(pipePath().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("PulseServer: cannot open the pipe source: " +
                                 std::string(std::strerror(errno)));
    }
    constexpr std::size_t piece = 320;  // 20 ms
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::int16_t> pcm;
    for (std::size_t offset = 0; offset < samples.size(); offset += piece) {
        const std::size_t count = std::min(piece, samples.size() - offset);
        pcm.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            // x 32768 is how 16-bit audio becomes floats: samples read from such a file
            // arrive exactly as they were.
            const long value = std::lrint(static_cast<double>(samples[offset + i]) * 32768.0);
            pcm[i] = static_cast<std::int16_t>(std::clamp(value, -32768L, 32767L));
        }
        if (paced) {
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(offset * 1000000 / 16000));
        }
        const char* bytes = reinterpret_cast<const char*>(pcm.data());
        std::size_t left = count * sizeof(std::int16_t);
        while (left > 0) {
            const ssize_t written = write(fd, bytes, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                close(fd);
                throw std::runtime_error("PulseServer: writing into the pipe source failed");
            }
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    close(fd);
}

}  // namespace quillora::testing
