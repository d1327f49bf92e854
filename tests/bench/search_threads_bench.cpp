// Total search speed of a timed search from the start position with 1 to 8 threads, each
// thread on its own context as "go" runs them; the total counts every thread's nodes.
// Run: vestrel_microbench --benchmark_filter=SearchThreads (VESTREL_BENCH_MS sets the length).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "search.h"
#include "tt.h"
#include "utils.h"

namespace {

void StartUp() {
    static std::once_flag once;
    std::call_once(once, [] {
        NNUE::LoadNetwork();
        InitAttackTables();
        InitZobristKeys();
        SEARCH::InitLMRTable();
    });
}

int SearchMilliseconds() {
    const char* text = std::getenv("VESTREL_BENCH_MS");
    return text ? std::atoi(text) : 10000;
}

void BM_SearchThreads(benchmark::State& state) {
    StartUp();
    const int threadCount = int(state.range(0));
    Board board;
    board.SetByFen(StartingFen);
    SearchParams params;
    params.movetime = SearchMilliseconds();
    params.wtime = params.btime = params.movetime;
    const auto templateContext = std::make_unique<SEARCH::SearchContext>();

    uint64_t totalNodes = 0;
    double totalSeconds = 0;
    for (auto _ : state) {
        SharedTT.Clear();
        searchStopped.store(false, std::memory_order_relaxed);
        SharedTT.IncrementGeneration();
        std::vector<std::unique_ptr<SEARCH::SearchContext>> contexts;
        for (int i = 0; i < threadCount; i++)
            contexts.push_back(std::make_unique<SEARCH::SearchContext>(*templateContext));
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int i = 0; i < threadCount; i++)
            workers.emplace_back([&, i] {
                Board copy = board;
                SEARCH::SearchPosition<SEARCH::Timed>(copy, params, *contexts[i]);
                // The first thread to finish ends the others, as the reporting thread does.
                searchStopped.store(true, std::memory_order_relaxed);
            });
        for (std::thread& t : workers) t.join();
        totalSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const auto& ctx : contexts) totalNodes += ctx->nodes;
    }
    state.counters["nodes"] = double(totalNodes);
    state.counters["nps"] = double(totalNodes) / totalSeconds;
    state.counters["nps_per_thread"] = double(totalNodes) / totalSeconds / threadCount;
}

BENCHMARK(BM_SearchThreads)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace
