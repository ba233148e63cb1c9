#include "templates/Lexer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <unordered_map>
#include <utility>

#include "Operators.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

using Kind = Token::Kind;

// A text cut into characters (extended grapheme clusters).
class Characters {
public:
    explicit Characters(std::string_view text)
        : text_(text), bounds_(unicode::graphemeBoundaries(text)) {}

    std::size_t count() const { return bounds_.size() - 1; }
    std::string_view at(std::size_t i) const {
        return text_.substr(bounds_[i], bounds_[i + 1] - bounds_[i]);
    }
    // Characters [from, to) as one slice of the text.
    std::string_view slice(std::size_t from, std::size_t to) const {
        return text_.substr(bounds_[from], bounds_[to] - bounds_[from]);
    }
    bool is(std::size_t i, char c) const {
        return i < count() && bounds_[i + 1] - bounds_[i] == 1 && text_[bounds_[i]] == c;
    }
    bool isWhitespace(std::size_t i) const {
        return unicode::isWhitespace(unicode::firstScalar(at(i)));
    }
    // First position at or after i that is not whitespace.
    std::size_t skipWhitespace(std::size_t i) const {
        while (i < count() && isWhitespace(i)) {
            ++i;
        }
        return i;
    }

private:
    std::string_view text_;
    std::vector<std::size_t> bounds_;
};

// --- Whitespace control -------------------------------------------------------------------

// "-" followed by the two characters of a closing marker, then any whitespace: the marker alone
// remains.
std::string trimAfterCloser(const std::string& text, char first, char second) {
    const char marker[] = {'-', first, second, '\0'};
    if (text.find(marker) == std::string::npos) {
        return text;
    }
    const Characters chars(text);
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < chars.count()) {
        if (chars.is(i, '-') && chars.is(i + 1, first) && chars.is(i + 2, second)) {
            out += first;
            out += second;
            i = chars.skipWhitespace(i + 3);
        } else {
            out += chars.at(i);
            ++i;
        }
    }
    return out;
}

bool opensAt(const Characters& chars, std::size_t i, char second) {
    return chars.is(i, '{') && chars.is(i + 1, second) && chars.is(i + 2, '-');
}

// The two rewrites of the whitespace before an opening marker "{" second "-" that look at the
// character before that whitespace:
//  - afterBrace: "{", at least one blank, the marker: one blank stays between the two braces;
//  - afterOther: any character but "{", any blanks, the marker: the character stays.
// The whitespace and the marker's "-" go.
enum class Before { afterBrace, afterOther };

std::string trimBeforeOpener(const std::string& text, char second, Before before) {
    const Characters chars(text);
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < chars.count()) {
        const bool brace = chars.is(i, '{');
        const bool candidate = before == Before::afterBrace
                                   ? brace && i + 1 < chars.count() && chars.isWhitespace(i + 1)
                                   : !brace;
        if (!candidate) {
            out += chars.at(i);
            ++i;
            continue;
        }
        const std::size_t end = chars.skipWhitespace(i + 1);
        if (opensAt(chars, end, second)) {
            out += before == Before::afterBrace ? std::string_view("{ ") : chars.at(i);
            out += '{';
            out += second;
            i = end + 3;
            continue;
        }
        // No match starts before `end`: every earlier start sees the same blanks followed by
        // the same character that opens no marker.
        out += chars.slice(i, end);
        i = end;
    }
    return out;
}

// Whitespace at the very start followed by an opening marker: all of it goes. This runs before
// the afterOther rewrite, which would otherwise keep the first blank as its "character before".
std::string trimLeadingOpener(const std::string& text, char second) {
    const Characters chars(text);
    const std::size_t end = chars.skipWhitespace(0);
    if (!opensAt(chars, end, second)) {
        return text;
    }
    std::string out = {'{', second};
    out += chars.slice(end + 3, chars.count());
    return out;
}

std::string rewriteOpener(std::string text, char second) {
    const char marker[] = {'{', second, '-', '\0'};
    if (text.find(marker) == std::string::npos) {
        return text;
    }
    text = trimBeforeOpener(text, second, Before::afterBrace);
    text = trimLeadingOpener(text, second);
    return trimBeforeOpener(text, second, Before::afterOther);
}

// --- Tables -------------------------------------------------------------------------------

const std::unordered_map<std::string_view, Kind>& keywords() {
    static const std::unordered_map<std::string_view, Kind> table = {
        {"if", Kind::if_},
        {"else", Kind::else_},
        {"elif", Kind::elif},
        {"endif", Kind::endif},
        {"for", Kind::for_},
        {"endfor", Kind::endfor},
        {"in", Kind::in},
        {"not", Kind::not_},
        {"and", Kind::and_},
        {"or", Kind::or_},
        {"is", Kind::is},
        {"set", Kind::set},
        {"endset", Kind::endset},
        {"macro", Kind::macro},
        {"endmacro", Kind::endmacro},
        {"true", Kind::boolean},
        {"false", Kind::boolean},
        {"null", Kind::null},
        {"none", Kind::null},
        {"break", Kind::break_},
        {"continue", Kind::continue_},
        {"call", Kind::call},
        {"endcall", Kind::endcall},
        {"filter", Kind::filter},
        {"endfilter", Kind::endfilter},
        {"generation", Kind::generation},
        {"endgeneration", Kind::endgeneration},
        {"True", Kind::boolean},
        {"False", Kind::boolean},
        {"None", Kind::null},
    };
    return table;
}

const std::unordered_map<std::string_view, Kind>& operators() {
    static const std::unordered_map<std::string_view, Kind> table = [] {
        std::unordered_map<std::string_view, Kind> symbols{{"=", Kind::equals}, {"|", Kind::pipe}};
        // The operators written as words are keywords.
        for (const BinaryOperator& row : binaryOperators) {
            if (!std::isalpha(static_cast<unsigned char>(row.text[0]))) {
                symbols.emplace(row.text, row.token);
            }
        }
        return symbols;
    }();
    return table;
}

Kind punctuation(char c, bool& found) {
    found = true;
    switch (c) {
        case '(':
            return Kind::openParen;
        case ')':
            return Kind::closeParen;
        case '[':
            return Kind::openBracket;
        case ']':
            return Kind::closeBracket;
        case '{':
            return Kind::openBrace;
        case '}':
            return Kind::closeBrace;
        case ',':
            return Kind::comma;
        case '.':
            return Kind::dot;
        case ':':
            return Kind::colon;
        case '|':
            return Kind::pipe;
        default:
            found = false;
            return Kind::eof;
    }
}

// --- Scanning -----------------------------------------------------------------------------

class Scanner {
public:
    explicit Scanner(std::string text)
        : source_(std::make_shared<const std::string>(std::move(text))), chars_(*source_) {}

    std::vector<Token> run() {
        std::vector<Token> tokens;
        tokens.reserve(chars_.count() / 4);
        std::size_t i = 0;
        bool inTag = false;
        std::int64_t depth = 0;
        while (i < chars_.count()) {
            if (inTag) {
                i = chars_.skipWhitespace(i);
                if (i == chars_.count()) {
                    break;
                }
            }
            auto [token, next] = extractToken(i, inTag, depth);
            switch (token.kind()) {
                case Kind::openExpression:
                case Kind::openStatement:
                    inTag = true;
                    depth = 0;
                    break;
                case Kind::closeExpression:
                case Kind::closeStatement:
                    inTag = false;
                    break;
                case Kind::openBrace:
                    ++depth;
                    break;
                case Kind::closeBrace:
                    --depth;
                    break;
                default:
                    break;
            }
            tokens.push_back(std::move(token));
            i = next;
        }
        tokens.emplace_back(Kind::eof, std::string(), static_cast<std::int64_t>(chars_.count()));
        return tokens;
    }

private:
    using Extracted = std::pair<Token, std::size_t>;

    Extracted slice(Kind kind, std::size_t from, std::size_t to) const {
        return {Token(kind, source_, chars_.slice(from, to), static_cast<std::int64_t>(from)), to};
    }

    Extracted extractToken(std::size_t i, bool inTag, std::int64_t depth) const {
        if (chars_.is(i, '{')) {
            if (chars_.is(i + 1, '{')) {
                return slice(Kind::openExpression, i, i + 2);
            }
            if (chars_.is(i + 1, '%')) {
                return slice(Kind::openStatement, i, i + 2);
            }
            if (chars_.is(i + 1, '#')) {
                return extractComment(i);
            }
        }
        if (!inTag) {
            return extractText(i);
        }
        if (depth == 0 && chars_.is(i, '}') && chars_.is(i + 1, '}')) {
            return slice(Kind::closeExpression, i, i + 2);
        }
        if (chars_.is(i, '%') && chars_.is(i + 1, '}')) {
            return slice(Kind::closeStatement, i, i + 2);
        }
        const std::string_view current = chars_.at(i);
        if (current.size() == 1) {
            bool found = false;
            const Kind kind = punctuation(current[0], found);
            if (found) {
                return slice(kind, i, i + 1);
            }
        }
        for (const std::size_t length : {std::size_t{2}, std::size_t{1}}) {
            const std::size_t end = std::min(i + length, chars_.count());
            const auto hit = operators().find(chars_.slice(i, end));
            if (hit != operators().end()) {
                return slice(hit->second, i, end);
            }
        }
        if (chars_.is(i, '\'') || chars_.is(i, '"')) {
            return extractString(i, current[0]);
        }
        const char32_t scalar = unicode::firstScalar(current);
        if (unicode::isNumber(scalar)) {
            return extractNumber(i, !(i > 0 && chars_.is(i - 1, '.')));
        }
        if (unicode::isLetter(scalar) || chars_.is(i, '_')) {
            return extractIdentifier(i);
        }
        throw TemplateError::lexer(
            fmt::format("Unexpected character '{}' at position {}", current, i));
    }

    bool startsTag(std::size_t i) const {
        return chars_.is(i, '{') &&
               (chars_.is(i + 1, '{') || chars_.is(i + 1, '%') || chars_.is(i + 1, '#'));
    }

    Extracted extractText(std::size_t i) const {
        std::size_t end = i;
        while (end < chars_.count() && !startsTag(end)) {
            ++end;
        }
        return slice(Kind::text, i, end);
    }

    Extracted extractComment(std::size_t i) const {
        for (std::size_t j = i + 2; j < chars_.count(); ++j) {
            if (chars_.is(j, '#') && chars_.is(j + 1, '}')) {
                return {Token(Kind::comment, source_, chars_.slice(i + 2, j),
                              static_cast<std::int64_t>(i)),
                        j + 2};
            }
        }
        throw TemplateError::lexer(fmt::format("Unclosed comment at position {}", i));
    }

    Extracted extractString(std::size_t i, char delimiter) const {
        std::string content;
        std::size_t j = i + 1;
        while (j < chars_.count()) {
            if (chars_.is(j, delimiter)) {
                return {Token(Kind::string, std::move(content), static_cast<std::int64_t>(i)),
                        j + 1};
            }
            if (chars_.is(j, '\\')) {
                if (j + 1 >= chars_.count()) {
                    break;
                }
                content += escaped(chars_.at(j + 1));
                j += 2;
                continue;
            }
            content += chars_.at(j);
            ++j;
        }
        throw TemplateError::lexer(fmt::format("Unclosed string at position {}", i));
    }

    static std::string_view escaped(std::string_view c) {
        if (c.size() == 1) {
            switch (c[0]) {
                case 'n':
                    return "\n";
                case 't':
                    return "\t";
                case 'r':
                    return "\r";
                case 'b':
                    return "\b";
                case 'f':
                    return "\f";
                case 'v':
                    return "\v";
                default:
                    break;
            }
        }
        // A backslash, a quote or any other character stands for itself.
        return c;
    }

    Extracted extractNumber(std::size_t i, bool allowsFraction) const {
        std::size_t end = i;
        bool seenDot = false;
        while (end < chars_.count()) {
            if (chars_.is(end, '.')) {
                if (!allowsFraction || seenDot) {
                    break;
                }
                seenDot = true;
            } else if (!unicode::isNumber(unicode::firstScalar(chars_.at(end)))) {
                break;
            }
            ++end;
        }
        return slice(Kind::number, i, end);
    }

    Extracted extractIdentifier(std::size_t i) const {
        std::size_t end = i;
        while (end < chars_.count()) {
            const char32_t scalar = unicode::firstScalar(chars_.at(end));
            if (!(unicode::isLetter(scalar) || unicode::isNumber(scalar) || chars_.is(end, '_'))) {
                break;
            }
            ++end;
        }
        const auto word = chars_.slice(i, end);
        const auto hit = keywords().find(word);
        return slice(hit == keywords().end() ? Kind::identifier : hit->second, i, end);
    }

    std::shared_ptr<const std::string> source_;
    Characters chars_;
};

}  // namespace

std::string Lexer::preprocess(std::string_view source) {
    std::string text = unicode::repairedUtf8(source);
    text = trimAfterCloser(text, '%', '}');
    text = trimAfterCloser(text, '}', '}');
    text = trimAfterCloser(text, '#', '}');
    text = rewriteOpener(std::move(text), '%');
    text = rewriteOpener(std::move(text), '{');
    text = rewriteOpener(std::move(text), '#');
    return text;
}

std::vector<Token> Lexer::tokenize(std::string_view source) {
    return Scanner(preprocess(source)).run();
}

}  // namespace templates
