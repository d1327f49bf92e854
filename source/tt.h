#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board.h"
#include "platform.h"

enum Bound : uint8_t { BOUND_EXACT = 0, BOUND_LOWER = 1, BOUND_UPPER = 2 };

struct TTEntry {
    uint64_t key = 0; // 0 marks an empty slot
    int16_t score = 0;
    Move move;
    uint8_t depth = 0;
    uint8_t bound = 0;
    uint8_t generation = 0;
    bool ttPV = false;
};
static_assert(sizeof(TTEntry) == 16);

struct TTBucket {
    TTEntry entries[2];
};
static_assert(sizeof(TTBucket) == 32);

class TTable {
  public:
    std::vector<TTBucket, PLATFORM::LargePageAllocator<TTBucket>> buckets;
    uint8_t generation = 0;

    TTable(); // 8,000,000 bytes of zeroed buckets

    // On a hit copies the entry into out and returns true.
    bool Probe(uint64_t key, TTEntry& out) const;
    void Prefetch(uint64_t key) const;
    void WriteEntry(const uint64_t& key, int depth, int score, int bound, Move move, bool ttPV);
    void IncrementGeneration();
    void Clear();
    // megabytes x 1,000,000 bytes; on allocation failure keeps the current table and returns false.
    bool Resize(double megabytes);
    // Bucket count of a table of megabytes x 1,000,000 bytes (never below 1000); 0 when no
    // vector could hold that many.
    static std::size_t BucketCount(double megabytes);
    int Hashfull() const;
};

extern TTable SharedTT;
