// quillora-convert <checkpoint folder> <output model folder>
//
// Builds the model folder the speech library loads (MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc,
// TextDecoder.mlmodelc and the tokenizer files) from a Whisper checkpoint folder.

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "ml/whisper/WhisperConverter.h"

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc != 3 || std::string_view(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: quillora-convert <checkpoint folder> <output model folder>\n");
        return argc == 2 ? 0 : 2;
    }
    try {
        ml::WhisperConverter::convert(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillora-convert: %s\n", e.what());
        return 1;
    }
    // The conversion is done; a report that cannot be written still makes the run a failure, as
    // whoever reads it would otherwise take silence for success.
    std::printf("wrote %s\n", argv[2]);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "quillora-convert: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
