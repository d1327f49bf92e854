#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "tt.h"

namespace {

// Keys of one bucket of a default-size table.
constexpr uint64_t BUCKETS = 250'000;
constexpr uint64_t K0 = 12345, K1 = K0 + BUCKETS, K2 = K0 + 2 * BUCKETS;
const Move M1(12, 28, 1), M2(6, 21, 0);

TTEntry Get(const TTable& tt, uint64_t key) {
    TTEntry e;
    EXPECT_TRUE(tt.Probe(key, e)) << "key " << key;
    return e;
}

uint64_t SlotKey(const TTable& tt, int slot) {
    return tt.buckets[K0 % BUCKETS].entries[slot].key;
}

} // namespace

TEST(TTable, FreshTableAndRoundTrip) {
    TTable tt;
    EXPECT_EQ(tt.buckets.size() * sizeof(TTBucket), 8'000'000u);
    EXPECT_EQ(tt.generation, 0);
    EXPECT_EQ(tt.Hashfull(), 0);
    EXPECT_EQ(SharedTT.buckets.size(), BUCKETS);
    tt.WriteEntry(K0, 256, -32760, BOUND_UPPER, M1, true);
    const TTEntry e = Get(tt, K0);
    EXPECT_EQ(e.score, -32760); // mate scores come back unchanged
    EXPECT_EQ(e.move, M1);
    EXPECT_EQ(e.depth, 0); // depth modulo 256
    EXPECT_EQ(e.bound, BOUND_UPPER);
    EXPECT_TRUE(e.ttPV);
    TTEntry miss;
    EXPECT_FALSE(tt.Probe(K1, miss)); // same bucket, other key: all 64 bits are compared
}

TEST(TTable, SlotChoiceAndReplacement) {
    TTable tt;
    tt.WriteEntry(K0, 8, 0, BOUND_EXACT, M1, false); // empty bucket: entry 1 first
    tt.WriteEntry(K1, 8, 0, BOUND_EXACT, M1, false); // then the empty entry 0
    EXPECT_EQ(SlotKey(tt, 1), K0);
    EXPECT_EQ(SlotKey(tt, 0), K1);
    tt.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false); // equal worth: entry 0 goes
    EXPECT_EQ(SlotKey(tt, 0), K2);
    tt.WriteEntry(K1, 3, 0, BOUND_EXACT, M1, false); // depth 1 is worth less than 8
    EXPECT_EQ(SlotKey(tt, 0), K1);
    // Two searches later entry 1 (depth 8, ttPV) is worth 8 - 8 + 2 = 2, below entry 0's 3.
    tt.WriteEntry(K0, 8, 0, BOUND_EXACT, M1, true);
    tt.IncrementGeneration();
    tt.IncrementGeneration();
    tt.WriteEntry(K1, 3, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(SlotKey(tt, 1), K2);
    // A ttPV store takes entry 0 whatever its depth.
    tt.WriteEntry(K1, 200, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(K0, 1, 0, BOUND_LOWER, M1, true);
    EXPECT_EQ(SlotKey(tt, 0), K0);
    // Ages wrap modulo 256: an entry from generation 250 is 10 searches old at generation 4.
    TTable wrap;
    wrap.generation = 250;
    wrap.WriteEntry(K0, 10, 0, BOUND_EXACT, M1, false);
    wrap.generation = 4;
    wrap.WriteEntry(K1, 9, 0, BOUND_EXACT, M1, false);
    wrap.WriteEntry(K2, 1, 0, BOUND_EXACT, M1, false);
    EXPECT_EQ(wrap.buckets[K0 % BUCKETS].entries[1].key, K2);
}

TEST(TTable, SameKeyKeepRule) {
    TTable tt;
    tt.WriteEntry(K0, 7, 100, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 3, 50, BOUND_UPPER, M2, false); // 7 >= 3 + 4: dropped
    EXPECT_EQ(Get(tt, K0).score, 100);
    tt.WriteEntry(K0, 4, 60, BOUND_LOWER, M2, false); // 7 < 8: written
    EXPECT_EQ(Get(tt, K0).score, 60);
    tt.WriteEntry(K0, 20, 1, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 0, 2, BOUND_EXACT, M2, false); // exact results always go in
    EXPECT_EQ(Get(tt, K0).score, 2);
    tt.WriteEntry(K0, 20, 3, BOUND_LOWER, M1, false);
    tt.IncrementGeneration();
    tt.WriteEntry(K0, 3, 4, BOUND_UPPER, M2, false); // an older entry gives way
    EXPECT_EQ(Get(tt, K0).score, 4);
    tt.WriteEntry(K0, 8, 5, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 3, 6, BOUND_LOWER, M1, true); // ttPV: threshold depth + 6 = 9 > 8
    EXPECT_EQ(Get(tt, K0).score, 6);
    tt.WriteEntry(K0, 9, 7, BOUND_LOWER, M1, false);
    tt.WriteEntry(K0, 3, 8, BOUND_LOWER, M1, true);
    EXPECT_EQ(Get(tt, K0).score, 7);
}

TEST(TTable, MoveKeptOnlyForTheSameKey) {
    TTable tt;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    tt.WriteEntry(K0, 6, 11, BOUND_UPPER, Move(), false);
    EXPECT_EQ(Get(tt, K0).move, M1);
    EXPECT_EQ(Get(tt, K0).score, 11);
    tt.WriteEntry(K1, 5, 10, BOUND_EXACT, M1, false);    // entry 0
    tt.WriteEntry(K2, 9, 10, BOUND_EXACT, Move(), true); // replaces it
    EXPECT_EQ(Get(tt, K2).move, Move());
}

TEST(TTable, GenerationHashfullClear) {
    TTable tt;
    tt.generation = 17;
    for (int i = 0; i < 256; i++) tt.IncrementGeneration();
    EXPECT_EQ(tt.generation, 17);
    for (uint64_t i = 0; i < 10; i++) tt.WriteEntry(i * 100 + 1, 1, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(500 + BUCKETS, 1, 0, BOUND_EXACT, M1, false);
    tt.WriteEntry(500, 1, 0, BOUND_EXACT, M1, false);  // same bucket: counted once
    tt.WriteEntry(1000, 1, 0, BOUND_EXACT, M1, false); // beyond the first 1000 buckets
    tt.IncrementGeneration();                          // old entries still count
    EXPECT_EQ(tt.Hashfull(), 11);
    tt.Clear();
    EXPECT_EQ(tt.Hashfull(), 0);
    EXPECT_EQ(tt.generation, 18);
    EXPECT_EQ(tt.buckets.size(), BUCKETS);
}

TEST(TTable, Resize) {
    EXPECT_EQ(TTable::BucketCount(8), 250'000u);
    EXPECT_EQ(TTable::BucketCount(1), 31'250u);
    EXPECT_EQ(TTable::BucketCount(1024), 32'000'000u);
    EXPECT_EQ(TTable::BucketCount(0), 1000u); // never below what Hashfull samples
    EXPECT_EQ(TTable::BucketCount(-5), 1000u);
    EXPECT_EQ(TTable::BucketCount(std::nan("")), 1000u);
    EXPECT_EQ(TTable::BucketCount(1e30), 0u);
    TTable tt;
    tt.generation = 3;
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    EXPECT_FALSE(tt.Resize(1e30)); // impossible: the table stays as it was
    EXPECT_EQ(Get(tt, K0).score, 10);
    ASSERT_TRUE(tt.Resize(1));
    EXPECT_EQ(tt.buckets.size(), 31'250u);
    EXPECT_EQ(tt.generation, 3);
    TTEntry e;
    EXPECT_FALSE(tt.Probe(K0, e));
    tt.WriteEntry(K0, 5, 10, BOUND_EXACT, M1, false);
    EXPECT_EQ(tt.buckets[K0 % 31'250].entries[1].key, K0);
}

// Readers and writers on the same buckets: a hit always carries a key that was written.
TEST(TTable, ConcurrentAccess) {
    TTable tt;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            TTEntry e;
            for (int i = 0; i < 20000; i++) {
                tt.WriteEntry(K0 + uint64_t((i + t) % 5) * BUCKETS, i % 30, i, i % 3, Move(uint16_t(i)),
                              i & 1);
                if (tt.Probe(K0 + uint64_t(i % 5) * BUCKETS, e) && (e.key - K0) % BUCKETS != 0) bad = true;
                tt.Hashfull();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(bad.load());
}
