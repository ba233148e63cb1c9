#include "tokenizers/BPETokenizer.h"

#include <algorithm>
#include <limits>
#include <queue>

#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

constexpr std::uint32_t noSymbol = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t smallCodePointLimit = 0x300;
// Up to this many symbols the merge loop rescans the piece after each merge; longer pieces
// (long runs of one script or of spaces) go through a queue so that their cost stays n log n.
constexpr std::size_t passLimit = 48;

std::string canonical(std::string_view text) {
    return unicode::normalized(text, unicode::NormalizationForm::nfc);
}

}  // namespace

// Open-addressing map from a pair of symbol ids to the merge's rank and the id of its result.
class BPETokenizer::PairRanks {
public:
    struct Merge {
        std::uint32_t rank;
        std::uint32_t merged;
    };

    explicit PairRanks(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
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
        if (a == noSymbol || b == noSymbol) return nullptr;
        const std::uint64_t key = (std::uint64_t{a} << 32) | b;
        for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return &slots_[i].merge;
            if (slots_[i].key == emptyKey) return nullptr;
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

BPETokenizer::BPETokenizer(TextToId vocabulary,
                           const std::vector<std::vector<std::string>>& merges,
                           SpecialTokens specialTokens)
    : smallSymbolIds_(smallCodePointLimit, noSymbol),
      pairRanks_(std::make_unique<PairRanks>(merges.size())),
      tokensToIds_(std::move(vocabulary)),
      bosToken_(std::move(specialTokens.bosToken)),
      eosToken_(std::move(specialTokens.eosToken)),
      unknownToken_(std::move(specialTokens.unknownToken)),
      fuseUnknownTokens_(specialTokens.fuseUnknownTokens) {
    // Symbols are named by the canonical form of their text, so that pairs compare under
    // canonical equivalence with one integer comparison.
    std::vector<std::string> symbolTexts;
    const auto intern = [&](std::string text) {
        const auto [it, inserted] =
            symbolIds_.try_emplace(std::move(text), static_cast<int>(symbolTexts.size()));
        if (inserted) symbolTexts.push_back(it->first);
        return static_cast<std::uint32_t>(it->second);
    };
    struct Pending {
        std::uint32_t a, b;
    };
    std::vector<Pending> pairs;
    pairs.reserve(merges.size());
    for (const auto& merge : merges) {
        if (merge.size() < 2) {
            pairs.push_back({noSymbol, noSymbol});
            continue;
        }
        pairs.push_back({intern(canonical(merge[0])), intern(canonical(merge[1]))});
    }
    for (std::size_t rank = 0; rank < pairs.size(); ++rank) {
        const auto [a, b] = pairs[rank];
        if (a == noSymbol) continue;
        // The merged text only matters when some merge names it; otherwise it can never merge
        // again and needs no id.
        const auto merged = symbolIds_.find(canonical(symbolTexts[a] + symbolTexts[b]));
        pairRanks_->set(a, b,
                        {static_cast<std::uint32_t>(rank),
                         merged == symbolIds_.end() ? noSymbol
                                                    : static_cast<std::uint32_t>(merged->second)});
    }
    for (char32_t c = 0; c < smallCodePointLimit; ++c) {
        std::string text;
        utf8::append(text, c);
        const auto it = symbolIds_.find(text);
        if (it != symbolIds_.end()) smallSymbolIds_[c] = static_cast<std::uint32_t>(it->second);
    }

    for (const auto& [text, id] : tokensToIds_) {
        // Two texts with one id: keep the one that sorts first, whatever the map's order.
        auto [it, inserted] = idsToTokens_.try_emplace(id, text);
        if (!inserted && text < it->second) it->second = text;
    }
    const auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int> {
        if (!token) return std::nullopt;
        const auto it = tokensToIds_.find(*token);
        if (it == tokensToIds_.end()) return std::nullopt;
        return it->second;
    };
    unknownTokenId_ = idOf(unknownToken_);
    bosTokenId_ = idOf(bosToken_);
    eosTokenId_ = idOf(eosToken_);
}

BPETokenizer::~BPETokenizer() = default;

std::uint32_t BPETokenizer::symbolId(std::string_view cluster) const {
    std::size_t i = 0;
    const char32_t first = utf8::decode(cluster, i);
    if (i == cluster.size() && first < smallCodePointLimit) return smallSymbolIds_[first];
    const auto it = symbolIds_.find(canonical(cluster));
    return it == symbolIds_.end() ? noSymbol : static_cast<std::uint32_t>(it->second);
}

std::vector<BPETokenizer::Symbol> BPETokenizer::mergedSymbols(std::string_view piece) const {
    std::vector<Symbol> symbols;
    if (piece.empty()) return symbols;
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
                symbols.push_back({static_cast<std::uint32_t>(start),
                                   static_cast<std::uint32_t>(i), symbolId("\r\n")});
            } else {
                symbols.push_back({static_cast<std::uint32_t>(start),
                                   static_cast<std::uint32_t>(i), smallSymbolIds_[c]});
            }
        }
    } else {
        for (std::string_view cluster : unicode::graphemeClusters(piece)) {
            symbols.push_back({begin(cluster), static_cast<std::uint32_t>(begin(cluster) +
                                                                          cluster.size()),
                               symbolId(cluster)});
        }
    }
    if (symbols.size() > passLimit) {
        mergeWithQueue(symbols);
    } else {
        mergeInPasses(symbols);
    }
    return symbols;
}

// Repeatedly picks the adjacent pair of lowest rank and merges its occurrences in one
// left-to-right pass; occurrences never overlap (a, a, a with the pair (a, a) gives aa, a).
void BPETokenizer::mergeInPasses(std::vector<Symbol>& symbols) const {
    while (symbols.size() > 1) {
        const PairRanks::Merge* best = nullptr;
        std::uint32_t left = noSymbol, right = noSymbol;
        for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
            const auto* m = pairRanks_->find(symbols[i].id, symbols[i + 1].id);
            if (m && (!best || m->rank < best->rank)) {
                best = m;
                left = symbols[i].id;
                right = symbols[i + 1].id;
            }
        }
        if (!best) return;
        std::size_t w = 0;
        for (std::size_t i = 0; i < symbols.size();) {
            if (symbols[i].id == left && i + 1 < symbols.size() && symbols[i + 1].id == right) {
                symbols[w++] = {symbols[i].begin, symbols[i + 1].end, best->merged};
                i += 2;
            } else {
                symbols[w++] = symbols[i++];
            }
        }
        symbols.resize(w);
    }
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
        if (l == none || r == none) return;
        if (const auto* m = pairRanks_->find(nodes[l].symbol.id, nodes[r].symbol.id)) {
            queue.push({m->rank, l, r, nodes[l].version, nodes[r].version});
        }
    };
    const auto current = [&](const Candidate& c) {
        const Node& l = nodes[c.left];
        const Node& r = nodes[c.right];
        return l.alive && r.alive && l.next == c.right && l.version == c.leftVersion &&
               r.version == c.rightVersion;
    };
    for (std::uint32_t i = 0; i + 1 < n; ++i) offer(i, i + 1);

    std::vector<Candidate> round;
    while (!queue.empty()) {
        const std::uint32_t rank = queue.top().rank;
        round.clear();
        while (!queue.empty() && queue.top().rank == rank) {
            if (current(queue.top())) round.push_back(queue.top());
            queue.pop();
        }
        if (round.empty()) continue;
        const std::uint32_t merged = pairRanks_->find(nodes[round.front().left].symbol.id,
                                                      nodes[round.front().right].symbol.id)
                                         ->merged;
        std::vector<std::uint32_t> changed;
        for (const Candidate& c : round) {
            // An earlier merge of this round may have consumed either node.
            if (!current(c)) continue;
            Node& l = nodes[c.left];
            Node& r = nodes[c.right];
            l.symbol = {l.symbol.begin, r.symbol.end, merged};
            ++l.version;
            l.next = r.next;
            if (r.next != none) nodes[r.next].prev = c.left;
            r.alive = false;
            changed.push_back(c.left);
        }
        for (std::uint32_t i : changed) {
            if (!nodes[i].alive) continue;
            offer(nodes[i].prev, i);
            offer(i, nodes[i].next);
        }
    }
    symbols.clear();
    for (std::uint32_t i = 0; i != none; i = nodes[i].next) symbols.push_back(nodes[i].symbol);
}

std::optional<int> BPETokenizer::vocabularyId(std::string_view text) const {
    const auto it = tokensToIds_.find(text);
    if (it == tokensToIds_.end()) return std::nullopt;
    return it->second;
}

std::string BPETokenizer::bpe(std::string_view token) const {
    std::string joined;
    for (const Symbol& s : mergedSymbols(token)) {
        if (s.begin > 0) joined.push_back(' ');
        joined.append(token.substr(s.begin, s.end - s.begin));
    }
    return joined;
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> tokens;
    const auto emit = [&](std::string_view symbol) {
        const auto id = vocabularyId(symbol);
        if (id && (!unknownTokenId_ || *id != *unknownTokenId_)) {
            tokens.emplace_back(symbol);
        } else {
            for (std::string& byte : hexaEncode(symbol)) tokens.push_back(std::move(byte));
        }
    };
    const bool hasSpace = text.find(' ') != std::string_view::npos;
    for (const Symbol& s : mergedSymbols(text)) {
        const std::string_view symbol = text.substr(s.begin, s.end - s.begin);
        if (!hasSpace) {
            emit(symbol);
            continue;
        }
        // A space separates tokens and is never part of one.
        std::size_t start = 0;
        for (std::size_t at = symbol.find(' '); at != std::string_view::npos;
             at = symbol.find(' ', start)) {
            if (at > start) emit(symbol.substr(start, at - start));
            start = at + 1;
        }
        if (start < symbol.size()) emit(symbol.substr(start));
    }
    return tokens;
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
    if (auto id = vocabularyId(token)) return id;
    return unknownTokenId_;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
    const auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(
    const hub::Config* merges) {
    if (merges == nullptr || merges->array() == nullptr) return std::nullopt;
    std::vector<std::vector<std::string>> out;
    out.reserve(merges->array()->size());
    for (const hub::Config& entry : *merges->array()) {
        if (const auto* texts = entry.array()) {
            std::vector<std::string>& merge = out.emplace_back();
            for (const hub::Config& t : *texts) {
                if (auto s = t.string()) merge.push_back(std::move(*s));
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
    const auto merges = mergesFromConfig(&mergesConfig);
    if (!merges) throw TokenizerError::invalidDescription("BPETokenizer requires merges");
    const hub::Config vocabConfig = model["vocab"];
    const hub::Config::Dictionary* vocab = vocabConfig.dictionary();
    if (vocab == nullptr) throw TokenizerError::missingVocab();

    TextToId tokensToIds;
    tokensToIds.reserve(vocab->size() + addedTokens.size());
    for (const auto& [key, value] : *vocab) {
        const auto id = value.integer();
        // Ids are ints everywhere downstream; one beyond that range cannot name a token.
        if (!id || *id < std::numeric_limits<int>::min() || *id > std::numeric_limits<int>::max()) {
            continue;
        }
        tokensToIds.insert_or_assign(key.string(), static_cast<int>(*id));
    }
    for (const auto& [text, id] : addedTokens) tokensToIds.insert_or_assign(text, id);

    const auto tokenText = [&](const char* key) -> std::optional<std::string> {
        const hub::Config value = tokenizerConfig[key];
        if (auto text = value.string()) return text;
        return value["content"].string();
    };
    SpecialTokens special;
    special.unknownToken = tokenText("unkToken");
    special.bosToken = tokenText("bosToken");
    special.eosToken = tokenText("eosToken");
    special.fuseUnknownTokens = tokenizerConfig["fuseUnk"].boolean(false);
    return std::make_unique<BPETokenizer>(std::move(tokensToIds), *merges, std::move(special));
}

}  // namespace tokenizers
