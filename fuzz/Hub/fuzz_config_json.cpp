// Feeds arbitrary bytes to the configuration loader and decoder. Either may reject the input with
// a ParseError; anything else (a crash, a sanitizer report, another exception) is a fault. A value
// that loads must also survive every walk over it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hub/ConfigError.h"
#include "hub/YYJSONParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const hub::Config value = hub::YYJSONParser::parseToConfig(bytes);
        (void)value.description();
        (void)value.hashValue();
        (void)(value == value);
        try {
            const hub::Config decoded = hub::Config::decodedJSON(value.encodedJSON());
            (void)decoded.hashValue();
        } catch (const hub::ConfigError&) {
            // Infinities and not-a-number have no JSON form.
        }
    } catch (const hub::YYJSONParser::ParseError&) {
    }
    try {
        (void)hub::Config::decodedJSON(bytes);
    } catch (const hub::YYJSONParser::ParseError&) {
    }
    return 0;
}
