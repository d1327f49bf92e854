#pragma once

// Plain scalar versions of the network arithmetic, written straight from its definition, and
// helpers that put random networks and hand-placed positions in place for the tests.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "accumulator.h"
#include "board.h"
#include "nnue.h"
#include "test_init.h"

namespace REF {

inline int16_t Wrap16(int32_t v) {
    return int16_t(uint16_t(uint32_t(v)));
}

inline int Bucket(int perspective, const Board& b) {
    const uint64_t king = b.pieces[KING] & b.colours[perspective];
    return king ? NNUE::kingBuckets[perspective][__builtin_ctzll(king)] : 0;
}

inline const int16_t* Row(int bucket, int perspective, bool mirrored, int colour, int type, int sq) {
    return NNUE::net.featureWeights[bucket][NNUE::featureIndex(perspective, mirrored, colour, type, sq)];
}

// Full accumulators of a position: bias plus one row per piece, per perspective.
inline void Accumulate(const Board& b, int16_t white[NNUE::HIDDEN_SIZE], int16_t black[NNUE::HIDDEN_SIZE]) {
    int16_t* out[2] = {white, black};
    const bool mirrored[2] = {b.accPair.whiteMirrored, b.accPair.blackMirrored};
    for (int p = 0; p < 2; ++p) {
        const int bucket = Bucket(p, b);
        for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
            int32_t v = NNUE::net.featureBias[i];
            for (int sq = 0; sq < 64; ++sq) {
                if (!((b.occupied >> sq) & 1)) continue;
                const int colour = (b.colours[BLACK] >> sq) & 1;
                v += Row(bucket, p, mirrored[p], colour, b.mailbox[sq], sq)[i];
            }
            out[p][i] = Wrap16(v);
        }
    }
}

// One feature change for the reference update: sign +1 adds the row, -1 subtracts it.
struct Change {
    int sign, colour, type, sq;
};

inline void ApplyChanges(ACC::AccumulatorPair& acc, ACC::BucketPair buckets, const Change* changes, int n) {
    for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
        int32_t w = acc.white[i], b = acc.black[i];
        for (int c = 0; c < n; ++c) {
            const Change& ch = changes[c];
            w += ch.sign * Row(buckets.white, WHITE, acc.whiteMirrored, ch.colour, ch.type, ch.sq)[i];
            b += ch.sign * Row(buckets.black, BLACK, acc.blackMirrored, ch.colour, ch.type, ch.sq)[i];
        }
        acc.white[i] = Wrap16(w);
        acc.black[i] = Wrap16(b);
    }
}

// The evaluation, term by term: 16-bit inner product, wrapping 32-bit sum, divisions that
// truncate toward zero, the final clamp.
inline int Evaluate(const Board& b, bool raw) {
    int pieces = 0;
    for (int sq = 0; sq < 64; ++sq) pieces += (b.occupied >> sq) & 1;
    int bucket = (pieces - 2) / 4;
    if (bucket < 0) bucket = 0;
    if (bucket > 7) bucket = 7;
    const int16_t* us = b.sideToMove == WHITE ? b.accPair.white : b.accPair.black;
    const int16_t* them = b.sideToMove == WHITE ? b.accPair.black : b.accPair.white;
    uint32_t sum = 0;
    for (int half = 0; half < 2; ++half) {
        const int16_t* acc = half == 0 ? us : them;
        for (int i = 0; i < NNUE::HIDDEN_SIZE; ++i) {
            int32_t v = acc[i];
            v = v < 0 ? 0 : (v > 255 ? 255 : v);
            const int16_t product = Wrap16(v * NNUE::net.outputWeights[bucket][half][i]);
            sum += uint32_t(v * int32_t(product));
        }
    }
    const int32_t x = int32_t(sum) / 255;
    const int64_t y = (int64_t(x) + NNUE::net.outputBias[bucket]) * 400 / 16320;
    int64_t scale = 4096;
    if (!raw) {
        scale = 2048 +
                90 * (__builtin_popcountll(b.pieces[KNIGHT]) + __builtin_popcountll(b.pieces[BISHOP])) +
                180 * __builtin_popcountll(b.pieces[ROOK]) + 360 * __builtin_popcountll(b.pieces[QUEEN]);
    }
    int64_t z = scale * y / 4096;
    if (z < -32511) z = -32511;
    if (z > 32511) z = 32511;
    return int(z);
}

// Fills the whole network with random values in the ranges of real networks. Fixture users
// restore the embedded network in TearDown.
inline void RandomiseNetwork(std::mt19937_64& rng) {
    // Four values per draw keeps the 9.4 million weights cheap, also under the sanitizers.
    auto fill = [&rng](int16_t* p, size_t n, int lo, int hi) {
        const uint64_t range = uint64_t(hi - lo + 1);
        for (size_t i = 0; i < n; i += 4) {
            uint64_t r = rng();
            for (size_t k = i; k < i + 4 && k < n; ++k, r >>= 16)
                p[k] = int16_t(lo + int(((r & 0xFFFF) * range) >> 16));
        }
    };
    auto& net = NNUE::net;
    fill(&net.featureWeights[0][0][0], sizeof(net.featureWeights) / 2, -505, 505);
    fill(net.featureBias, NNUE::HIDDEN_SIZE, -241, 236);
    fill(&net.outputWeights[0][0][0], sizeof(net.outputWeights) / 2, -127, 127);
    fill(net.outputBias, NNUE::OUTPUT_BUCKETS, -1500, 1500);
}

class RandomNetworkTest : public ::testing::Test {
  protected:
    std::mt19937_64 rng{20240611};
    void SetUp() override { RandomiseNetwork(rng); }
    void TearDown() override { NNUE::LoadNetwork(); }
};

constexpr std::size_t NETWORK_FILE_BYTES = 18926656;
constexpr std::size_t NETWORK_RECORD_BYTES = 18926608; // the four arrays, without the filler

// Puts the bootstrap network the test build writes (tools/make_network.py) into net.
// The file is read once per program; a missing file leaves it empty.
inline void LoadBootstrapNetwork() {
    static const std::vector<char> data = [] {
        std::ifstream in(VESTREL_BOOTSTRAP_NETWORK, std::ios::binary);
        return std::vector<char>{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }();
    ASSERT_EQ(data.size(), NETWORK_FILE_BYTES) << "reading " << VESTREL_BOOTSTRAP_NETWORK;
    std::memcpy(&NNUE::net, data.data(), NETWORK_RECORD_BYTES);
}

// Tests of the bootstrap network's values. Boards must be set up after SetUp, since their
// accumulators come from the network in place; TearDown restores the embedded one.
class BootstrapNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        LoadBootstrapNetwork();
    }
    void TearDown() override { NNUE::LoadNetwork(); }
};

// A board with pieces placed by hand (no move generator needed).
inline Board EmptyBoard() {
    Board b;
    for (int& m : b.mailbox) m = NO_PIECE;
    return b;
}

inline void Place(Board& b, int colour, int type, int sq) {
    b.mailbox[sq] = type;
    b.pieces[type] |= 1ULL << sq;
    b.colours[colour] |= 1ULL << sq;
    b.occupied |= 1ULL << sq;
}

} // namespace REF
