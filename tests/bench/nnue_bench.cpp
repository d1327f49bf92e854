// Cost of the evaluation and of the accumulator steps that move making performs.
#include <benchmark/benchmark.h>

#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "perft.h"
#include "utils.h"

namespace {

constexpr std::string_view KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

void Init() {
    static bool done = [] {
        NNUE::LoadNetwork();
        InitAttackTables();
        InitZobristKeys();
        return true;
    }();
    (void)done;
}

Board Load(std::string_view fen) {
    Init();
    Board b;
    b.SetByFen(fen);
    return b;
}

ACC::BucketPair Buckets(const Board& b) {
    return {NNUE::kingBuckets[WHITE][b.KingSquare(WHITE)], NNUE::kingBuckets[BLACK][b.KingSquare(BLACK)]};
}

void BM_Evaluate(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    for (auto _ : state) benchmark::DoNotOptimize(NNUE::Network::Evaluate(b, false));
}
BENCHMARK(BM_Evaluate);

void BM_EvaluateRaw(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    for (auto _ : state) benchmark::DoNotOptimize(NNUE::Network::Evaluate(b, true));
}
BENCHMARK(BM_EvaluateRaw);

// A quiet knight move e5-d3 and back, alternately, so the rows stay hot in the cache.
void BM_AddSub(benchmark::State& state) {
    Board b = Load(KIWIPETE);
    const ACC::BucketPair buckets = Buckets(b);
    bool there = false;
    for (auto _ : state) {
        if (there)
            b.accPair.addSub(false, 36, KNIGHT, 19, KNIGHT, buckets);
        else
            b.accPair.addSub(false, 19, KNIGHT, 36, KNIGHT, buckets);
        there = !there;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AddSub);

// Knight e5 takes f7, applied to a fresh copy of the pair each time.
void BM_AddSubSub(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    const ACC::BucketPair buckets = Buckets(b);
    ACC::AccumulatorPair acc = b.accPair;
    for (auto _ : state) {
        acc.addSubSub(false, 53, KNIGHT, 36, KNIGHT, 53, PAWN, buckets);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AddSubSub);

void BM_AddAddSubSub(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    const ACC::BucketPair buckets = Buckets(b);
    ACC::AccumulatorPair acc = b.accPair;
    for (auto _ : state) {
        acc.addAddSubSub(false, 6, KING, 5, ROOK, 4, KING, 7, ROOK, buckets);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AddAddSubSub);

// Full rebuild of a 32-piece position.
void BM_ResetAccPair(benchmark::State& state) {
    Board b = Load(StartingFen);
    for (auto _ : state) {
        b.ResetAccPair();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ResetAccPair);

// Copy-make of a quiet move, accumulator step included.
void BM_CopyMakeQuiet(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    const Move m(36, 19, QUIET); // Ne5-d3
    for (auto _ : state) {
        Board child = b;
        child.MakeMove(m);
        benchmark::DoNotOptimize(child);
    }
}
BENCHMARK(BM_CopyMakeQuiet);

// The same move made in one pass from the parent, as the search does.
void BM_MakeMoveFromQuiet(benchmark::State& state) {
    const Board b = Load(KIWIPETE);
    const Move m(36, 19, QUIET); // Ne5-d3
    Board child;
    for (auto _ : state) {
        child.MakeMoveFrom(b, m);
        benchmark::DoNotOptimize(child);
    }
}
BENCHMARK(BM_MakeMoveFromQuiet);

// Perft with the network loaded, so the accumulator steps read real weight rows.
void BM_Perft(benchmark::State& state) {
    Board b = Load(state.range(0) == 0 ? StartingFen : KIWIPETE);
    uint64_t leaves = 0;
    for (auto _ : state) leaves += PerftCount(b, int(state.range(1)));
    state.counters["leaves/s"] = benchmark::Counter(double(leaves), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Perft)->Args({0, 5})->Args({1, 4})->Unit(benchmark::kMillisecond);

} // namespace
