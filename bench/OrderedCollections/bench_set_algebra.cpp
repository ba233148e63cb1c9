// Union, intersection and subtraction of two 100k-member sets that share half their members:
// OrderedSet next to the same work done on std::unordered_set (copy and insert, or filter into a
// new set). Integer members drawn at random.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <unordered_set>
#include <vector>

#include "orderedcollections/OrderedSet.h"

namespace {

constexpr std::size_t kCount = 100'000;

// Two member lists of kCount each, the second sharing its first half with the first list.
struct Operands {
    std::vector<std::uint64_t> a;
    std::vector<std::uint64_t> b;
    Operands() {
        std::mt19937_64 rng(42);
        std::unordered_set<std::uint64_t> seen;
        const auto fresh = [&] {
            for (;;) {
                const std::uint64_t x = rng();
                if (seen.insert(x).second) {
                    return x;
                }
            }
        };
        for (std::size_t i = 0; i < kCount; ++i) {
            a.push_back(fresh());
        }
        b.assign(a.begin(), a.begin() + kCount / 2);
        for (std::size_t i = kCount / 2; i < kCount; ++i) {
            b.push_back(fresh());
        }
        std::shuffle(b.begin(), b.end(), rng);
    }
};

const Operands& operands() {
    static const Operands shared;
    return shared;
}

using Ordered = ordered::OrderedSet<std::uint64_t>;
using Unordered = std::unordered_set<std::uint64_t>;

enum class Operation { unionOf, intersection, subtracting };

template <Operation op>
void BM_Ordered(benchmark::State& state) {
    const Ordered a(operands().a.begin(), operands().a.end());
    const Ordered b(operands().b.begin(), operands().b.end());
    for (auto _ : state) {
        if constexpr (op == Operation::unionOf) {
            benchmark::DoNotOptimize(a.union_(b));
        } else if constexpr (op == Operation::intersection) {
            benchmark::DoNotOptimize(a.intersection(b));
        } else {
            benchmark::DoNotOptimize(a.subtracting(b));
        }
    }
}

template <Operation op>
void BM_Unordered(benchmark::State& state) {
    const Unordered a(operands().a.begin(), operands().a.end());
    const Unordered b(operands().b.begin(), operands().b.end());
    for (auto _ : state) {
        if constexpr (op == Operation::unionOf) {
            Unordered result = a;
            result.insert(b.begin(), b.end());
            benchmark::DoNotOptimize(result);
        } else {
            Unordered result;
            for (const std::uint64_t x : a) {
                if (b.contains(x) == (op == Operation::intersection)) {
                    result.insert(x);
                }
            }
            benchmark::DoNotOptimize(result);
        }
    }
}

BENCHMARK_TEMPLATE(BM_Ordered, Operation::unionOf)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Unordered, Operation::unionOf)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Ordered, Operation::intersection)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Unordered, Operation::intersection)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Ordered, Operation::subtracting)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Unordered, Operation::subtracting)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
