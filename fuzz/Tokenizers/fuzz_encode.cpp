// Encodes arbitrary bytes with the GPT-2 tokenizer (loaded once) and decodes the result: no
// input may crash it, and decoding what was encoded gives the input back with ill-formed UTF-8
// replaced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/Utf8.h"

namespace {

const tokenizers::Tokenizer& gpt2() {
    static const auto tokenizer = tokenizers::AutoTokenizer::from(
        std::filesystem::path(QUILLORA_SHARED_DIR) / "data" / "tokenizers" / "gpt2", true);
    return *tokenizer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tokenizers::Tokenizer& tokenizer = gpt2();
    const std::vector<int> ids = tokenizer.encode(text, false);
    const std::string decoded = tokenizer.decode(ids);
    // The clean-up of decoded text removes blanks before punctuation, so compare only texts it
    // leaves alone.
    const std::string expected = tokenizers::utf8::sanitized(text);
    if (expected.find(' ') == std::string::npos && decoded != expected)
        std::abort();
    return 0;
}
