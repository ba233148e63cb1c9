// Lookup and insertion speed of OrderedDictionary next to std::unordered_map, for integer and
// short string keys, from the small objects of the template engine (4 and 16 keys) to a million.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "orderedcollections/OrderedDictionary.h"

namespace {

template <class K>
using Ordered = ordered::OrderedDictionary<K, std::uint64_t>;
template <class K>
using Unordered = std::unordered_map<K, std::uint64_t>;

template <class K>
K makeKey(std::uint64_t random);

template <>
std::uint64_t makeKey<std::uint64_t>(std::uint64_t random) {
    return random;
}

// Identifier-like names of 4 to 12 characters, as in chat-template objects.
template <>
std::string makeKey<std::string>(std::uint64_t random) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz_0123456789";
    std::string key(4 + random % 9, 'x');
    for (char& c : key) {
        random = random * 6364136223846793005ull + 1442695040888963407ull;
        c = letters[(random >> 33) % (sizeof letters - 1)];
    }
    return key;
}

template <class K>
std::vector<K> distinctKeys(std::size_t count) {
    std::mt19937_64 rng(42);
    std::vector<K> keys;
    keys.reserve(count);
    std::unordered_map<K, bool> seen;
    while (keys.size() < count) {
        K key = makeKey<K>(rng());
        if (seen.emplace(key, true).second) {
            keys.push_back(std::move(key));
        }
    }
    return keys;
}

template <class K>
std::uint64_t lookup(const Ordered<K>& map, const K& key) {
    return *map.get(key);
}
template <class K>
std::uint64_t lookup(const Unordered<K>& map, const K& key) {
    return map.find(key)->second;
}

// Small maps are measured over many instances (each with its own key set, and for the ordered
// dictionary its own table seed), so that the result does not hang on one table's clustering.
template <class Map>
void BM_Lookup(benchmark::State& state) {
    using K = typename Map::key_type;
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::size_t instances = std::clamp<std::size_t>(4096 / count, 1, 256);
    const std::vector<K> keys = distinctKeys<K>(count * instances);
    std::vector<Map> maps(instances);
    for (std::size_t m = 0; m < instances; ++m) {
        for (std::size_t i = 0; i < count; ++i) {
            maps[m][keys[m * count + i]] = i;
        }
    }
    // Present keys in random order, so that large maps miss the cache as real lookups would.
    struct Probe {
        const Map* map;
        const K* key;
    };
    std::mt19937_64 rng(7);
    std::vector<Probe> order(4096);
    for (auto& probe : order) {
        const std::size_t m = rng() % instances;
        probe = {&maps[m], &keys[m * count + rng() % count]};
    }
    for (auto _ : state) {
        std::uint64_t sum = 0;
        for (const Probe& probe : order) {
            sum += lookup(*probe.map, *probe.key);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(order.size()));
}

template <class Map>
void BM_Insert(benchmark::State& state) {
    using K = typename Map::key_type;
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::vector<K> keys = distinctKeys<K>(count);
    for (auto _ : state) {
        Map map;
        for (std::size_t i = 0; i < count; ++i) {
            map[keys[i]] = i;
        }
        benchmark::DoNotOptimize(map);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t n : {4, 16, 100, 10'000, 1'000'000}) {
        b->Arg(n);
    }
}

BENCHMARK_TEMPLATE(BM_Lookup, Ordered<std::uint64_t>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Lookup, Unordered<std::uint64_t>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Lookup, Ordered<std::string>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Lookup, Unordered<std::string>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Insert, Ordered<std::uint64_t>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Insert, Unordered<std::uint64_t>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Insert, Ordered<std::string>)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Insert, Unordered<std::string>)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
