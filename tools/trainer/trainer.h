#pragma once

#include <barrier>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "dataset.h"
#include "model.h"

namespace TRAINER {

struct TrainConfig {
    int threads = 8;
    float wdl = 0.3f;    // share of the game result in the target
    float power = 2.5f;  // loss = |sigmoid(output) - target| ^ power
    float weightDecay = 0.01f;
    float bucketRate = 1.0f; // learning rate of the per-bucket rows as a share of the rest's
    float beta1 = 0.9f, beta2 = 0.999f, epsilon = 1e-8f;
};

// Training target and loss of one position for an output o (units of 400 centipawns).
double Target(const TrainPos& pos, float wdl);
double PositionLoss(double output, const TrainPos& pos, const TrainConfig& config);

// Float buffer on 64-byte boundaries, so the threads' slices of a row never share a line.
struct AlignedFloats {
    explicit AlignedFloats(std::size_t n);
    float* data() { return p.get(); }
    const float* data() const { return p.get(); }
    float& operator[](std::size_t i) { return p[i]; }
    float operator[](std::size_t i) const { return p[i]; }
    std::size_t size() const { return n; }

  private:
    struct Free {
        void operator()(float* q) const;
    };
    std::unique_ptr<float[], Free> p;
    std::size_t n;
};

// Gradients and AdamW steps over the state's model on a fixed pool of threads. Each thread
// owns a slice of the hidden units in every array, so the threads never write the same value
// and a run gives the same result every time for the same thread count.
class Trainer {
  public:
    Trainer(Checkpoint& state, const TrainConfig& config);
    ~Trainer();
    Trainer(const Trainer&) = delete;
    Trainer& operator=(const Trainer&) = delete;

    // Adds the gradient of the loss over the positions, divided by scale (the batch size for a
    // mean), to the gradient arrays; returns the positions' summed loss.
    double AccumulateGradients(const TrainPos* positions, std::size_t count, double scale);
    // One AdamW step with the accumulated gradients, which it then clears; clips the weights.
    void Step(float learningRate);
    // Mean loss over the positions, forward only.
    double MeanLoss(const TrainPos* positions, std::size_t count);

    // Accumulated gradients (in the layout of the model's arrays); the factor's gradient is
    // the sum of its rows' gradients over the buckets.
    float BucketedGradient(int row, int unit) const { return gradRows[std::size_t(row) * HIDDEN + unit]; }
    float FactorGradient(int feature, int unit) const;
    float BiasGradient(int unit) const { return gradBias[unit]; }
    float OutputWeightGradient(int bucket, int half, int unit) const {
        return gradOutW[(std::size_t(bucket) * 2 + half) * HIDDEN + unit];
    }
    float OutputBiasGradient(int bucket) const { return gradOutB[bucket]; }

  private:
    void RunOnAll(const std::function<void(int)>& job);
    void WorkerLoop(int id);
    void GradientSlice(int id, const TrainPos* positions, std::size_t count, double scale);
    void StepSlice(int id, float learningRate);
    void LossShare(int id, const TrainPos* positions, std::size_t count);

    Checkpoint& state;
    TrainConfig config;
    int threads;
    int slice; // hidden units per thread

    AlignedFloats gradRows; // [ROWS][HIDDEN]
    AlignedFloats gradBias; // [HIDDEN]
    AlignedFloats gradOutW; // [OUT_BUCKETS][2][HIDDEN]
    double gradOutB[OUT_BUCKETS] = {};

    std::vector<float> partials[2]; // [thread][position of the chunk], two chunks in flight
    std::vector<double> threadLoss;

    std::vector<std::thread> pool;
    std::barrier<> start, done, phase;
    const std::function<void(int)>* job = nullptr;
    bool quit = false;
};

} // namespace TRAINER
