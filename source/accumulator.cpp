#include "accumulator.h"

#include <immintrin.h>

#include "board.h"

namespace ACC {

namespace {

constexpr int LANES = 16; // int16 values per 256-bit register

inline __m256i Load(const int16_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}
inline void Store(int16_t* p, __m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}

inline const int16_t* Row(int bucket, bool mirrored, int perspective, int colour, int type, int sq) {
    return NNUE::net.featureWeights[bucket][NNUE::featureIndex(perspective, mirrored, colour, type, sq)];
}

} // namespace

void AccumulatorPair::addSub(bool side, int addSq, int addType, int subSq, int subType, BucketPair buckets) {
    addSub(*this, side, addSq, addType, subSq, subType, buckets);
}

void AccumulatorPair::addSubSub(bool side, int addSq, int addType, int subSq, int subType, int sub2Sq,
                                int sub2Type, BucketPair buckets) {
    addSubSub(*this, side, addSq, addType, subSq, subType, sub2Sq, sub2Type, buckets);
}

void AccumulatorPair::addAddSubSub(bool side, int addSq1, int addType1, int addSq2, int addType2, int subSq1,
                                   int subType1, int subSq2, int subType2, BucketPair buckets) {
    addAddSubSub(*this, side, addSq1, addType1, addSq2, addType2, subSq1, subType1, subSq2, subType2,
                 buckets);
}

void AccumulatorPair::addSub(const AccumulatorPair& source, bool side, int addSq, int addType, int subSq,
                             int subType, BucketPair buckets) {
    const int us = side ? BLACK : WHITE;
    const int16_t* wAdd = Row(buckets.white, whiteMirrored, WHITE, us, addType, addSq);
    const int16_t* wSub = Row(buckets.white, whiteMirrored, WHITE, us, subType, subSq);
    const int16_t* bAdd = Row(buckets.black, blackMirrored, BLACK, us, addType, addSq);
    const int16_t* bSub = Row(buckets.black, blackMirrored, BLACK, us, subType, subSq);
    for (int i = 0; i < NNUE::HIDDEN_SIZE; i += LANES) {
        Store(white + i,
              _mm256_add_epi16(Load(source.white + i), _mm256_sub_epi16(Load(wAdd + i), Load(wSub + i))));
        Store(black + i,
              _mm256_add_epi16(Load(source.black + i), _mm256_sub_epi16(Load(bAdd + i), Load(bSub + i))));
    }
}

void AccumulatorPair::addSubSub(const AccumulatorPair& source, bool side, int addSq, int addType, int subSq,
                                int subType, int sub2Sq, int sub2Type, BucketPair buckets) {
    const int us = side ? BLACK : WHITE;
    const int them = us ^ 1;
    const int16_t* wAdd = Row(buckets.white, whiteMirrored, WHITE, us, addType, addSq);
    const int16_t* wSub = Row(buckets.white, whiteMirrored, WHITE, us, subType, subSq);
    const int16_t* wSub2 = Row(buckets.white, whiteMirrored, WHITE, them, sub2Type, sub2Sq);
    const int16_t* bAdd = Row(buckets.black, blackMirrored, BLACK, us, addType, addSq);
    const int16_t* bSub = Row(buckets.black, blackMirrored, BLACK, us, subType, subSq);
    const int16_t* bSub2 = Row(buckets.black, blackMirrored, BLACK, them, sub2Type, sub2Sq);
    for (int i = 0; i < NNUE::HIDDEN_SIZE; i += LANES) {
        const __m256i wDelta =
            _mm256_sub_epi16(Load(wAdd + i), _mm256_add_epi16(Load(wSub + i), Load(wSub2 + i)));
        const __m256i bDelta =
            _mm256_sub_epi16(Load(bAdd + i), _mm256_add_epi16(Load(bSub + i), Load(bSub2 + i)));
        Store(white + i, _mm256_add_epi16(Load(source.white + i), wDelta));
        Store(black + i, _mm256_add_epi16(Load(source.black + i), bDelta));
    }
}

void AccumulatorPair::addAddSubSub(const AccumulatorPair& source, bool side, int addSq1, int addType1,
                                   int addSq2, int addType2, int subSq1, int subType1, int subSq2,
                                   int subType2, BucketPair buckets) {
    const int us = side ? BLACK : WHITE;
    const int16_t* wAdd1 = Row(buckets.white, whiteMirrored, WHITE, us, addType1, addSq1);
    const int16_t* wAdd2 = Row(buckets.white, whiteMirrored, WHITE, us, addType2, addSq2);
    const int16_t* wSub1 = Row(buckets.white, whiteMirrored, WHITE, us, subType1, subSq1);
    const int16_t* wSub2 = Row(buckets.white, whiteMirrored, WHITE, us, subType2, subSq2);
    const int16_t* bAdd1 = Row(buckets.black, blackMirrored, BLACK, us, addType1, addSq1);
    const int16_t* bAdd2 = Row(buckets.black, blackMirrored, BLACK, us, addType2, addSq2);
    const int16_t* bSub1 = Row(buckets.black, blackMirrored, BLACK, us, subType1, subSq1);
    const int16_t* bSub2 = Row(buckets.black, blackMirrored, BLACK, us, subType2, subSq2);
    for (int i = 0; i < NNUE::HIDDEN_SIZE; i += LANES) {
        const __m256i wDelta = _mm256_sub_epi16(_mm256_add_epi16(Load(wAdd1 + i), Load(wAdd2 + i)),
                                                _mm256_add_epi16(Load(wSub1 + i), Load(wSub2 + i)));
        const __m256i bDelta = _mm256_sub_epi16(_mm256_add_epi16(Load(bAdd1 + i), Load(bAdd2 + i)),
                                                _mm256_add_epi16(Load(bSub1 + i), Load(bSub2 + i)));
        Store(white + i, _mm256_add_epi16(Load(source.white + i), wDelta));
        Store(black + i, _mm256_add_epi16(Load(source.black + i), bDelta));
    }
}

} // namespace ACC

void Board::ResetAccPair() {
    using ACC::LANES;
    // A missing king (only unchecked input can remove one) falls back to bucket 0, so the
    // rebuild stays inside the tables.
    const uint64_t whiteKing = pieces[KING] & colours[WHITE];
    const uint64_t blackKing = pieces[KING] & colours[BLACK];
    const int whiteBucket = whiteKing ? NNUE::kingBuckets[WHITE][__builtin_ctzll(whiteKing)] : 0;
    const int blackBucket = blackKing ? NNUE::kingBuckets[BLACK][__builtin_ctzll(blackKing)] : 0;

    // Rows of every piece, white pieces first, each colour in ascending square order.
    const int16_t* whiteRows[64];
    const int16_t* blackRows[64];
    int count = 0;
    for (int colour = WHITE; colour <= BLACK; ++colour) {
        for (uint64_t set = colours[colour]; set; set &= set - 1) {
            const int sq = __builtin_ctzll(set);
            const int type = mailbox[sq];
            whiteRows[count] = ACC::Row(whiteBucket, accPair.whiteMirrored, WHITE, colour, type, sq);
            blackRows[count] = ACC::Row(blackBucket, accPair.blackMirrored, BLACK, colour, type, sq);
            ++count;
        }
    }

    // Blocks of 64 values per perspective stay in registers while all rows are added.
    constexpr int BLOCK = 4 * LANES;
    const int16_t* bias = NNUE::net.featureBias;
    for (int i = 0; i < NNUE::HIDDEN_SIZE; i += BLOCK) {
        __m256i w[4], b[4];
        for (int k = 0; k < 4; ++k) w[k] = b[k] = ACC::Load(bias + i + k * LANES);
        for (int r = 0; r < count; ++r) {
            for (int k = 0; k < 4; ++k) {
                w[k] = _mm256_add_epi16(w[k], ACC::Load(whiteRows[r] + i + k * LANES));
                b[k] = _mm256_add_epi16(b[k], ACC::Load(blackRows[r] + i + k * LANES));
            }
        }
        for (int k = 0; k < 4; ++k) {
            ACC::Store(accPair.white + i + k * LANES, w[k]);
            ACC::Store(accPair.black + i + k * LANES, b[k]);
        }
    }
}

void Board::ResetAccumulator(int perspective) {
    using ACC::LANES;
    const uint64_t king = pieces[KING] & colours[perspective];
    const int bucket = king ? NNUE::kingBuckets[perspective][__builtin_ctzll(king)] : 0;
    const bool mirrored = perspective == WHITE ? accPair.whiteMirrored : accPair.blackMirrored;

    const int16_t* rows[64];
    int count = 0;
    for (int colour = WHITE; colour <= BLACK; ++colour)
        for (uint64_t set = colours[colour]; set; set &= set - 1) {
            const int sq = __builtin_ctzll(set);
            rows[count++] = ACC::Row(bucket, mirrored, perspective, colour, mailbox[sq], sq);
        }

    // One perspective only: blocks of 128 values stay in eight registers while all rows are added.
    constexpr int REGS = 8;
    int16_t* out = perspective == WHITE ? accPair.white : accPair.black;
    const int16_t* bias = NNUE::net.featureBias;
    for (int i = 0; i < NNUE::HIDDEN_SIZE; i += REGS * LANES) {
        __m256i v[REGS];
        for (int k = 0; k < REGS; ++k) v[k] = ACC::Load(bias + i + k * LANES);
        for (int r = 0; r < count; ++r)
            for (int k = 0; k < REGS; ++k) v[k] = _mm256_add_epi16(v[k], ACC::Load(rows[r] + i + k * LANES));
        for (int k = 0; k < REGS; ++k) ACC::Store(out + i + k * LANES, v[k]);
    }
}
