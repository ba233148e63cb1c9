#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TextTable.h"

namespace tokenizers {

// The tokens of recent short pieces, as the places where the piece is cut: a direct-mapped table
// (a newer piece simply takes the slot of an older one) split into shards with a lock each, so
// that threads sharing a tokenizer seldom wait for one another. Nothing is allocated per entry.
// Only pieces whose tokens are the piece itself, cut into parts, are kept; others (byte
// fallback, blanks that vanish) are recomputed every time. A model that caches must give the
// same tokens for the same piece every time, so caching changes no result.
class PieceCache {
public:
    static constexpr std::size_t maxPieceBytes = 40;
    static constexpr std::size_t maxTokens = 14;

    // Appends the tokens of `piece` to `tokens`: the cached ones, or those that `uncached`
    // appends (which are then kept when they can be).
    template <class F>
    void tokenize(std::string_view piece, std::vector<std::string>& tokens, F&& uncached) const {
        if (piece.size() > maxPieceBytes) {
            uncached();
            return;
        }
        const std::uint64_t hash = TextTable::hash(piece);
        if (appendTo(piece, hash, tokens))
            return;
        const std::size_t start = tokens.size();
        uncached();
        store(piece, hash, std::span<const std::string>(tokens).subspan(start));
    }

private:
    bool appendTo(std::string_view piece, std::uint64_t hash,
                  std::vector<std::string>& tokens) const {
        Shard& shard = shardOf(hash);
        std::lock_guard lock(shard.mutex);
        if (!shard.entries)
            return false;
        const Entry& e = (*shard.entries)[slotOf(hash)];
        if (e.hash != hash || e.length != piece.size() ||
            std::memcmp(e.piece, piece.data(), piece.size()) != 0) {
            return false;
        }
        std::size_t start = 0;
        for (std::size_t i = 0; i < e.count; ++i) {
            tokens.emplace_back(piece.substr(start, e.ends[i] - start));
            start = e.ends[i];
        }
        return true;
    }

    void store(std::string_view piece, std::uint64_t hash,
               std::span<const std::string> pieceTokens) const {
        if (pieceTokens.size() > maxTokens)
            return;
        Entry e;
        e.hash = hash;
        e.length = static_cast<std::uint8_t>(piece.size());
        e.count = static_cast<std::uint8_t>(pieceTokens.size());
        std::size_t end = 0;
        for (std::size_t i = 0; i < pieceTokens.size(); ++i) {
            const std::string& t = pieceTokens[i];
            if (piece.substr(end, t.size()) != t)
                return;
            end += t.size();
            e.ends[i] = static_cast<std::uint8_t>(end);
        }
        if (end != piece.size())
            return;
        std::memcpy(e.piece, piece.data(), piece.size());
        Shard& shard = shardOf(hash);
        std::lock_guard lock(shard.mutex);
        if (!shard.entries)
            shard.entries = std::make_unique<std::array<Entry, slotsPerShard>>();
        (*shard.entries)[slotOf(hash)] = e;
    }

    static constexpr std::size_t shardCount = 16;
    static constexpr std::size_t slotsPerShard = 2048;
    struct Entry {
        std::uint64_t hash = 0;
        std::uint8_t length = 0xFF;  // no piece is this long: the slot is empty
        std::uint8_t count = 0;
        std::uint8_t ends[maxTokens] = {};
        char piece[maxPieceBytes] = {};
    };
    // A shard's slots are made by its first store: a tokenizer that only decodes (as a
    // transcription does) never pays for them.
    struct Shard {
        std::mutex mutex;
        std::unique_ptr<std::array<Entry, slotsPerShard>> entries;
    };

    Shard& shardOf(std::uint64_t hash) const { return shards_[hash % shardCount]; }
    static std::size_t slotOf(std::uint64_t hash) { return (hash >> 8) % slotsPerShard; }

    mutable std::array<Shard, shardCount> shards_;
};

}  // namespace tokenizers
