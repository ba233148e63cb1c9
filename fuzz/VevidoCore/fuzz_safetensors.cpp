// Safetensors files arrive from a model hub: any bytes must give either tensors that are safe to
// read in full or a SafetensorsError.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ml/Safetensors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader maps files, so each input goes through one scratch file, removed at exit.
    static const struct Scratch {
        std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("fuzz-safetensors-" + std::to_string(::getpid()));
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } scratch;
    const std::filesystem::path& path = scratch.path;
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    try {
        const ml::SafetensorsFile file(path);
        unsigned sum = 0;
        for (const auto& t : file.tensors()) {
            for (std::byte b : t.data)
                sum += std::to_integer<unsigned>(b);
            sum += static_cast<unsigned>(t.elementCount());
        }
        for (const auto& [k, v] : file.metadata())
            sum += static_cast<unsigned>(k.size() + v.size());
        volatile unsigned sink = sum;
        (void)sink;
    } catch (const ml::SafetensorsError&) {
    }
    return 0;
}
