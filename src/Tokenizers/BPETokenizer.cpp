#include "tokenizers/BPETokenizer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <queue>
#include <span>

#include "BPEParts.h"
#include "PieceCache.h"
#include "TextTable.h"
#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

constexpr std::uint32_t noSymbol = std::numeric_limits<std::uint32_t>::max();
constexpr int noId = std::numeric_limits<int>::min();
constexpr std::uint32_t smallCodePointLimit = 0x300;
// Up to this many symbols the merge loop rescans the piece after each merge; longer pieces
// (long runs of one script or of spaces) go through a queue so that their cost stays n log n.
constexpr std::size_t passLimit = 48;

std::string canonical(std::string_view text) {
    return unicode::normalized(text, unicode::NormalizationForm::nfc);
}

// Open-addressing map from a pair of symbol ids to the merge's rank and the id of its result.
class PairRanks {
public:
    struct Merge {
        std::uint32_t rank;
        std::uint32_t merged;
    };

    void reserve(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < expected * 2)
            capacity *= 2;
        slots_.assign(capacity, Slot{emptyKey, {}});
        mask_ = capacity - 1;
    }

    void set(std::uint32_t a, std::uint32_t b, Merge m) {
        const std::uint64_t key = (std::uint64_t{a} << 32) | b;
        for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == emptyKey || slots_[i].key == key) {
                slots_[i] = Slot{key, m};
                return;
            }
        }
    }

    const Merge* find(std::uint32_t a, std::uint32_t b) const {
        if (a == noSymbol || b == noSymbol)
            return nullptr;
        const std::uint64_t key = (std::uint64_t{a} << 32) | b;
        for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key)
                return &slots_[i].merge;
            if (slots_[i].key == emptyKey)
                return nullptr;
        }
    }

private:
    static constexpr std::uint64_t emptyKey = std::numeric_limits<std::uint64_t>::max();
    struct Slot {
        std::uint64_t key;
        Merge merge;
    };
    std::size_t slot(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

// UTF-16 code units to UTF-8, unpaired surrogates as U+FFFD.
void appendUtf16(std::string& out, std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        utf8::append(out, c);
    }
}

}  // namespace

// Everything the model looks up. Symbols (the texts that merges name) are interned under their
// canonical form, so that pairs compare under canonical equivalence with one integer comparison.
struct BPETokenizer::Tables {
    TextTable symbolIds;
    std::string symbolArena;  // canonical texts of the symbols, by id
    std::vector<std::pair<std::uint32_t, std::uint32_t>> symbolSpans;
    std::vector<std::uint32_t> smallSymbolIds;  // by code point, below U+0300
    PairRanks pairRanks;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pendingMerges;  // in rank order

    TextTable vocabulary;
    // The vocabulary id of each symbol's canonical text (or `noId`), so that text already in
    // canonical form finds its id without hashing.
    std::vector<int> symbolVocabularyIds;
    std::vector<std::string_view> denseTokens;  // by id, when the ids are dense
    std::unordered_map<int, std::string_view> sparseTokens;
    bool dense = false;

    // Merges of a description read from its text, interned on first use: decoding, which is all
    // a transcription needs, never reads them.
    std::optional<BPEParts> lazyMerges;
    std::once_flag mergesBuilt;

    void ensureMerges() {
        std::call_once(mergesBuilt, [&] {
            if (!lazyMerges)
                return;
            symbolIds.reserve(lazyMerges->merges.size());
            std::vector<std::string_view> texts;
            for (const auto& [first, count] : lazyMerges->merges) {
                texts.clear();
                for (std::uint32_t i = first; i < first + count; ++i)
                    texts.push_back(lazyMerges->text(i));
                addMerge(texts.data(), texts.size());
            }
            lazyMerges.reset();
            finishMerges();
            linkSymbols();
        });
    }

    std::string_view symbolText(std::uint32_t id) const {
        return std::string_view(symbolArena).substr(symbolSpans[id].first, symbolSpans[id].second);
    }

    std::uint32_t intern(std::string_view text) {
        std::string buffer;
        const std::string_view key = canonicalView(text, buffer);
        if (const int* id = symbolIds.find(key))
            return static_cast<std::uint32_t>(*id);
        const auto id = static_cast<std::uint32_t>(symbolSpans.size());
        symbolSpans.emplace_back(static_cast<std::uint32_t>(symbolArena.size()),
                                 static_cast<std::uint32_t>(key.size()));
        symbolArena.append(key);
        symbolIds.insert(key, static_cast<int>(id));
        return id;
    }

    static std::string_view canonicalView(std::string_view text, std::string& buffer) {
        if (unicode::isBelowCombiningMarks(text))
            return text;
        buffer = canonical(text);
        return buffer;
    }

    // Merges are added in rank order; entries with fewer than two texts keep their rank unused.
    void addMerge(const std::string_view* texts, std::size_t count) {
        if (count < 2) {
            pendingMerges.emplace_back(noSymbol, noSymbol);
        } else {
            pendingMerges.emplace_back(intern(texts[0]), intern(texts[1]));
        }
    }

    void finishMerges() {
        pairRanks.reserve(pendingMerges.size());
        std::string joined, buffer;
        for (std::size_t rank = 0; rank < pendingMerges.size(); ++rank) {
            const auto [a, b] = pendingMerges[rank];
            if (a == noSymbol)
                continue;
            // Every merge result gets an id, so that its vocabulary id can be looked up by it.
            joined.assign(symbolText(a));
            joined.append(symbolText(b));
            pairRanks.set(a, b, {static_cast<std::uint32_t>(rank), intern(joined)});
        }
        pendingMerges = {};
        smallSymbolIds.assign(smallCodePointLimit, noSymbol);
        std::string text;
        for (char32_t c = 0; c < smallCodePointLimit; ++c) {
            text.clear();
            utf8::append(text, c);
            if (const int* id = symbolIds.find(text))
                smallSymbolIds[c] = static_cast<std::uint32_t>(*id);
        }
    }

    void linkSymbols() {
        symbolVocabularyIds.resize(symbolSpans.size());
        for (std::size_t id = 0; id < symbolSpans.size(); ++id) {
            const int* v = vocabulary.find(symbolText(static_cast<std::uint32_t>(id)));
            symbolVocabularyIds[id] = v ? *v : noId;
        }
    }

    void finishVocabulary() {
        long long lowest = 0, highest = -1;
        vocabulary.forEach([&](std::string_view, int id) {
            lowest = std::min<long long>(lowest, id);
            highest = std::max<long long>(highest, id);
        });
        dense = lowest >= 0 && highest < static_cast<long long>(vocabulary.size()) * 2 + 1024;
        // Two texts with one id: keep the one that sorts first, whatever the table's order.
        const auto keep = [](std::string_view& slot, std::string_view text) {
            if (slot.data() == nullptr || text < slot)
                slot = text;
        };
        linkSymbols();
        if (dense)
            denseTokens.assign(static_cast<std::size_t>(highest + 1), std::string_view());
        vocabulary.forEach([&](std::string_view text, int id) {
            keep(dense ? denseTokens[static_cast<std::size_t>(id)] : sparseTokens[id], text);
        });
    }
};

BPETokenizer::BPETokenizer(TextToId vocabulary, const std::vector<std::vector<std::string>>& merges,
                           SpecialTokens specialTokens)
    : BPETokenizer(
          [&] {
              auto tables = std::make_unique<Tables>();
              std::vector<std::string_view> texts;
              for (const auto& merge : merges) {
                  texts.assign(merge.begin(), merge.end());
                  tables->addMerge(texts.data(), texts.size());
              }
              tables->finishMerges();
              tables->vocabulary.reserve(vocabulary.size());
              for (const auto& [text, id] : vocabulary)
                  tables->vocabulary.insert(text, id);
              tables->finishVocabulary();
              return tables;
          }(),
          std::move(specialTokens)) {}

BPETokenizer::BPETokenizer(std::unique_ptr<Tables> tables, SpecialTokens specialTokens)
    : tables_(std::move(tables)), cache_(std::make_unique<PieceCache>()) {
    special_.bosToken = std::move(specialTokens.bosToken);
    special_.eosToken = std::move(specialTokens.eosToken);
    special_.unknownToken = std::move(specialTokens.unknownToken);
    special_.fuseUnknownTokens = specialTokens.fuseUnknownTokens;
    const auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int> {
        if (!token)
            return std::nullopt;
        return vocabularyId(*token);
    };
    special_.unknownTokenId = idOf(special_.unknownToken);
    special_.bosTokenId = idOf(special_.bosToken);
    special_.eosTokenId = idOf(special_.eosToken);
}

BPETokenizer::~BPETokenizer() = default;

std::uint32_t BPETokenizer::symbolId(std::string_view cluster) const {
    std::size_t i = 0;
    const char32_t first = utf8::decode(cluster, i);
    if (i == cluster.size() && first < smallCodePointLimit)
        return tables_->smallSymbolIds[first];
    const int* id = tables_->symbolIds.find(canonical(cluster));
    return id ? static_cast<std::uint32_t>(*id) : noSymbol;
}

void BPETokenizer::mergeSymbols(std::string_view piece, std::vector<Symbol>& symbols) const {
    tables_->ensureMerges();
    symbols.clear();
    if (piece.empty())
        return;
    const auto begin = [&](std::string_view cluster) {
        return static_cast<std::uint32_t>(cluster.data() - piece.data());
    };
    if (unicode::isBelowCombiningMarks(piece)) {
        symbols.reserve(piece.size());
        for (std::size_t i = 0; i < piece.size();) {
            const std::size_t start = i;
            const char32_t c = utf8::decode(piece, i);
            if (c == U'\r' && i < piece.size() && piece[i] == '\n') {
                ++i;
                symbols.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(i),
                                   symbolId("\r\n")});
            } else {
                symbols.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(i),
                                   tables_->smallSymbolIds[c]});
            }
        }
    } else {
        for (std::string_view cluster : unicode::graphemeClusters(piece)) {
            symbols.push_back({begin(cluster),
                               static_cast<std::uint32_t>(begin(cluster) + cluster.size()),
                               symbolId(cluster)});
        }
    }
    if (symbols.size() > passLimit) {
        mergeWithQueue(symbols);
    } else {
        mergeInPasses(symbols);
    }
}

// Repeatedly picks the adjacent pair of lowest rank and merges its occurrences in one
// left-to-right pass; occurrences never overlap (a, a, a with the pair (a, a) gives aa, a).
// The merge of each adjacent pair is looked up once and kept until a neighbour changes.
void BPETokenizer::mergeInPasses(std::vector<Symbol>& symbols) const {
    std::size_t n = symbols.size();
    if (n < 2)
        return;
    const PairRanks::Merge* pairs[passLimit];
    std::size_t origin[passLimit];  // for an unchanged symbol, its position before the pass
    bool changed[passLimit];
    for (std::size_t i = 0; i + 1 < n; ++i) {
        pairs[i] = tables_->pairRanks.find(symbols[i].id, symbols[i + 1].id);
    }
    while (n > 1) {
        const PairRanks::Merge* best = nullptr;
        std::size_t at = 0;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            if (pairs[i] && (!best || pairs[i]->rank < best->rank)) {
                best = pairs[i];
                at = i;
            }
        }
        if (!best)
            break;
        const std::uint32_t left = symbols[at].id, right = symbols[at + 1].id;
        std::size_t w = 0;
        for (std::size_t i = 0; i < n; ++w) {
            if (symbols[i].id == left && i + 1 < n && symbols[i + 1].id == right) {
                symbols[w] = {symbols[i].begin, symbols[i + 1].end, best->merged};
                changed[w] = true;
                i += 2;
            } else {
                symbols[w] = symbols[i];
                changed[w] = false;
                origin[w] = i++;
            }
        }
        // origin[j] >= j, so the pair read here has not been overwritten yet.
        for (std::size_t j = 0; j + 1 < w; ++j) {
            if (!changed[j] && !changed[j + 1] && origin[j + 1] == origin[j] + 1) {
                pairs[j] = pairs[origin[j]];
            } else {
                pairs[j] = tables_->pairRanks.find(symbols[j].id, symbols[j + 1].id);
            }
        }
        n = w;
    }
    symbols.resize(n);
}

// The same merges as mergeInPasses, found through a queue of candidate pairs. All occurrences of
// the lowest rank are collected first and then merged left to right, so a pair that a merge
// creates waits for the next round, exactly as in a rescanning pass.
void BPETokenizer::mergeWithQueue(std::vector<Symbol>& symbols) const {
    constexpr std::uint32_t none = noSymbol;
    struct Node {
        Symbol symbol;
        std::uint32_t prev, next;
        std::uint32_t version;
        bool alive;
    };
    struct Candidate {
        std::uint32_t rank, left, right, leftVersion, rightVersion;
        bool operator>(const Candidate& o) const {
            return rank != o.rank ? rank > o.rank : left > o.left;
        }
    };
    const auto n = static_cast<std::uint32_t>(symbols.size());
    std::vector<Node> nodes(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        nodes[i] = {symbols[i], i == 0 ? none : i - 1, i + 1 == n ? none : i + 1, 0, true};
    }
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue;
    const auto offer = [&](std::uint32_t l, std::uint32_t r) {
        if (l == none || r == none)
            return;
        if (const auto* m = tables_->pairRanks.find(nodes[l].symbol.id, nodes[r].symbol.id)) {
            queue.push({m->rank, l, r, nodes[l].version, nodes[r].version});
        }
    };
    const auto current = [&](const Candidate& c) {
        const Node& l = nodes[c.left];
        const Node& r = nodes[c.right];
        return l.alive && r.alive && l.next == c.right && l.version == c.leftVersion &&
               r.version == c.rightVersion;
    };
    for (std::uint32_t i = 0; i + 1 < n; ++i)
        offer(i, i + 1);

    std::vector<Candidate> round;
    while (!queue.empty()) {
        const std::uint32_t rank = queue.top().rank;
        round.clear();
        while (!queue.empty() && queue.top().rank == rank) {
            if (current(queue.top()))
                round.push_back(queue.top());
            queue.pop();
        }
        if (round.empty())
            continue;
        const std::uint32_t merged =
            tables_->pairRanks
                .find(nodes[round.front().left].symbol.id, nodes[round.front().right].symbol.id)
                ->merged;
        std::vector<std::uint32_t> changed;
        for (const Candidate& c : round) {
            // An earlier merge of this round may have consumed either node.
            if (!current(c))
                continue;
            Node& l = nodes[c.left];
            Node& r = nodes[c.right];
            l.symbol = {l.symbol.begin, r.symbol.end, merged};
            ++l.version;
            l.next = r.next;
            if (r.next != none)
                nodes[r.next].prev = c.left;
            r.alive = false;
            changed.push_back(c.left);
        }
        for (std::uint32_t i : changed) {
            if (!nodes[i].alive)
                continue;
            offer(nodes[i].prev, i);
            offer(i, nodes[i].next);
        }
    }
    symbols.clear();
    for (std::uint32_t i = 0; i != none; i = nodes[i].next)
        symbols.push_back(nodes[i].symbol);
}

std::optional<int> BPETokenizer::vocabularyId(std::string_view text) const {
    if (const int* id = tables_->vocabulary.find(text))
        return *id;
    return std::nullopt;
}

std::string BPETokenizer::bpe(std::string_view token) const {
    std::vector<Symbol> symbols;
    mergeSymbols(token, symbols);
    std::string joined;
    for (const Symbol& s : symbols) {
        if (s.begin > 0)
            joined.push_back(' ');
        joined.append(token.substr(s.begin, s.end - s.begin));
    }
    return joined;
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void BPETokenizer::tokenize(std::string_view text, std::vector<std::string>& tokens) const {
    cache_->tokenize(text, tokens, [&] { tokenizeUncached(text, tokens); });
}

void BPETokenizer::tokenizeUncached(std::string_view text, std::vector<std::string>& tokens) const {
    const auto emit = [&](std::string_view symbol, std::optional<int> id) {
        if (id && (!special_.unknownTokenId || *id != *special_.unknownTokenId)) {
            tokens.emplace_back(symbol);
        } else {
            for (std::string& byte : hexaEncode(symbol))
                tokens.push_back(std::move(byte));
        }
    };
    const bool hasSpace = text.find(' ') != std::string_view::npos;
    // In canonical text a symbol's text is its interned text, whose vocabulary id is known.
    const bool canonicalText = unicode::isBelowCombiningMarks(text);
    // One buffer per thread: this runs once per piece, on the hot path of encoding.
    thread_local std::vector<Symbol> symbols;
    mergeSymbols(text, symbols);
    for (const Symbol& s : symbols) {
        const std::string_view symbol = text.substr(s.begin, s.end - s.begin);
        if (!hasSpace) {
            if (canonicalText && s.id != noSymbol) {
                const int id = tables_->symbolVocabularyIds[s.id];
                emit(symbol, id == noId ? std::nullopt : std::optional<int>(id));
            } else {
                emit(symbol, vocabularyId(symbol));
            }
            continue;
        }
        // A space separates tokens and is never part of one.
        std::size_t start = 0;
        for (std::size_t at = symbol.find(' '); at != std::string_view::npos;
             at = symbol.find(' ', start)) {
            if (at > start)
                emit(symbol.substr(start, at - start),
                     vocabularyId(symbol.substr(start, at - start)));
            start = at + 1;
        }
        if (start < symbol.size())
            emit(symbol.substr(start), vocabularyId(symbol.substr(start)));
    }
}

std::vector<std::string> BPETokenizer::hexaEncode(std::string_view text) {
    // Cutting the text at the pre-tokenization pattern first, as the byte fallback is described,
    // changes nothing: its matches cover every character, so the result is every byte in order.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::vector<std::string> bytes;
    bytes.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        bytes.push_back({'<', '0', 'x', digits[b >> 4], digits[b & 0xF], '>'});
    }
    return bytes;
}

std::optional<int> BPETokenizer::convertTokenToId(std::string_view token) const {
    if (auto id = vocabularyId(token))
        return id;
    return special_.unknownTokenId;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
    if (tables_->dense) {
        if (id < 0 || static_cast<std::size_t>(id) >= tables_->denseTokens.size())
            return std::nullopt;
        const std::string_view token = tables_->denseTokens[static_cast<std::size_t>(id)];
        if (token.data() == nullptr)
            return std::nullopt;
        return std::string(token);
    }
    const auto it = tables_->sparseTokens.find(id);
    if (it == tables_->sparseTokens.end())
        return std::nullopt;
    return std::string(it->second);
}

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(
    const hub::Config* merges) {
    if (merges == nullptr || merges->array() == nullptr)
        return std::nullopt;
    std::vector<std::vector<std::string>> out;
    out.reserve(merges->array()->size());
    for (const hub::Config& entry : *merges->array()) {
        if (const auto* texts = entry.array()) {
            std::vector<std::string>& merge = out.emplace_back();
            for (const hub::Config& t : *texts) {
                if (auto s = t.string())
                    merge.push_back(std::move(*s));
            }
        } else if (const auto text = entry.string()) {
            // The legacy form "a b": split at every space, keeping empty pieces.
            std::vector<std::string>& merge = out.emplace_back();
            std::size_t start = 0;
            for (std::size_t at = text->find(' '); at != std::string::npos;
                 at = text->find(' ', start)) {
                merge.push_back(text->substr(start, at - start));
                start = at + 1;
            }
            merge.push_back(text->substr(start));
        }
    }
    return out;
}

std::unique_ptr<BPETokenizer> BPETokenizer::fromConfig(const hub::Config& tokenizerConfig,
                                                       const hub::Config& tokenizerData,
                                                       const TextToId& addedTokens) {
    const hub::Config model = tokenizerData["model"];
    const hub::Config mergesConfig = model["merges"];
    const hub::Config::Array* merges = mergesConfig.array();
    if (merges == nullptr)
        throw TokenizerError::invalidDescription("BPETokenizer requires merges");
    const hub::Config vocabConfig = model["vocab"];
    const hub::Config::Dictionary* vocab = vocabConfig.dictionary();
    if (vocab == nullptr)
        throw TokenizerError::missingVocab();

    // Straight from the description into the tables: this is most of the time of loading.
    auto tables = std::make_unique<Tables>();
    tables->symbolIds.reserve(merges->size());
    std::vector<std::string> owned;
    std::vector<std::string_view> texts;
    std::string merge;
    for (const hub::Config& entry : *merges) {
        owned.clear();
        if (const auto* list = entry.array()) {
            for (const hub::Config& t : *list) {
                if (auto text = t.string())
                    owned.push_back(std::move(*text));
            }
        } else if (const auto units = entry.binaryDistinctString()) {
            merge.clear();
            appendUtf16(merge, units->value());
            const std::string* text = &merge;
            // The legacy form "a b": split at every space, keeping empty pieces.
            std::size_t start = 0;
            for (std::size_t at = text->find(' '); at != std::string::npos;
                 at = text->find(' ', start)) {
                owned.push_back(text->substr(start, at - start));
                start = at + 1;
            }
            owned.push_back(text->substr(start));
        } else {
            continue;
        }
        texts.assign(owned.begin(), owned.end());
        tables->addMerge(texts.data(), texts.size());
    }
    tables->finishMerges();

    tables->vocabulary.reserve(vocab->size() + addedTokens.size());
    std::string key;
    for (const auto& [text, value] : *vocab) {
        const auto id = value.integer();
        // Ids are ints everywhere downstream; one beyond that range cannot name a token.
        if (!id || *id < std::numeric_limits<int>::min() || *id > std::numeric_limits<int>::max()) {
            continue;
        }
        key.clear();
        appendUtf16(key, text.value());
        tables->vocabulary.insert(key, static_cast<int>(*id));
    }
    for (const auto& [text, id] : addedTokens)
        tables->vocabulary.insert(text, id);
    tables->finishVocabulary();

    return std::unique_ptr<BPETokenizer>(
        new BPETokenizer(std::move(tables), specialTokens(tokenizerConfig)));
}

BPETokenizer::SpecialTokens BPETokenizer::specialTokens(const hub::Config& tokenizerConfig) {
    const auto tokenText = [&](const char* name) -> std::optional<std::string> {
        const hub::Config value = tokenizerConfig[name];
        if (auto text = value.string())
            return text;
        return value["content"].string();
    };
    SpecialTokens special;
    special.unknownToken = tokenText("unkToken");
    special.bosToken = tokenText("bosToken");
    special.eosToken = tokenText("eosToken");
    special.fuseUnknownTokens = tokenizerConfig["fuseUnk"].boolean(false);
    return special;
}

std::unique_ptr<BPETokenizer> BPETokenizer::fromParts(const hub::Config& tokenizerConfig,
                                                      BPEParts parts, const TextToId& addedTokens) {
    auto tables = std::make_unique<Tables>();
    tables->vocabulary.reserve(parts.vocabulary.size() + addedTokens.size());
    for (const auto& [text, id] : parts.vocabulary)
        tables->vocabulary.insert(parts.text(text), id);
    for (const auto& [text, id] : addedTokens)
        tables->vocabulary.insert(text, id);
    tables->finishVocabulary();
    parts.vocabulary = {};
    tables->lazyMerges = std::move(parts);
    return std::unique_ptr<BPETokenizer>(
        new BPETokenizer(std::move(tables), specialTokens(tokenizerConfig)));
}

}  // namespace tokenizers
