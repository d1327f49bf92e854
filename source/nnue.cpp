#include "nnue.h"

#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "board.h"

namespace NNUE {

Network net;

// clang-format off
const int32_t kingBuckets[2][64] = {
    {
        0, 1, 2, 3, 3, 2, 1, 0,
        4, 4, 5, 5, 5, 5, 4, 4,
        6, 6, 6, 6, 6, 6, 6, 6,
        6, 6, 6, 6, 6, 6, 6, 6,
        6, 6, 6, 6, 6, 6, 6, 6,
        7, 7, 7, 7, 7, 7, 7, 7,
        7, 7, 7, 7, 7, 7, 7, 7,
        7, 7, 7, 7, 7, 7, 7, 7,
    },
    {
        7, 7, 7, 7, 7, 7, 7, 7,
        7, 7, 7, 7, 7, 7, 7, 7,
        7, 7, 7, 7, 7, 7, 7, 7,
        6, 6, 6, 6, 6, 6, 6, 6,
        6, 6, 6, 6, 6, 6, 6, 6,
        6, 6, 6, 6, 6, 6, 6, 6,
        4, 4, 5, 5, 5, 5, 4, 4,
        0, 1, 2, 3, 3, 2, 1, 0,
    },
};
// clang-format on

// The four arrays; the file's trailing filler is not part of the record.
constexpr std::size_t NETWORK_BYTES = offsetof(Network, outputBias) + sizeof(Network::outputBias);
static_assert(NETWORK_BYTES == 18926608);
static_assert(offsetof(Network, featureBias) == 0x1200000);
static_assert(offsetof(Network, outputWeights) == 0x1200C00);
static_assert(offsetof(Network, outputBias) == 0x120CC00);

void LoadNetwork() {
    std::memcpy(&net, gEVALData, NETWORK_BYTES);
}

namespace {

constexpr int LANES = 16; // int16 values per 256-bit register

// Sum over one half of v * (v * w) with v the hidden value clipped to 0..QA; the inner
// product wraps in 16 bits, the sum in 32 bits.
inline __m256i SquaredClippedDot(const int16_t* acc, const int16_t* weights, __m256i sum) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ceiling = _mm256_set1_epi16(QA);
    for (int i = 0; i < HIDDEN_SIZE; i += LANES) {
        const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc + i));
        const __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(weights + i));
        const __m256i v = _mm256_min_epi16(_mm256_max_epi16(a, zero), ceiling);
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(v, _mm256_mullo_epi16(v, w)));
    }
    return sum;
}

inline int32_t HorizontalSum(__m256i v) {
    const __m128i halves = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i pairs = _mm_add_epi32(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m128i total = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(total);
}

} // namespace

int16_t Network::Evaluate(const Board& board, bool raw) {
    const int pieceCount = __builtin_popcountll(board.occupied);
    // Only unchecked input has fewer than 2 or more than 33 pieces; keep it inside the tables.
    int bucket = (pieceCount - 2) / 4;
    bucket = bucket < 0 ? 0 : (bucket >= OUTPUT_BUCKETS ? OUTPUT_BUCKETS - 1 : bucket);

    const ACC::AccumulatorPair& acc = board.accPair;
    const int16_t* us = board.sideToMove == WHITE ? acc.white : acc.black;
    const int16_t* them = board.sideToMove == WHITE ? acc.black : acc.white;

    __m256i sum = _mm256_setzero_si256();
    sum = SquaredClippedDot(us, net.outputWeights[bucket][0], sum);
    sum = SquaredClippedDot(them, net.outputWeights[bucket][1], sum);

    const int32_t x = HorizontalSum(sum) / QA;
    const int64_t y = (int64_t(x) + net.outputBias[bucket]) * EVAL_SCALE / (QA * QB);

    int64_t scale = 4096;
    if (!raw) {
        const uint64_t* p = board.pieces;
        scale = 2048 + 90 * (__builtin_popcountll(p[KNIGHT]) + __builtin_popcountll(p[BISHOP])) +
                180 * __builtin_popcountll(p[ROOK]) + 360 * __builtin_popcountll(p[QUEEN]);
    }
    // 64-bit so that no material count can overflow; for real positions it equals the 32-bit form.
    int64_t z = scale * y / 4096;
    z = z < -32511 ? -32511 : (z > 32511 ? 32511 : z);
    return int16_t(z);
}

} // namespace NNUE
