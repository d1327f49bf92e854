#pragma once

#include <cstdint>

struct Board;

// Embedded weight data (placed by the build into read-only data).
extern "C" {
extern const unsigned char gEVALData[];
extern const unsigned char gEVALEnd[];
extern const uint32_t gEVALSize;
}

namespace NNUE {

constexpr int INPUT_SIZE = 768;
constexpr int INPUT_BUCKETS = 8;
constexpr int HIDDEN_SIZE = 1536;
constexpr int OUTPUT_BUCKETS = 8;
constexpr int QA = 255;
constexpr int QB = 64;
constexpr int EVAL_SCALE = 400;

struct alignas(32) Network {
    int16_t featureWeights[INPUT_BUCKETS][INPUT_SIZE][HIDDEN_SIZE];
    int16_t featureBias[HIDDEN_SIZE];
    int16_t outputWeights[OUTPUT_BUCKETS][2][HIDDEN_SIZE];
    int16_t outputBias[OUTPUT_BUCKETS];

    // Score of the position for the side to move; raw skips the material scaling.
    static int16_t Evaluate(const Board& board, bool raw);
};

extern Network net;

// Factor, in 4096ths, that Evaluate applies to the raw output: smaller as pieces come off.
int MaterialScale(const Board& board);

// [perspective][square of that perspective's own king]
extern const int32_t kingBuckets[2][64];

// Input index of a piece (colour, type on sq) as seen by perspective with its mirror flag.
inline int featureIndex(int perspective, bool mirrored, int colour, int type, int sq) {
    const int flip = perspective == 0 ? (mirrored ? 7 : 0) : (mirrored ? 63 : 56);
    return (colour == perspective ? 0 : 384) + 64 * type + (sq ^ flip);
}

// Start-up copy of the embedded data into net.
void LoadNetwork();

} // namespace NNUE
