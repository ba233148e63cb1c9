#include "vevidocore/ProcessInfo.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace vevidocore {

namespace {

// The whole file, or absent when it cannot be read (a folder, a missing or unreadable file).
// Read in chunks: files below /proc report a size of 0.
std::optional<std::string> readFile(const char* path) {
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };
    const Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return content;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

// A system value as text: up to the first zero byte, valid UTF-8, without the trailing line break
// and blanks that kernel files end with.
std::string asText(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    while (!raw.empty() && (raw.back() == '\n' || raw.back() == ' ' || raw.back() == '\t')) {
        raw.remove_suffix(1);
    }
    std::string text;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(raw.data(), static_cast<std::int32_t>(raw.size())))
        .toUTF8String(text);
    return text;
}

std::string machineArchitecture() {
    utsname names{};
    if (uname(&names) == 0 && names.machine[0] != '\0') {
        return names.machine;
    }
    return "unknown";
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// What /proc/cpuinfo says: the first value of each field (some, like "Hardware" on older ARM
// kernels, follow the last processor's block), the processor count and the distinct physical
// cores.
struct CpuInfo {
    std::map<std::string, std::string, std::less<>> fields;
    int processorCount = 0;
    std::set<std::pair<std::string, std::string>> physicalCores;

    std::optional<std::string> field(std::string_view key) const {
        const auto found = fields.find(key);
        return found == fields.end() ? std::nullopt : std::optional(found->second);
    }
};

CpuInfo readCpuInfo() {
    CpuInfo info;
    const std::optional<std::string> content = readFile("/proc/cpuinfo");
    if (!content) {
        return info;
    }
    std::istringstream lines(*content);
    std::string physicalId;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string key(trimmed(std::string_view(line).substr(0, colon)));
        const std::string value(trimmed(std::string_view(line).substr(colon + 1)));
        if (key == "processor") {
            ++info.processorCount;
        } else if (key == "physical id") {
            physicalId = value;
        } else if (key == "core id") {
            info.physicalCores.emplace(physicalId, value);
        }
        if (!value.empty()) {
            info.fields.emplace(key, value);
        }
    }
    return info;
}

const CpuInfo& cpuInfo() {
    static const CpuInfo info = readCpuInfo();
    return info;
}

int hardwareThreads() {
    if (cpuInfo().processorCount > 0) {
        return cpuInfo().processorCount;
    }
    const long configured = sysconf(_SC_NPROCESSORS_CONF);
    return configured > 0 ? static_cast<int>(configured) : 1;
}

std::string firstField(std::initializer_list<std::string_view> keys, std::string fallback) {
    for (const std::string_view key : keys) {
        if (auto value = cpuInfo().field(key)) {
            return asText(*value);
        }
    }
    return fallback;
}

std::string machineModel() {
    // x86 firmware names the product; boards with a device tree name their model there.
    for (const char* path : {"/sys/class/dmi/id/product_name", "/proc/device-tree/model"}) {
        if (const auto content = readFile(path)) {
            std::string model = asText(*content);
            if (!trimmed(model).empty()) {
                return std::string(trimmed(model));
            }
        }
    }
    return machineArchitecture();
}

// A dotted name maps to a file below /proc/sys only when every part is a plain name, so that no
// name can reach outside that folder.
std::optional<std::string> procSysPath(std::string_view name) {
    std::string path = "/proc/sys/";
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = name.find('.', start);
        const std::string_view part =
            name.substr(start, dot == std::string_view::npos ? name.npos : dot - start);
        const bool plain = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-';
        });
        if (!plain) {
            return std::nullopt;
        }
        path.append(part);
        if (dot == std::string_view::npos) {
            return path;
        }
        path.push_back('/');
        start = dot + 1;
    }
}

}  // namespace

std::string ProcessInfo::stringFromSysctl(std::string_view name) {
    if (name == "hw.model") {
        return machineModel();
    }
    if (name == "machdep.cpu.brand_string") {
        return firstField({"model name", "Processor", "cpu model", "Hardware"},
                          machineArchitecture());
    }
    if (name == "machdep.cpu.core_count") {
        const auto& cores = cpuInfo().physicalCores;
        return std::to_string(cores.empty() ? hardwareThreads() : static_cast<int>(cores.size()));
    }
    if (name == "machdep.cpu.thread_count") {
        return std::to_string(hardwareThreads());
    }
    if (name == "machdep.cpu.vendor") {
        return firstField({"vendor_id", "CPU implementer"}, "unknown");
    }
    if (name == "machdep.cpu.family") {
        return firstField({"cpu family", "CPU architecture"}, "unknown");
    }
    const std::optional<std::string> path = procSysPath(name);
    if (!path) {
        return {};
    }
    const std::optional<std::string> content = readFile(path->c_str());
    return content ? asText(*content) : std::string();
}

const std::string& ProcessInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& ProcessInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& ProcessInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& ProcessInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& ProcessInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

const std::string& ProcessInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

}  // namespace vevidocore
