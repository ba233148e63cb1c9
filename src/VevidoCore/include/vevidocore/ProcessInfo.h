#pragma once

#include <string>
#include <string_view>

namespace vevidocore {

// Hardware and system queries. None of them stops the process or throws: what cannot be read
// gives an empty text (for a system variable) or a fallback text (for the hardware readings).
struct ProcessInfo {
    // The value of a system-control variable by its dotted name, read as text up to its first zero
    // byte, with invalid UTF-8 repaired. The machine-description names ("hw.model",
    // "machdep.cpu.brand_string", "machdep.cpu.core_count", "machdep.cpu.thread_count",
    // "machdep.cpu.vendor", "machdep.cpu.family") are answered from the firmware and the CPU
    // description; every other name is read from /proc/sys ("kernel.ostype" is
    // /proc/sys/kernel/ostype). An unknown or malformed name gives the empty text.
    static std::string stringFromSysctl(std::string_view name);

    // Each read once, on first use, and kept for the life of the process.
    static const std::string& processor();  // CPU model name, else the machine architecture
    static const std::string& cores();      // physical cores, in decimal
    static const std::string& threads();    // hardware threads, in decimal
    static const std::string& vendor();     // CPU vendor, else "unknown"
    static const std::string& family();     // CPU family number, else "unknown"
    static const std::string& hwModel();    // product name of the machine, else its architecture
};

}  // namespace vevidocore
