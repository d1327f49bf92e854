#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "tt.h"

namespace {

// Keys that share one bucket of a table with the default size.
constexpr uint64_t BUCKETS = 250'000;
constexpr uint64_t K0 = 12345;
constexpr uint64_t K1 = K0 + BUCKETS;
constexpr uint64_t K2 = K0 + 2 * BUCKETS;

const Move M1(12, 28, 1);
const Move M2(6, 21, 0);

TTEntry ProbeOrFail(const TTable& tt, uint64_t key) {
    TTEntry e;
    EXPECT_TRUE(tt.Probe(key, e)) << "key " << key;
    return e;
}

} // namespace

TEST(TTable, FreshTableIsEmpty) {
    TTable tt;
    EXPECT_EQ(tt.buckets.size(), BUCKETS);
    EXPECT_EQ(tt.buckets.size() * sizeof(TTBucket), 8'000'000u);
    EXPECT_EQ(tt.generation, 0);
    EXPECT_EQ(tt.Hashfull(), 0);
    TTEntry e;
    EXPECT_FALSE(tt.Probe(K0, e));
    EXPECT_EQ(SharedTT.buckets.size(), BUCKETS);
}

TEST(TTable, StoreAndProbeRoundTrip) {
    TTable tt;
    tt.WriteEntry(K0, 9, -32760, BOUND_UPPER, M1, true);
    TTEntry e = ProbeOrFail(tt, K0);
    EXPECT_EQ(e.key, K0);
    EXPECT_EQ(e.score, -32760); // mate scores come back unchanged, whatever the ply
    EXPECT_EQ(e.move, M1);
    EXPECT_EQ(e.depth, 9);
    EXPECT_EQ(e.bound, BOUND_UPPER);
    EXPECT_TRUE(e.ttPV);
    EXPECT_EQ(e.generation, 0);
    // Another key of the same bucket is a miss: all 64 bits are compared.
    EXPECT_FALSE(tt.Probe(K1, e));
}

TEST(TTable, DepthAndScoreAreTruncatedToTheirFields) {
    TTable tt;
    tt.WriteEntry(K0, 256, 40000, BOUND_EXACT, M1, false);
    TTEntry e = ProbeOrFail(tt, K0);
    EXPECT_EQ(e.depth, 0);
    EXPECT_EQ(e.score, int16_t(40000));
    tt.WriteEntry(K0, 257, 5, BOUND_EXACT, M1, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).depth, 1);
}

TEST(TTable, SlotChoiceRules) {
    TTable tt;
    TTBucket& bucket = tt.buckets[K0 % BUCKETS];
    // An empty bucket fills entry 1 first, then entry 0.
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    EXPECT_EQ(bucket.entries[1].key, K0);
    EXPECT_EQ(bucket.entries[0].key, 0u);
    tt.WriteEntry(K1, 5, 20, BOUND_EXACT, M2, false);
    EXPECT_EQ(bucket.entries[0].key, K1);
    // Same key goes back to its own slot in either position.
    tt.WriteEntry(K0, 6, 11, BOUND_EXACT, M1, false);
    tt.WriteEntry(K1, 6, 21, BOUND_EXACT, M2, false);
    EXPECT_EQ(bucket.entries[1].score, 11);
    EXPECT_EQ(bucket.entries[0].score, 21);
    // Both slots taken by other keys: the new ttPV store takes entry 0 whatever its depth.
    tt.WriteEntry(K1, 200, 21, BOUND_EXACT, M2, false);
    tt.WriteEntry(K2, 1, 30, BOUND_LOWER, M1, true);
    EXPECT_EQ(bucket.entries[0].key, K2);
    EXPECT_EQ(bucket.entries[1].key, K0);
}

TEST(TTable, ReplacementByWorth) {
    TTable tt;
    TTBucket& bucket = tt.buckets[K0 % BUCKETS];
    tt.WriteEntry(K0, 8, 0, BOUND_EXACT, M1, false); // entry 1
    tt.WriteEntry(K1, 8, 0, BOUND_EXACT, M1, false); // entry 0
    // Equal worth: entry 0 goes.
    tt.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(bucket.entries[0].key, K2);
    EXPECT_EQ(bucket.entries[1].key, K0);
    // Entry 0 now has depth 1; entry 1 depth 8: entry 0 goes again.
    tt.WriteEntry(K1, 3, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(bucket.entries[0].key, K1);
    // The ttPV bonus (+2) makes entry 1 (depth 8, 2 generations old, ttPV) worth
    // 8 - 8 + 2 = 2, below entry 0 (depth 3, current): entry 1 is replaced.
    tt.WriteEntry(K0, 8, 0, BOUND_EXACT, M1, true);
    tt.IncrementGeneration();
    tt.IncrementGeneration();
    tt.WriteEntry(K1, 3, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(bucket.entries[1].key, K2);
    EXPECT_EQ(bucket.entries[0].key, K1);
}

TEST(TTable, AgeWrapsModulo256) {
    TTable tt;
    TTBucket& bucket = tt.buckets[K0 % BUCKETS];
    tt.generation = 250;
    tt.WriteEntry(K0, 10, 0, BOUND_EXACT, M1, false); // entry 1, generation 250
    tt.generation = 4;                                // 10 searches later, wrapped
    tt.WriteEntry(K1, 9, 0, BOUND_EXACT, M1, false);  // entry 0, current
    // Entry 1: 10 - 4 * 10 = -30; entry 0: 9. The old entry goes.
    tt.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(bucket.entries[1].key, K2);
    EXPECT_EQ(bucket.entries[0].key, K1);
}

TEST(TTable, SameKeyKeepRule) {
    TTable tt;
    tt.WriteEntry(K0, 7, 100, BOUND_LOWER, M1, false);
    // Shallower bound of the same search is dropped (7 >= 3 + 4).
    tt.WriteEntry(K0, 3, 50, BOUND_UPPER, M2, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 100);
    tt.WriteEntry(K0, 3, 50, BOUND_LOWER, M2, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 100);
    // One ply closer (7 < 4 + 4) is written.
    tt.WriteEntry(K0, 4, 60, BOUND_LOWER, M2, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 60);
    EXPECT_EQ(ProbeOrFail(tt, K0).depth, 4);

    // An exact result is always written.
    tt.WriteEntry(K0, 20, 1, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 0, 2, BOUND_EXACT, M2, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 2);

    // From an earlier generation the shallow bound is written.
    tt.WriteEntry(K0, 20, 3, BOUND_LOWER, M1, false);
    tt.IncrementGeneration();
    tt.WriteEntry(K0, 3, 4, BOUND_UPPER, M2, false);
    TTEntry e = ProbeOrFail(tt, K0);
    EXPECT_EQ(e.score, 4);
    EXPECT_EQ(e.generation, 1);

    // With ttPV the threshold is depth + 6.
    tt.WriteEntry(K0, 8, 5, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 3, 6, BOUND_LOWER, M1, true); // 8 < 9: written
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 6);
    tt.WriteEntry(K0, 9, 7, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 3, 8, BOUND_LOWER, M1, true); // 9 >= 9: dropped
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 7);
}

TEST(TTable, MoveIsKeptOnSameKeyStoreWithoutMove) {
    TTable tt;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    tt.WriteEntry(K0, 6, 11, BOUND_UPPER, Move(), false);
    TTEntry e = ProbeOrFail(tt, K0);
    EXPECT_EQ(e.move, M1);
    EXPECT_EQ(e.score, 11);
    // A new move replaces it.
    tt.WriteEntry(K0, 6, 12, BOUND_EXACT, M2, false);
    EXPECT_EQ(ProbeOrFail(tt, K0).move, M2);
    // A store of another key into the slot clears the old move.
    TTBucket& bucket = tt.buckets[K0 % BUCKETS];
    tt.WriteEntry(K1, 5, 10, BOUND_EXACT, M1, false); // entry 0
    tt.WriteEntry(K2, 9, 10, BOUND_EXACT, Move(), true);
    EXPECT_EQ(bucket.entries[0].key, K2);
    EXPECT_EQ(ProbeOrFail(tt, K2).move, Move());
}

TEST(TTable, GenerationWrapsAfter256Searches) {
    TTable tt;
    tt.generation = 17;
    for (int i = 0; i < 256; i++) tt.IncrementGeneration();
    EXPECT_EQ(tt.generation, 17);
    tt.generation = 255;
    tt.IncrementGeneration();
    EXPECT_EQ(tt.generation, 0);
}

TEST(TTable, HashfullCountsFirstThousandBuckets) {
    TTable tt;
    for (uint64_t i = 0; i < 10; i++) tt.WriteEntry(i * 100 + 1, 1, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(500 + BUCKETS, 1, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(500, 1, 0, BOUND_EXACT, M1, false); // same bucket: counted once
    tt.WriteEntry(1000, 1, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(123456, 1, 0, BOUND_EXACT, M1, false); // beyond the sample
    EXPECT_EQ(tt.Hashfull(), 11);
    tt.IncrementGeneration(); // old entries still count
    EXPECT_EQ(tt.Hashfull(), 11);
    // Key 0 would mark an empty slot, so bucket 0 gets a key of its own class.
    for (uint64_t i = 0; i < 1000; i++) tt.WriteEntry(i + 7 * BUCKETS, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(tt.Hashfull(), 1000);
}

TEST(TTable, ClearEmptiesAndKeepsGeneration) {
    TTable tt;
    tt.generation = 9;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    tt.Clear();
    TTEntry e;
    EXPECT_FALSE(tt.Probe(K0, e));
    EXPECT_EQ(tt.generation, 9);
    EXPECT_EQ(tt.buckets.size(), BUCKETS);
    EXPECT_EQ(tt.Hashfull(), 0);
}

TEST(TTable, ResizeSizes) {
    EXPECT_EQ(TTable::BucketCount(8), 250'000u);
    EXPECT_EQ(TTable::BucketCount(1), 31'250u);
    EXPECT_EQ(TTable::BucketCount(1024), 32'000'000u);
    EXPECT_EQ(TTable::BucketCount(4.9), 153'125u);
    // Never below what Hashfull samples, whatever the request.
    EXPECT_EQ(TTable::BucketCount(0), 1000u);
    EXPECT_EQ(TTable::BucketCount(-5), 1000u);
    EXPECT_EQ(TTable::BucketCount(std::nan("")), 1000u);
    EXPECT_EQ(TTable::BucketCount(1e30), 0u);

    TTable tt;
    tt.generation = 3;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    ASSERT_TRUE(tt.Resize(1));
    EXPECT_EQ(tt.buckets.size(), 31'250u);
    EXPECT_EQ(tt.generation, 3);
    EXPECT_EQ(tt.Hashfull(), 0);
    TTEntry e;
    EXPECT_FALSE(tt.Probe(K0, e));
    // Keys map modulo the new count.
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    EXPECT_EQ(tt.buckets[K0 % 31'250].entries[1].key, K0);
    ASSERT_TRUE(tt.Resize(8));
    EXPECT_EQ(tt.buckets.size(), BUCKETS);
    ASSERT_TRUE(tt.Resize(0));
    EXPECT_EQ(tt.buckets.size(), 1000u);
}

TEST(TTable, ResizeFailureKeepsTable) {
    TTable tt;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    EXPECT_FALSE(tt.Resize(1e30));
    EXPECT_EQ(tt.buckets.size(), BUCKETS);
    EXPECT_EQ(ProbeOrFail(tt, K0).score, 10);
}

// Readers and writers hammer a few buckets at once. Whatever interleaving happens, a hit
// must carry one of the keys written (never a torn key) and the table must stay usable.
TEST(TTable, ConcurrentAccessIsSafe) {
    TTable tt;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            TTEntry e;
            for (int i = 0; i < 20000; i++) {
                const uint64_t key = K0 + uint64_t((i + t) % 5) * BUCKETS;
                tt.WriteEntry(key, i % 30, i, i % 3, Move(uint16_t(i)), (i & 1) != 0);
                if (tt.Probe(K0 + uint64_t(i % 5) * BUCKETS, e) && (e.key - K0) % BUCKETS != 0) bad = true;
                tt.Hashfull();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(bad.load());
    for (const TTEntry& e : tt.buckets[K0 % BUCKETS].entries) {
        EXPECT_EQ((e.key - K0) % BUCKETS, 0u);
        EXPECT_LT((e.key - K0) / BUCKETS, 5u);
    }
}
