#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dataset.h"
#include "nnue.h"

namespace TRAINER {

constexpr int INPUTS = NNUE::INPUT_SIZE;
constexpr int ROWS = NNUE::INPUT_BUCKETS * NNUE::INPUT_SIZE; // bucketed feature rows
constexpr int HIDDEN = NNUE::HIDDEN_SIZE;
constexpr int OUT_BUCKETS = NNUE::OUTPUT_BUCKETS;

// Largest magnitude of a feature weight, bias or output weight in float units: times 255
// (feature) or 64 (output) it stays within the engine's quantised ranges.
constexpr float WEIGHT_CLIP = 1.98f;

// The float network. The feature row a bucket uses is bucketed[bucket][feature] plus the
// shared factor[feature]; merged holds that sum, refreshed after every change.
struct Model {
    std::vector<float> bucketed; // [ROWS][HIDDEN]
    std::vector<float> factor;   // [INPUTS][HIDDEN]
    std::vector<float> merged;   // [ROWS][HIDDEN]
    std::vector<float> bias;     // [HIDDEN]
    std::vector<float> outW;     // [OUT_BUCKETS][2][HIDDEN], half 0 for the side to move
    std::vector<float> outB;     // [OUT_BUCKETS]

    Model();
    void Randomise(uint64_t seed);
    // Recomputes merged from bucketed and factor (the whole array).
    void Merge();

    // Output in units of 400 centipawns, computed plainly in double precision.
    double Forward(const TrainPos& pos) const;
};

// The engine's weight file image (18,926,656 bytes). Throws std::runtime_error when a
// quantised value would leave its allowed range.
// outputScale multiplies the output layer, widening the engine's scores by that factor.
std::string Quantise(const Model& model, double outputScale = 1.0);
void WriteNetwork(const Model& model, const std::string& path, double outputScale = 1.0);

// Reads an engine weight file into the model: its feature rows become the buckets' own rows
// and the shared factor starts at zero. Throws std::runtime_error for a missing or
// wrong-sized file.
void ReadNetwork(Model& model, const std::string& path);

// Training state that a later run resumes from.
struct Checkpoint {
    Model model;
    // Adam moments, in the order bucketed, factor, bias, outW, outB.
    std::vector<float> m, v;
    uint64_t step = 0;
    int epoch = 0; // completed passes
};
// Written through a temporary name, so an interrupted write keeps the previous file.
void SaveCheckpoint(const Checkpoint& state, const std::string& path);
// Throws std::runtime_error for a missing, truncated or foreign file.
void LoadCheckpoint(Checkpoint& state, const std::string& path);

// Total parameter count in the moment order above.
constexpr std::size_t PARAM_COUNT =
    std::size_t(ROWS) * HIDDEN + std::size_t(INPUTS) * HIDDEN + HIDDEN + std::size_t(OUT_BUCKETS) * 2 * HIDDEN + OUT_BUCKETS;

} // namespace TRAINER
