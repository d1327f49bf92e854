#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "board.h"
#include "nnue.h"
#include "nnue_reference.h"

namespace {

constexpr std::size_t FILE_BYTES = REF::NETWORK_FILE_BYTES;
constexpr std::size_t RECORD_BYTES = REF::NETWORK_RECORD_BYTES;

TEST(NetworkData, EmbeddedBlockHasTheFileLayout) {
    EXPECT_EQ(gEVALSize, FILE_BYTES);
    EXPECT_EQ(gEVALEnd, gEVALData + FILE_BYTES);
    EXPECT_EQ(gEVALEnd[0], 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(gEVALData) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&NNUE::net) % 32, 0u);

    EXPECT_EQ(offsetof(NNUE::Network, featureBias), 0x1200000u);
    EXPECT_EQ(offsetof(NNUE::Network, outputWeights), 0x1200C00u);
    EXPECT_EQ(offsetof(NNUE::Network, outputBias), 0x120CC00u);
    for (std::size_t i = RECORD_BYTES; i < FILE_BYTES; ++i) EXPECT_EQ(gEVALData[i], 0) << "filler byte " << i;
}

TEST(NetworkData, LoadNetworkCopiesTheBlockByteForByte) {
    std::memset(&NNUE::net, 0x5A, sizeof(NNUE::net));
    NNUE::LoadNetwork();
    EXPECT_EQ(std::memcmp(&NNUE::net, gEVALData, RECORD_BYTES), 0);
    int16_t bias[8];
    std::memcpy(bias, gEVALData + 0x120CC00, sizeof(bias));
    for (int b = 0; b < 8; ++b) EXPECT_EQ(NNUE::net.outputBias[b], bias[b]);
    int16_t firstBias;
    std::memcpy(&firstBias, gEVALData + 0x1200000, 2);
    EXPECT_EQ(NNUE::net.featureBias[0], firstBias);
}

// The ranges the engine's arithmetic relies on, with the feature bias within [biasLo, biasHi].
void ExpectValueRanges(int biasLo, int biasHi) {
    const auto& net = NNUE::net;
    for (const int16_t* p = &net.featureWeights[0][0][0]; p < net.featureBias; ++p) {
        ASSERT_GE(*p, -505);
        ASSERT_LE(*p, 505);
    }
    for (int16_t v : net.featureBias) {
        EXPECT_GE(v, biasLo);
        EXPECT_LE(v, biasHi);
    }
    for (const int16_t* p = &net.outputWeights[0][0][0]; p < net.outputBias; ++p) {
        ASSERT_GE(*p, -127);
        ASSERT_LE(*p, 127);
    }
}

TEST(NetworkData, EmbeddedNetworkRespectsTheValueRanges) {
    NNUE::LoadNetwork();
    // Bias plus one row per piece (at most 32) must not leave 16 bits.
    constexpr int BIAS_LIMIT = INT16_MAX - 32 * 505;
    ExpectValueRanges(-BIAS_LIMIT, BIAS_LIMIT);
}

using BootstrapNetwork = REF::BootstrapNetworkTest;

TEST_F(BootstrapNetwork, RespectsTheValueRanges) {
    ExpectValueRanges(-241, 236);
    // The generator's file has the embedded layout: the same filler follows the four arrays.
    std::ifstream in(VESTREL_BOOTSTRAP_NETWORK, std::ios::binary);
    in.seekg(RECORD_BYTES);
    const std::vector<char> filler{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(filler, std::vector<char>(FILE_BYTES - RECORD_BYTES, 0));
}

TEST(KingBuckets, TableValuesAndSymmetry) {
    const auto& kb = NNUE::kingBuckets;
    EXPECT_EQ(kb[0][4], 3);  // e1
    EXPECT_EQ(kb[0][6], 1);  // g1
    EXPECT_EQ(kb[0][2], 2);  // c1
    EXPECT_EQ(kb[0][0], 0);  // a1
    EXPECT_EQ(kb[0][7], 0);  // h1
    EXPECT_EQ(kb[0][8], 4);  // a2
    EXPECT_EQ(kb[0][11], 5); // d2
    EXPECT_EQ(kb[1][60], 3); // e8
    EXPECT_EQ(kb[1][48], 4); // a7
    for (int sq = 16; sq < 40; ++sq) EXPECT_EQ(kb[0][sq], 6) << sq;
    for (int sq = 40; sq < 64; ++sq) EXPECT_EQ(kb[0][sq], 7) << sq;
    for (int sq = 0; sq < 64; ++sq) {
        EXPECT_EQ(kb[1][sq], kb[0][sq ^ 56]) << sq;
        EXPECT_EQ(kb[0][sq], kb[0][sq ^ 7]) << sq; // left-right symmetric
    }
}

TEST(FeatureIndex, PerspectiveAndMirroring) {
    using NNUE::featureIndex;
    // Both kings at home: both perspectives mirrored.
    EXPECT_EQ(featureIndex(WHITE, true, WHITE, PAWN, 12), 11);  // e2 for White
    EXPECT_EQ(featureIndex(BLACK, true, WHITE, PAWN, 12), 435); // e2 for Black
    EXPECT_EQ(featureIndex(WHITE, true, BLACK, PAWN, 52), 435); // e7 for White
    EXPECT_EQ(featureIndex(BLACK, true, BLACK, PAWN, 52), 11);  // e7 for Black
    // White king on d1: not mirrored.
    EXPECT_EQ(featureIndex(WHITE, false, WHITE, PAWN, 12), 12);
    EXPECT_EQ(featureIndex(BLACK, false, WHITE, PAWN, 12), 384 + (12 ^ 56));
    EXPECT_EQ(featureIndex(WHITE, false, BLACK, KING, 63), 384 + 5 * 64 + 63);
    EXPECT_EQ(featureIndex(BLACK, false, BLACK, KING, 63), 5 * 64 + 7);
    // Every index is in range and distinct within one perspective and flag.
    for (int p = 0; p < 2; ++p) {
        for (int m = 0; m < 2; ++m) {
            bool seen[768] = {};
            for (int c = 0; c < 2; ++c)
                for (int t = 0; t < 6; ++t)
                    for (int sq = 0; sq < 64; ++sq) {
                        const int idx = featureIndex(p, m, c, t, sq);
                        ASSERT_GE(idx, 0);
                        ASSERT_LT(idx, 768);
                        EXPECT_FALSE(seen[idx]);
                        seen[idx] = true;
                        EXPECT_EQ(idx < 384, c == p);
                    }
        }
    }
}

// Random hand-made "positions": only the fields Evaluate reads matter here.
Board RandomEvalBoard(std::mt19937_64& rng, int accLo, int accHi) {
    Board b = REF::EmptyBoard();
    const int count = int(rng() % 65);
    uint64_t occ = 0;
    while (__builtin_popcountll(occ) < count) occ |= 1ULL << (rng() % 64);
    b.occupied = occ;
    for (uint64_t set = occ; set; set &= set - 1) b.pieces[rng() % 6] |= set & -set;
    b.sideToMove = uint8_t(rng() & 1);
    std::uniform_int_distribution<int> d(accLo, accHi);
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
        b.accPair.white[i] = int16_t(d(rng));
        b.accPair.black[i] = int16_t(d(rng));
    }
    return b;
}

using EvaluateTest = REF::RandomNetworkTest;

TEST_F(EvaluateTest, MatchesScalarReferenceOnRandomNetworks) {
    const int ranges[][2] = {{-40, 300}, {-32768, 32767}, {200, 255}, {-300, 20}};
    for (int round = 0; round < 6; ++round) {
        if (round > 0) REF::RandomiseNetwork(rng);
        for (const auto& r : ranges) {
            for (int i = 0; i < 40; ++i) {
                const Board b = RandomEvalBoard(rng, r[0], r[1]);
                for (bool raw : {false, true}) {
                    ASSERT_EQ(NNUE::Network::Evaluate(b, raw), REF::Evaluate(b, raw))
                        << "round " << round << " raw " << raw << " pieces "
                        << __builtin_popcountll(b.occupied);
                }
            }
        }
    }
}

TEST_F(EvaluateTest, DivisionsTruncateTowardZero) {
    Board b = REF::EmptyBoard();
    b.occupied = 0x3; // two pieces: bucket 0, no material to scale
    std::memset(b.accPair.white, 0, sizeof(b.accPair.white));
    std::memset(b.accPair.black, 0, sizeof(b.accPair.black));
    std::memset(NNUE::net.outputWeights, 0, sizeof(NNUE::net.outputWeights));

    // y = -123 * 400 / 16320 = -3.01 -> -3; scaled 2048 * -3 / 4096 = -1.5 -> -1.
    NNUE::net.outputBias[0] = -123;
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), -3);
    EXPECT_EQ(NNUE::Network::Evaluate(b, false), -1);

    // sum = -254: x = -254 / 255 -> 0 (not -1), so y = 41 * 400 / 16320 -> 1 (with -1 it would be 0).
    NNUE::net.outputBias[0] = 41;
    b.accPair.white[5] = 1;
    b.accPair.white[9] = 1;
    NNUE::net.outputWeights[0][0][5] = -127;
    NNUE::net.outputWeights[0][0][9] = -127;
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), 1);
    // y = -41 * 400 / 16320 = -1.005 -> -1 (floor would give -2).
    NNUE::net.outputBias[0] = -41;
    b.accPair.white[5] = b.accPair.white[9] = 0;
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), -1);
}

TEST_F(EvaluateTest, ClipsHiddenValuesAndPairsHalvesWithSideToMove) {
    Board b = REF::EmptyBoard();
    b.occupied = 0xF; // four pieces: bucket 0
    std::memset(b.accPair.white, 0, sizeof(b.accPair.white));
    std::memset(b.accPair.black, 0, sizeof(b.accPair.black));
    std::memset(NNUE::net.outputWeights, 0, sizeof(NNUE::net.outputWeights));
    std::memset(NNUE::net.outputBias, 0, sizeof(NNUE::net.outputBias));
    // White's unit 0 far above the ceiling counts as 255, a negative one as 0.
    b.accPair.white[0] = 3000;
    b.accPair.white[1] = -3000;
    NNUE::net.outputWeights[0][0][0] = 64;
    NNUE::net.outputWeights[0][0][1] = 64;
    NNUE::net.outputWeights[0][1][0] = -32;
    // White to move: 255 * 255 * 64 / 255 = 16320 -> 16320 * 400 / 16320 = 400.
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), 400);
    // Black to move: White's accumulator is now the other side's and meets half 1.
    b.sideToMove = BLACK;
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), -200);
}

TEST_F(EvaluateTest, ResultIsClampedToTheScoreBound) {
    Board b = REF::EmptyBoard();
    b.occupied = 0xF;
    b.pieces[QUEEN] = 0xF; // scale 2048 + 4 * 360
    std::memset(NNUE::net.outputBias, 0, sizeof(NNUE::net.outputBias));
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
        b.accPair.white[i] = i < 100 ? 255 : 0;
        b.accPair.black[i] = 0;
        NNUE::net.outputWeights[0][0][i] = 127;
    }
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), 32511);
    EXPECT_EQ(NNUE::Network::Evaluate(b, false), 32511);
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) NNUE::net.outputWeights[0][0][i] = -127;
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), -32511);
    EXPECT_EQ(NNUE::Network::Evaluate(b, false), -32511);
}

TEST_F(EvaluateTest, OutputBucketFollowsPieceCountAndStaysInTheTables) {
    std::memset(NNUE::net.outputWeights, 0, sizeof(NNUE::net.outputWeights));
    for (int k = 0; k < 8; ++k) NNUE::net.outputBias[k] = int16_t(816 * (k + 1)); // raw = 20 * (k + 1)
    Board b = REF::EmptyBoard();
    std::memset(b.accPair.white, 0, sizeof(b.accPair.white));
    std::memset(b.accPair.black, 0, sizeof(b.accPair.black));
    for (int count = 0; count <= 64; ++count) {
        b.occupied = count == 64 ? ~0ULL : (1ULL << count) - 1;
        int expected = count < 2 ? 0 : (count > 33 ? 7 : (count - 2) / 4);
        EXPECT_EQ(NNUE::Network::Evaluate(b, true), 20 * (expected + 1)) << count << " pieces";
    }
}

TEST_F(EvaluateTest, MaterialScaleCountsMinorAndMajorPieces) {
    std::memset(NNUE::net.outputWeights, 0, sizeof(NNUE::net.outputWeights));
    for (int k = 0; k < 8; ++k) NNUE::net.outputBias[k] = 16320; // raw 400
    Board b = REF::EmptyBoard();
    std::memset(b.accPair.white, 0, sizeof(b.accPair.white));
    std::memset(b.accPair.black, 0, sizeof(b.accPair.black));
    b.occupied = 0xFFFF00000000FFFFULL;
    b.pieces[KNIGHT] = 0x42ULL | (0x42ULL << 56);
    b.pieces[BISHOP] = 0x24ULL | (0x24ULL << 56);
    b.pieces[ROOK] = 0x81ULL | (0x81ULL << 56);
    b.pieces[QUEEN] = 0x08ULL | (0x08ULL << 56);
    b.pieces[PAWN] = 0xFF00ULL | (0xFFULL << 48);
    EXPECT_EQ(NNUE::Network::Evaluate(b, true), 400);
    EXPECT_EQ(NNUE::Network::Evaluate(b, false), 4208 * 400 / 4096); // start-position material
}

} // namespace
