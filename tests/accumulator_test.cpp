#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "accumulator.h"
#include "board.h"
#include "nnue.h"
#include "nnue_reference.h"

namespace {

void ExpectSamePair(const ACC::AccumulatorPair& got, const ACC::AccumulatorPair& want, const char* what) {
    ASSERT_EQ(std::memcmp(got.white, want.white, sizeof(got.white)), 0) << what << ": white accumulator";
    ASSERT_EQ(std::memcmp(got.black, want.black, sizeof(got.black)), 0) << what << ": black accumulator";
    ASSERT_EQ(got.whiteMirrored, want.whiteMirrored) << what;
    ASSERT_EQ(got.blackMirrored, want.blackMirrored) << what;
}

void RandomiseAccumulators(std::mt19937_64& rng, ACC::AccumulatorPair& acc) {
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
        acc.white[i] = int16_t(rng());
        acc.black[i] = int16_t(rng());
    }
    acc.whiteMirrored = rng() & 1;
    acc.blackMirrored = rng() & 1;
}

using UpdateTest = REF::RandomNetworkTest;

// Any row combination is checked: the operations do not care whether a feature is present,
// and random accumulators make the 16-bit wrap happen often.
TEST_F(UpdateTest, AddSubMatchesScalarReference) {
    for (int n = 0; n < 300; ++n) {
        ACC::AccumulatorPair acc;
        RandomiseAccumulators(rng, acc);
        const ACC::BucketPair buckets{int(rng() % 8), int(rng() % 8)};
        const bool side = rng() & 1;
        const int us = side ? BLACK : WHITE;
        const int addSq = rng() % 64, addType = rng() % 6, subSq = rng() % 64, subType = rng() % 6;
        ACC::AccumulatorPair want = acc;
        const REF::Change changes[] = {{+1, us, addType, addSq}, {-1, us, subType, subSq}};
        REF::ApplyChanges(want, buckets, changes, 2);
        acc.addSub(side, addSq, addType, subSq, subType, buckets);
        ExpectSamePair(acc, want, "addSub");
    }
}

TEST_F(UpdateTest, AddSubSubMatchesScalarReference) {
    for (int n = 0; n < 300; ++n) {
        ACC::AccumulatorPair acc;
        RandomiseAccumulators(rng, acc);
        const ACC::BucketPair buckets{int(rng() % 8), int(rng() % 8)};
        const bool side = rng() & 1;
        const int us = side ? BLACK : WHITE;
        const int a = rng() % 64, at = rng() % 6, s = rng() % 64, st = rng() % 6, s2 = rng() % 64,
                  s2t = rng() % 6;
        ACC::AccumulatorPair want = acc;
        const REF::Change changes[] = {{+1, us, at, a}, {-1, us, st, s}, {-1, us ^ 1, s2t, s2}};
        REF::ApplyChanges(want, buckets, changes, 3);
        acc.addSubSub(side, a, at, s, st, s2, s2t, buckets);
        ExpectSamePair(acc, want, "addSubSub");
    }
}

TEST_F(UpdateTest, AddAddSubSubMatchesScalarReference) {
    for (int n = 0; n < 300; ++n) {
        ACC::AccumulatorPair acc;
        RandomiseAccumulators(rng, acc);
        const ACC::BucketPair buckets{int(rng() % 8), int(rng() % 8)};
        const bool side = rng() & 1;
        const int us = side ? BLACK : WHITE;
        int sq[4], type[4];
        for (int k = 0; k < 4; ++k) sq[k] = rng() % 64, type[k] = rng() % 6;
        ACC::AccumulatorPair want = acc;
        const REF::Change changes[] = {{+1, us, type[0], sq[0]},
                                       {+1, us, type[1], sq[1]},
                                       {-1, us, type[2], sq[2]},
                                       {-1, us, type[3], sq[3]}};
        REF::ApplyChanges(want, buckets, changes, 4);
        acc.addAddSubSub(side, sq[0], type[0], sq[1], type[1], sq[2], type[2], sq[3], type[3], buckets);
        ExpectSamePair(acc, want, "addAddSubSub");
    }
}

TEST_F(UpdateTest, EachPerspectiveUsesItsOwnBucketAndMirrorFlag) {
    // A white knight g1 -> f3 with White in bucket 2 (unmirrored) and Black in bucket 5
    // (mirrored): the rows must come from those buckets and transforms only.
    ACC::AccumulatorPair acc;
    std::memset(acc.white, 0, sizeof(acc.white));
    std::memset(acc.black, 0, sizeof(acc.black));
    acc.whiteMirrored = false;
    acc.blackMirrored = true;
    acc.addSub(false, 21, KNIGHT, 6, KNIGHT, {2, 5});
    const auto& fw = NNUE::net.featureWeights;
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
        ASSERT_EQ(acc.white[i], REF::Wrap16(fw[2][64 + 21][i] - fw[2][64 + 6][i]));
        ASSERT_EQ(acc.black[i], REF::Wrap16(fw[5][384 + 64 + (21 ^ 63)][i] - fw[5][384 + 64 + (6 ^ 63)][i]));
    }
}

// Random hand-placed positions with one king per side (optionally without one).
Board RandomPosition(std::mt19937_64& rng, bool withWhiteKing = true, bool withBlackKing = true) {
    Board b = REF::EmptyBoard();
    auto freeSquare = [&] {
        int sq;
        do sq = int(rng() % 64);
        while ((b.occupied >> sq) & 1);
        return sq;
    };
    if (withWhiteKing) REF::Place(b, WHITE, KING, freeSquare());
    if (withBlackKing) REF::Place(b, BLACK, KING, freeSquare());
    const int extra = int(rng() % 31);
    for (int k = 0; k < extra; ++k) REF::Place(b, int(rng() & 1), int(rng() % 5), freeSquare());
    const uint64_t wk = b.pieces[KING] & b.colours[WHITE], bk = b.pieces[KING] & b.colours[BLACK];
    b.accPair.whiteMirrored = wk && (__builtin_ctzll(wk) & 4);
    b.accPair.blackMirrored = bk && (__builtin_ctzll(bk) & 4);
    b.sideToMove = uint8_t(rng() & 1);
    return b;
}

TEST_F(UpdateTest, ResetAccPairMatchesScalarReference) {
    for (int n = 0; n < 40; ++n) {
        Board b = RandomPosition(rng);
        if (n % 4 == 3) b.accPair.whiteMirrored = !b.accPair.whiteMirrored; // flags are read, not derived
        ACC::AccumulatorPair want;
        want.whiteMirrored = b.accPair.whiteMirrored;
        want.blackMirrored = b.accPair.blackMirrored;
        REF::Accumulate(b, want.white, want.black);
        RandomiseAccumulators(rng, b.accPair); // stale contents must not leak through
        b.accPair.whiteMirrored = want.whiteMirrored;
        b.accPair.blackMirrored = want.blackMirrored;
        b.ResetAccPair();
        ExpectSamePair(b.accPair, want, "ResetAccPair");
    }
}

TEST_F(UpdateTest, ResetAccPairWithAMissingKingStaysInsideTheTables) {
    for (int n = 0; n < 6; ++n) {
        Board b = RandomPosition(rng, n % 3 != 0, n % 3 != 1);
        ACC::AccumulatorPair want;
        want.whiteMirrored = b.accPair.whiteMirrored;
        want.blackMirrored = b.accPair.blackMirrored;
        REF::Accumulate(b, want.white, want.black); // a missing king's side uses bucket 0
        b.ResetAccPair();
        ExpectSamePair(b.accPair, want, "missing king");
        // Evaluating such a position must work as well.
        EXPECT_EQ(NNUE::Network::Evaluate(b, false), REF::Evaluate(b, false));
    }
    Board empty = REF::EmptyBoard();
    empty.ResetAccPair();
    EXPECT_EQ(std::memcmp(empty.accPair.white, NNUE::net.featureBias, sizeof(empty.accPair.white)), 0);
    EXPECT_EQ(std::memcmp(empty.accPair.black, NNUE::net.featureBias, sizeof(empty.accPair.black)), 0);
}

} // namespace
