#pragma once

#include <cstdint>

#include "nnue.h"

namespace ACC {

// King buckets of both kings in the position before a move.
struct BucketPair {
    int32_t white;
    int32_t black;
};

struct alignas(32) AccumulatorPair {
    alignas(32) int16_t white[NNUE::HIDDEN_SIZE];
    alignas(32) int16_t black[NNUE::HIDDEN_SIZE];
    bool whiteMirrored = false;
    bool blackMirrored = false;

    // side: false White, true Black (the moving side). Rows use each perspective's bucket
    // from buckets and its current mirror flag.
    void addSub(bool side, int addSq, int addType, int subSq, int subType, BucketPair buckets);
    // The third feature (sub2) is a piece of the other side.
    void addSubSub(bool side, int addSq, int addType, int subSq, int subType, int sub2Sq, int sub2Type,
                   BucketPair buckets);
    // All four features are pieces of the moving side.
    void addAddSubSub(bool side, int addSq1, int addType1, int addSq2, int addType2, int subSq1, int subType1,
                      int subSq2, int subType2, BucketPair buckets);

    // The same updates reading the arrays of source (the pair of the position before the move)
    // and writing this pair's arrays: copy-make then touches every value once. The mirror flags
    // used are this pair's; source may be this pair.
    void addSub(const AccumulatorPair& source, bool side, int addSq, int addType, int subSq, int subType,
                BucketPair buckets);
    void addSubSub(const AccumulatorPair& source, bool side, int addSq, int addType, int subSq, int subType,
                   int sub2Sq, int sub2Type, BucketPair buckets);
    void addAddSubSub(const AccumulatorPair& source, bool side, int addSq1, int addType1, int addSq2,
                      int addType2, int subSq1, int subType1, int subSq2, int subType2, BucketPair buckets);
};

} // namespace ACC
