// Lexes and parses arbitrary bytes as a template. Besides crashes and undefined behaviour it
// checks that parsing is deterministic: two parses of one input give structurally equal trees
// that hash alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "templates/Hasher.h"
#include "templates/Lexer.h"
#include "templates/Node.h"
#include "templates/Parser.h"
#include "templates/TemplateError.h"

namespace {

std::uint64_t hashOf(const templates::NodeList& nodes) {
    templates::Hasher hasher(1);
    templates::hashInto(hasher, nodes);
    return hasher.finalize();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    templates::NodeList first;
    try {
        first = templates::Parser::parse(templates::Lexer::tokenize(source));
    } catch (const templates::TemplateError&) {
        return 0;
    }
    const templates::NodeList second = templates::Parser::parse(templates::Lexer::tokenize(source));
    if (!(first == second) || hashOf(first) != hashOf(second)) {
        std::abort();
    }
    return 0;
}
