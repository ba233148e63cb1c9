#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "templates/Environment.h"
#include "templates/Node.h"
#include "templates/Value.h"

namespace templates {

// A compiled template: parsed once, rendered any number of times, from any number of threads as
// long as each rendering has its own environment (or none).
class Template {
public:
    struct Options {
        // Strip the blanks and tabs before a statement or comment tag that begins a line.
        bool lstripBlocks = false;
        // Drop the line feed right after a statement or comment tag.
        bool trimBlocks = false;

        friend bool operator==(const Options&, const Options&) = default;
        std::size_t hashValue() const;
    };

    using Context = std::unordered_map<std::string, Value>;

    // Throws the lexer's or the parser's TemplateError.
    Template(std::string_view source, Options options);

    // The source as the lexer receives it: without the one line break that ends it (a line feed
    // or a carriage return and line feed), then after the whitespace options.
    static std::string applyOptions(std::string_view source, Options options);

    // Writes the context into `environment` (a fresh root when null; the values stay in a given
    // environment) and renders the nodes in a new root made from it (Interpreter::interpret).
    // Throws the rendering's first error; no partial text is returned.
    std::string render(const Context& context,
                       const std::shared_ptr<Environment>& environment = nullptr) const;

    const NodeList& nodes() const noexcept { return nodes_; }

    friend bool operator==(const Template& a, const Template& b) { return a.nodes_ == b.nodes_; }
    std::size_t hashValue() const;

private:
    NodeList nodes_;
    std::size_t namesBoundAtTop_ = 0;
};

}  // namespace templates

template <>
struct std::hash<templates::Template> {
    std::size_t operator()(const templates::Template& t) const { return t.hashValue(); }
};
template <>
struct std::hash<templates::Template::Options> {
    std::size_t operator()(const templates::Template::Options& o) const { return o.hashValue(); }
};
