#include "templates/Template.h"

#include "InterpreterInternals.h"
#include "templates/Globals.h"
#include "templates/Interpreter.h"
#include "templates/Lexer.h"
#include "templates/Parser.h"

namespace templates {

namespace {

// The length of the line separator at `i` (line feed, vertical tab, form feed, carriage return,
// next line, line and paragraph separators), or 0.
std::size_t separatorLength(std::string_view text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x0A && byte <= 0x0D) {
        return 1;
    }
    if (text.compare(i, 2, "\xC2\x85") == 0) {
        return 2;
    }
    if (text.compare(i, 3, "\xE2\x80\xA8") == 0 || text.compare(i, 3, "\xE2\x80\xA9") == 0) {
        return 3;
    }
    return 0;
}

void appendLine(std::string& out, std::string_view line) {
    std::size_t blanks = 0;
    while (blanks < line.size() && (line[blanks] == ' ' || line[blanks] == '\t')) {
        ++blanks;
    }
    const bool tagFirst = line.size() >= blanks + 2 && line[blanks] == '{' &&
                          (line[blanks + 1] == '%' || line[blanks + 1] == '#');
    out.append(tagFirst ? line.substr(blanks) : line);
}

// Every line whose first non-blank characters open a statement or comment tag loses its blanks.
// The line separators stay as they were, so a carriage return and line feed pair remains one
// line break.
std::string stripBlocks(std::string_view source) {
    std::string out;
    out.reserve(source.size());
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < source.size();) {
        const std::size_t length = separatorLength(source, i);
        if (length == 0) {
            ++i;
            continue;
        }
        appendLine(out, source.substr(lineStart, i - lineStart));
        out.append(source.substr(i, length));
        i += length;
        lineStart = i;
    }
    appendLine(out, source.substr(lineStart));
    return out;
}

// Each occurrence of `tagEnd` followed by a line feed loses the line feed.
std::string dropLineFeedAfter(std::string_view source, std::string_view tagEnd) {
    std::string out;
    out.reserve(source.size());
    std::size_t from = 0;
    for (std::size_t at = source.find(tagEnd); at != std::string_view::npos;
         at = source.find(tagEnd, at + tagEnd.size())) {
        if (at + tagEnd.size() < source.size() && source[at + tagEnd.size()] == '\n') {
            out.append(source.substr(from, at + tagEnd.size() - from));
            from = at + tagEnd.size() + 1;
        }
    }
    out.append(source.substr(from));
    return out;
}

// Template authors write and test their files with the convention that the single line break
// ending the file is not part of the output.
std::string_view withoutTrailingNewline(std::string_view source) {
    if (source.ends_with("\r\n")) {
        source.remove_suffix(2);
    } else if (source.ends_with('\n')) {
        source.remove_suffix(1);
    }
    return source;
}

// How many names the nodes may bind in the scope they run in: their macro definitions and
// assignments, those of the branches of their if statements included. A root reserves room for
// them, so that the template's own names do not move its bindings as they arrive.
std::size_t namesBoundAtTop(const NodeList& nodes) {
    std::size_t count = 0;
    for (const Node& node : nodes) {
        const auto* statement = node.getIf<Statement>();
        if (statement == nullptr) {
            continue;
        }
        switch (statement->kind()) {
            case Statement::Kind::macro:
            case Statement::Kind::set:
                ++count;
                break;
            case Statement::Kind::if_: {
                const auto& branch = statement->as<Statement::If>();
                count += namesBoundAtTop(branch.body) + namesBoundAtTop(branch.alternate);
                break;
            }
            default:
                break;
        }
    }
    return count;
}

}  // namespace

std::size_t Template::Options::hashValue() const {
    Hasher hasher;
    hasher.combineByte(lstripBlocks ? 1 : 0);
    hasher.combineByte(trimBlocks ? 1 : 0);
    return static_cast<std::size_t>(hasher.finalize());
}

std::string Template::applyOptions(std::string_view source, Options options) {
    source = withoutTrailingNewline(source);
    std::string text = options.lstripBlocks ? stripBlocks(source) : std::string(source);
    if (options.trimBlocks) {
        text = dropLineFeedAfter(dropLineFeedAfter(text, "%}"), "#}");
    }
    return text;
}

Template::Template(std::string_view source, Options options)
    : nodes_(Parser::parse(Lexer::tokenize(applyOptions(source, options)))),
      namesBoundAtTop_(namesBoundAtTop(nodes_)) {}

std::string Template::render(const Context& context,
                             const std::shared_ptr<Environment>& environment) const {
    if (!environment) {
        // A fresh root holding just the context is what Interpreter::interpret would copy it
        // into, so render in it directly.
        // Room for the global functions too, which the root binds after the context, and for
        // the names the template binds there.
        std::shared_ptr<Environment> root =
            Environment::makeRoot(context.size() + Globals::builtIn().size() + namesBoundAtTop_,
                                  [&](Environment::Variables& variables) {
                                      for (const auto& [name, value] : context) {
                                          variables.set(name, value);
                                      }
                                  });
        std::string text = interpreter::renderRoot(nodes_, root);
        Environment::recycleRoot(std::move(root));
        return text;
    }
    for (const auto& [name, value] : context) {
        environment->set(name, value);
    }
    return Interpreter::interpret(nodes_, environment);
}

std::size_t Template::hashValue() const {
    Hasher hasher;
    templates::hashInto(hasher, nodes_);
    return static_cast<std::size_t>(hasher.finalize());
}

}  // namespace templates
