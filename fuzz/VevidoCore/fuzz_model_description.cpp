// The descriptions that come with a model (a compiled folder's model.json, a checkpoint's
// config.json): any bytes must give a description or the reader's own error.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "ml/ModelBundle.h"
#include "ml/ModelError.h"
#include "ml/whisper/WhisperHyperParameters.h"
#include "ml/whisper/WhisperKernelError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The bundle reader takes a folder, so each input goes through one scratch folder, removed
    // at exit.
    static const struct Scratch {
        std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("fuzz-model-description-" + std::to_string(::getpid()));
        Scratch() { std::filesystem::create_directories(folder); }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } scratch;
    {
        std::ofstream file(scratch.folder / ml::ModelBundle::descriptionFileName,
                           std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    try {
        const ml::ModelBundle bundle = ml::ModelBundle::read(scratch.folder);
        volatile std::size_t sink = bundle.program.size();
        (void)sink;
    } catch (const ml::ModelError&) {
    }
    try {
        const auto parameters = ml::whisper::WhisperHyperParameters::fromJson(bytes);
        volatile std::size_t sink = parameters.dModel;
        (void)sink;
    } catch (const ml::whisper::WhisperKernelError&) {
    }
    return 0;
}
