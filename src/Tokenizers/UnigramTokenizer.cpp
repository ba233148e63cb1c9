#include "tokenizers/UnigramTokenizer.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "PieceCache.h"
#include "TextTable.h"
#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnicodeText.h"

namespace tokenizers {

// The vocabulary as a prefix tree over the pieces' UTF-8 bytes, its edges in one open-addressing
// table keyed by (node, byte): walking from a position costs one probe per byte and stops at the
// first byte that leaves the tree. Node 0 is the root.
class UnigramTokenizer::Tables {
public:
    static constexpr std::uint32_t root = 0;
    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

    explicit Tables(const std::vector<SentencePieceToken>& vocab) {
        std::size_t bytes = 0;
        for (const auto& piece : vocab)
            bytes += piece.token.size();
        reserveEdges(bytes + 1);
        pieceOfNode_.push_back(-1);
        tokensToIds_.reserve(vocab.size());
        for (std::size_t id = 0; id < vocab.size(); ++id) {
            const std::string& text = vocab[id].token;
            tokensToIds_.insert(text, static_cast<int>(id), false);
            std::uint32_t node = root;
            for (char c : text) {
                std::uint32_t next = child(node, c);
                if (next == none) {
                    next = static_cast<std::uint32_t>(pieceOfNode_.size());
                    pieceOfNode_.push_back(-1);
                    addEdge(node, c, next);
                }
                node = next;
            }
            if (node != root && pieceOfNode_[node] < 0)
                pieceOfNode_[node] = static_cast<int>(id);
        }
    }

    std::uint32_t child(std::uint32_t node, char c) const {
        const std::uint64_t key = edgeKey(node, c);
        for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
            if (edges_[i].key == key)
                return edges_[i].child;
            if (edges_[i].key == emptyKey)
                return none;
        }
    }

    // The id of the piece that the path to `node` spells, or -1.
    int piece(std::uint32_t node) const { return pieceOfNode_[node]; }

    const int* id(std::string_view text) const { return tokensToIds_.find(text); }

private:
    static constexpr std::uint64_t emptyKey = std::numeric_limits<std::uint64_t>::max();
    struct Edge {
        std::uint64_t key = emptyKey;
        std::uint32_t child = none;
    };

    static std::uint64_t edgeKey(std::uint32_t node, char c) {
        return (std::uint64_t{node} << 8) | static_cast<unsigned char>(c);
    }
    std::size_t slot(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 24) & mask_;
    }

    // The number of edges is at most the number of bytes of all pieces, known before inserting.
    void reserveEdges(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count * 2)
            capacity *= 2;
        edges_.assign(capacity, Edge{});
        mask_ = capacity - 1;
    }
    void addEdge(std::uint32_t node, char c, std::uint32_t next) {
        const std::uint64_t key = edgeKey(node, c);
        std::size_t i = slot(key);
        while (edges_[i].key != emptyKey)
            i = (i + 1) & mask_;
        edges_[i] = Edge{key, next};
    }

    std::vector<Edge> edges_;
    std::size_t mask_ = 0;
    std::vector<int> pieceOfNode_;
    TextTable tokensToIds_;
};

UnigramTokenizer::Description UnigramTokenizer::read(const hub::Config& tokenizerConfig,
                                                     const hub::Config& tokenizerData) {
    const hub::Config model = tokenizerData["model"];
    const hub::Config vocabConfig = model["vocab"];
    const hub::Config::Array* entries = vocabConfig.array();
    if (entries == nullptr)
        throw TokenizerError::missingVocab();
    Description d;
    d.vocab.reserve(entries->size());
    for (const hub::Config& entry : *entries) {
        const hub::Config::Array* fields = entry.array();
        if (fields == nullptr || fields->empty())
            throw TokenizerError::malformedVocab();
        auto text = fields->front().string();
        const auto score = fields->back().floating();
        if (!text || !score)
            throw TokenizerError::malformedVocab();
        d.vocab.push_back({std::move(*text), *score});
    }
    const auto unknownId = model["unkId"].integer();
    if (!unknownId || *unknownId < 0 || *unknownId >= static_cast<std::int64_t>(d.vocab.size()))
        throw TokenizerError::malformedVocab();
    d.unknownTokenId = static_cast<int>(*unknownId);
    d.eosToken = tokenizerConfig["eosToken"].string();
    return d;
}

UnigramTokenizer::UnigramTokenizer(const hub::Config& tokenizerConfig,
                                   const hub::Config& tokenizerData)
    : UnigramTokenizer(read(tokenizerConfig, tokenizerData)) {}

UnigramTokenizer::UnigramTokenizer(std::vector<SentencePieceToken> vocab, int unknownTokenId,
                                   std::optional<std::string> eosToken)
    : UnigramTokenizer(Description{std::move(vocab), unknownTokenId, std::move(eosToken)}) {}

UnigramTokenizer::UnigramTokenizer(Description d) : vocab_(std::move(d.vocab)) {
    // The beginning token is always a single blank, whatever the configuration names.
    special_.bosToken = " ";
    special_.eosToken = std::move(d.eosToken);
    special_.fuseUnknownTokens = true;
    if (d.unknownTokenId < 0 || static_cast<std::size_t>(d.unknownTokenId) >= vocab_.size())
        throw TokenizerError::malformedVocab();
    for (const SentencePieceToken& piece : vocab_)
        minScore_ = std::min(minScore_, piece.score);
    unknownPiece_ = {vocab_[static_cast<std::size_t>(d.unknownTokenId)].token, minScore_ - 10};
    special_.unknownToken = unknownPiece_.token;
    special_.unknownTokenId = d.unknownTokenId;
    tables_ = std::make_unique<Tables>(vocab_);
    cache_ = std::make_unique<PieceCache>();
    const auto idOf = [&](const std::string& text) -> std::optional<int> {
        const int* id = tables_->id(text);
        return id ? std::optional<int>(*id) : std::nullopt;
    };
    special_.bosTokenId = idOf(*special_.bosToken);
    if (special_.eosToken)
        special_.eosTokenId = idOf(*special_.eosToken);
}

UnigramTokenizer::~UnigramTokenizer() = default;

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void UnigramTokenizer::tokenize(std::string_view text, std::vector<std::string>& tokens) const {
    cache_->tokenize(text, tokens, [&] { tokenizeUncached(text, tokens); });
}

void UnigramTokenizer::tokenizeUncached(std::string_view text,
                                        std::vector<std::string>& tokens) const {
    if (text.empty())
        return;
    // Per character position p: where its characters start, and the best path that ends there
    // (its total, and where its last piece starts). Per byte: the character that starts there.
    struct Best {
        float score;
        std::uint32_t from;
    };
    thread_local std::vector<std::uint32_t> starts;
    thread_local std::vector<std::int32_t> characterAt;
    thread_local std::vector<Best> best;
    starts.clear();
    characterAt.assign(text.size() + 1, -1);
    unicode::forEachCharacter(text, [&](std::string_view character, char32_t) {
        const auto at = static_cast<std::uint32_t>(character.data() - text.data());
        characterAt[at] = static_cast<std::int32_t>(starts.size());
        starts.push_back(at);
    });
    const auto n = static_cast<std::uint32_t>(starts.size());
    characterAt[text.size()] = static_cast<std::int32_t>(n);
    starts.push_back(static_cast<std::uint32_t>(text.size()));

    // Positions are visited in order and every piece ending at q starts before q, so best[q] is
    // final when q is reached; a later candidate replaces it only with a strictly higher total,
    // which keeps the candidate whose last piece starts earliest.
    constexpr std::uint32_t unreached = std::numeric_limits<std::uint32_t>::max();
    best.assign(n + 1, Best{0, unreached});
    best[0].from = 0;
    const auto relax = [&](std::uint32_t q, float score, std::uint32_t p) {
        if (best[q].from == unreached || score > best[q].score)
            best[q] = Best{score, p};
    };
    const float unknownScore = unknownPiece_.score;
    for (std::uint32_t p = 0; p < n; ++p) {
        const float here = best[p].score;
        bool oneCharacterPiece = false;
        std::uint32_t node = Tables::root;
        for (std::size_t at = starts[p]; at < text.size();) {
            node = tables_->child(node, text[at]);
            if (node == Tables::none)
                break;
            const std::int32_t q = characterAt[++at];
            const int id = tables_->piece(node);
            if (q < 0 || id < 0)
                continue;
            oneCharacterPiece = oneCharacterPiece || static_cast<std::uint32_t>(q) == p + 1;
            relax(static_cast<std::uint32_t>(q), here + vocab_[static_cast<std::size_t>(id)].score,
                  p);
        }
        if (!oneCharacterPiece)
            relax(p + 1, here + unknownScore, p);
    }

    const std::size_t first = tokens.size();
    for (std::uint32_t q = n; q > 0; q = best[q].from) {
        const std::uint32_t p = best[q].from;
        tokens.emplace_back(text.substr(starts[p], starts[q] - starts[p]));
    }
    std::reverse(tokens.begin() + static_cast<std::ptrdiff_t>(first), tokens.end());
}

std::optional<int> UnigramTokenizer::convertTokenToId(std::string_view token) const {
    if (const int* id = tables_->id(token))
        return *id;
    return special_.unknownTokenId;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= vocab_.size())
        return std::nullopt;
    return vocab_[static_cast<std::size_t>(id)].token;
}

}  // namespace tokenizers
