#include "nnue.h"

#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "board.h"
#include "platform.h"

namespace NNUE {

// Huge-page aligned: the weight rows are read all over the array, one row per changed piece.
alignas(2u << 20) Network net;

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
    PLATFORM::AdviseHugePages(&net, sizeof(net));
    std::memcpy(&net, gEVALData, NETWORK_BYTES);
}

namespace {

constexpr int LANES = 16; // int16 values per 256-bit register

// v * (v * w) for 16 hidden values, v clipped to 0..QA; the inner product wraps in 16 bits,
// the pair sums go into eight 32-bit lanes.
inline __m256i SquaredClippedTerm(const int16_t* acc, const int16_t* weights) {
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc));
    const __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(weights));
    const __m256i v = _mm256_min_epi16(_mm256_max_epi16(a, _mm256_setzero_si256()), _mm256_set1_epi16(QA));
    return _mm256_madd_epi16(v, _mm256_mullo_epi16(v, w));
}

inline int32_t HorizontalSum(__m256i v) {
    const __m128i halves = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i pairs = _mm_add_epi32(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m128i total = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(total);
}

} // namespace

int MaterialScale(const Board& board) {
    const uint64_t* p = board.pieces;
    return 2048 + 90 * (__builtin_popcountll(p[KNIGHT]) + __builtin_popcountll(p[BISHOP])) +
           180 * __builtin_popcountll(p[ROOK]) + 360 * __builtin_popcountll(p[QUEEN]);
}

int16_t Network::Evaluate(const Board& board, bool raw) {
    const int pieceCount = __builtin_popcountll(board.occupied);
    // Only unchecked input has fewer than 2 or more than 33 pieces; keep it inside the tables.
    int bucket = (pieceCount - 2) / 4;
    bucket = bucket < 0 ? 0 : (bucket >= OUTPUT_BUCKETS ? OUTPUT_BUCKETS - 1 : bucket);

    const ACC::AccumulatorPair& acc = board.accPair;
    const int16_t* us = board.sideToMove == WHITE ? acc.white : acc.black;
    const int16_t* them = board.sideToMove == WHITE ? acc.black : acc.white;

    // Both halves in one loop, four independent sums to keep the multipliers busy.
    const int16_t* usWeights = net.outputWeights[bucket][0];
    const int16_t* themWeights = net.outputWeights[bucket][1];
    __m256i sum[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    for (int i = 0; i < HIDDEN_SIZE; i += 4 * LANES) {
        for (int k = 0; k < 4; ++k)
            sum[k] =
                _mm256_add_epi32(sum[k], SquaredClippedTerm(us + i + k * LANES, usWeights + i + k * LANES));
        for (int k = 0; k < 4; ++k)
            sum[k] = _mm256_add_epi32(sum[k],
                                      SquaredClippedTerm(them + i + k * LANES, themWeights + i + k * LANES));
    }
    const __m256i total =
        _mm256_add_epi32(_mm256_add_epi32(sum[0], sum[1]), _mm256_add_epi32(sum[2], sum[3]));

    const int32_t x = HorizontalSum(total) / QA;
    const int64_t y = (int64_t(x) + net.outputBias[bucket]) * EVAL_SCALE / (QA * QB);

    const int64_t scale = raw ? 4096 : MaterialScale(board);
    // 64-bit so that no material count can overflow; for real positions it equals the 32-bit form.
    int64_t z = scale * y / 4096;
    z = z < -32511 ? -32511 : (z > 32511 ? 32511 : z);
    return int16_t(z);
}

} // namespace NNUE
