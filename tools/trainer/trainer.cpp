#include "trainer.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace TRAINER {

namespace {

// Positions between two synchronisations of the threads; their accumulator slices stay in the
// core's own cache while the rows they share are read once.
constexpr int CHUNK = 1024;

inline double Sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// Sum over a slice of n (a multiple of 8) hidden values of clamp(a, 0, 1)^2 * w.
inline float SquaredClippedDot(const float* a, const float* w, int n) {
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    __m256 sum = _mm256_setzero_ps();
    for (int j = 0; j < n; j += 8) {
        const __m256 c = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(a + j), zero), one);
        sum = _mm256_fmadd_ps(_mm256_mul_ps(c, c), _mm256_loadu_ps(w + j), sum);
    }
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    const __m128 pairs = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

inline void AddRow(float* __restrict acc, const float* __restrict row, int n) {
    for (int j = 0; j < n; j += 8)
        _mm256_storeu_ps(acc + j, _mm256_add_ps(_mm256_loadu_ps(acc + j), _mm256_loadu_ps(row + j)));
}

// Turns a slice of accumulator values into their gradients in place, for an output gradient g:
// adds g * clamp(a)^2 to the output weights' gradients and the new values to the bias's.
inline void BackwardSlice(float* a, const float* w, float* gw, float* gb, float g, int n) {
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), vg = _mm256_set1_ps(g);
    const __m256 twoG = _mm256_set1_ps(2.0f * g);
    for (int j = 0; j < n; j += 8) {
        const __m256 x = _mm256_loadu_ps(a + j);
        const __m256 c = _mm256_min_ps(_mm256_max_ps(x, zero), one);
        _mm256_storeu_ps(gw + j, _mm256_fmadd_ps(vg, _mm256_mul_ps(c, c), _mm256_loadu_ps(gw + j)));
        // The clamp has no slope outside (0, 1).
        const __m256 inside = _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ), _mm256_cmp_ps(x, one, _CMP_LT_OQ));
        const __m256 d = _mm256_and_ps(inside, _mm256_mul_ps(_mm256_mul_ps(twoG, _mm256_loadu_ps(w + j)), x));
        _mm256_storeu_ps(a + j, d);
        _mm256_storeu_ps(gb + j, _mm256_add_ps(_mm256_loadu_ps(gb + j), d));
    }
}

struct AdamConsts {
    float beta1, beta2, epsilon, rate, decay;
};

inline void Adam(float& w, float& m, float& v, float g, const AdamConsts& c) {
    m = c.beta1 * m + (1.0f - c.beta1) * g;
    v = c.beta2 * v + (1.0f - c.beta2) * g * g;
    w -= c.rate * m / (std::sqrt(v) + c.epsilon) + c.decay * w;
}

// Hidden units per thread must be whole vectors: the largest thread count up to the request
// that divides the hidden layer into slices of a multiple of 8.
int UsableThreads(int requested) {
    int t = std::clamp(requested, 1, HIDDEN / 8);
    while (HIDDEN % (8 * t) != 0) --t;
    return t;
}

} // namespace

double Target(const TrainPos& pos, float wdl) {
    return (1.0 - wdl) * Sigmoid(pos.score / 400.0) + wdl * (pos.result / 2.0);
}

double PositionLoss(double output, const TrainPos& pos, const TrainConfig& config) {
    return std::pow(std::fabs(Sigmoid(output) - Target(pos, config.wdl)), double(config.power));
}

AlignedFloats::AlignedFloats(std::size_t count)
    : p(static_cast<float*>(std::aligned_alloc(64, (count * sizeof(float) + 63) / 64 * 64))), n(count) {
    if (!p) throw std::bad_alloc();
    std::memset(p.get(), 0, count * sizeof(float));
}

void AlignedFloats::Free::operator()(float* q) const { std::free(q); }

Trainer::Trainer(Checkpoint& trainState, const TrainConfig& trainConfig)
    : state(trainState), config(trainConfig), threads(UsableThreads(trainConfig.threads)), slice(HIDDEN / threads),
      gradRows(std::size_t(ROWS) * HIDDEN), gradBias(HIDDEN), gradOutW(std::size_t(OUT_BUCKETS) * 2 * HIDDEN),
      threadLoss(threads), start(threads + 1), done(threads + 1), phase(threads) {
    if (state.m.size() != PARAM_COUNT) state.m.assign(PARAM_COUNT, 0.0f);
    if (state.v.size() != PARAM_COUNT) state.v.assign(PARAM_COUNT, 0.0f);
    for (auto& p : partials) p.assign(std::size_t(threads) * CHUNK, 0.0f);
    for (int id = 0; id < threads; ++id) pool.emplace_back([this, id] { WorkerLoop(id); });
}

Trainer::~Trainer() {
    quit = true;
    start.arrive_and_wait();
    for (std::thread& t : pool) t.join();
}

void Trainer::WorkerLoop(int id) {
    for (;;) {
        start.arrive_and_wait();
        if (quit) return;
        (*job)(id);
        done.arrive_and_wait();
    }
}

void Trainer::RunOnAll(const std::function<void(int)>& work) {
    job = &work;
    start.arrive_and_wait();
    done.arrive_and_wait();
    job = nullptr;
}

double Trainer::AccumulateGradients(const TrainPos* positions, std::size_t count, double scale) {
    threadLoss[0] = 0;
    RunOnAll([&](int id) { GradientSlice(id, positions, count, scale); });
    return threadLoss[0];
}

// The chunk's feature rows in row order: every row is read (forward) and written (backward)
// once per chunk for all the chunk's accumulators that use it, instead of once per position;
// the rows do not fit in cache, the chunk's accumulators do.
struct RowGroups {
    std::vector<uint32_t> start;   // [ROWS + 1] offsets into targets, after Build
    std::vector<uint16_t> targets; // accumulator numbers (position * 2 + side), grouped by row
    std::vector<uint16_t> rows;    // the rows in use, ascending

    RowGroups() : start(ROWS + 1), targets(std::size_t(CHUNK) * 2 * 32) {}

    void Build(const Features* feats, int chunk) {
        std::fill(start.begin(), start.end(), 0u);
        for (int p = 0; p < chunk; ++p)
            for (int side = 0; side < 2; ++side)
                for (int i = 0; i < feats[p].count; ++i) ++start[feats[p].rows[side][i] + 1];
        rows.clear();
        for (int r = 0; r < ROWS; ++r) {
            if (start[r + 1]) rows.push_back(uint16_t(r));
            start[r + 1] += start[r];
        }
        std::vector<uint32_t>& fill = cursor;
        fill.assign(start.begin(), start.end() - 1);
        for (int p = 0; p < chunk; ++p)
            for (int side = 0; side < 2; ++side)
                for (int i = 0; i < feats[p].count; ++i) targets[fill[feats[p].rows[side][i]]++] = uint16_t(p * 2 + side);
    }

  private:
    std::vector<uint32_t> cursor;
};

void Trainer::GradientSlice(int id, const TrainPos* positions, std::size_t count, double scale) {
    const Model& model = state.model;
    const int s0 = id * slice, n = slice;
    std::vector<float> acc(std::size_t(CHUNK) * 2 * n), rowGrad(n);
    std::vector<Features> feats(CHUNK);
    std::vector<float> grads(CHUNK);
    RowGroups groups;
    double loss = 0;
    int parity = 0;
    for (std::size_t first = 0; first < count; first += CHUNK, parity ^= 1) {
        const int chunk = int(std::min<std::size_t>(CHUNK, count - first));
        float* mine = partials[parity].data() + std::size_t(id) * CHUNK;
        for (int p = 0; p < chunk; ++p) ExtractFeatures(positions[first + p], feats[p]);
        groups.Build(feats.data(), chunk);

        for (int a = 0; a < 2 * chunk; ++a) std::memcpy(&acc[std::size_t(a) * n], &model.bias[s0], n * sizeof(float));
        for (const uint16_t r : groups.rows) {
            const float* row = &model.merged[std::size_t(r) * HIDDEN + s0];
            for (uint32_t k = groups.start[r]; k < groups.start[r + 1]; ++k)
                AddRow(&acc[std::size_t(groups.targets[k]) * n], row, n);
        }
        for (int p = 0; p < chunk; ++p) {
            const std::size_t outRow = std::size_t(feats[p].outputBucket) * 2 * HIDDEN + s0;
            mine[p] = SquaredClippedDot(&acc[std::size_t(p) * 2 * n], &model.outW[outRow], n) +
                      SquaredClippedDot(&acc[(std::size_t(p) * 2 + 1) * n], &model.outW[outRow + HIDDEN], n);
        }
        phase.arrive_and_wait();
        // Every thread forms the same outputs from the slices' partial sums in the same order.
        for (int p = 0; p < chunk; ++p) {
            const TrainPos& pos = positions[first + p];
            double output = model.outB[feats[p].outputBucket];
            for (int t = 0; t < threads; ++t) output += partials[parity][std::size_t(t) * CHUNK + p];
            const double prediction = Sigmoid(output);
            const double diff = prediction - Target(pos, config.wdl);
            const double magnitude = std::fabs(diff);
            const double dLoss = config.power * std::pow(magnitude, config.power - 1.0) * (diff < 0 ? -1.0 : 1.0);
            const double gradient = dLoss * prediction * (1.0 - prediction) / scale;
            grads[p] = float(gradient);
            if (id == 0) {
                loss += std::pow(magnitude, double(config.power));
                gradOutB[feats[p].outputBucket] += gradient;
            }
        }
        // Each accumulator becomes its gradient, in place.
        float* gb = &gradBias[s0];
        for (int p = 0; p < chunk; ++p) {
            const float g = grads[p];
            for (int side = 0; side < 2; ++side) {
                float* a = &acc[(std::size_t(p) * 2 + side) * n];
                const std::size_t outRow = (std::size_t(feats[p].outputBucket) * 2 + side) * HIDDEN + s0;
                const float* w = &model.outW[outRow];
                float* gw = &gradOutW[outRow];
                BackwardSlice(a, w, gw, gb, g, n);
            }
        }
        for (const uint16_t r : groups.rows) {
            std::fill(rowGrad.begin(), rowGrad.end(), 0.0f);
            for (uint32_t k = groups.start[r]; k < groups.start[r + 1]; ++k)
                AddRow(rowGrad.data(), &acc[std::size_t(groups.targets[k]) * n], n);
            AddRow(&gradRows[std::size_t(r) * HIDDEN + s0], rowGrad.data(), n);
        }
    }
    if (id == 0) threadLoss[0] = loss;
}

float Trainer::FactorGradient(int feature, int unit) const {
    float sum = 0;
    for (int b = 0; b < NNUE::INPUT_BUCKETS; ++b) sum += gradRows[(std::size_t(b) * INPUTS + feature) * HIDDEN + unit];
    return sum;
}

void Trainer::Step(float learningRate) {
    ++state.step;
    RunOnAll([&](int id) { StepSlice(id, learningRate); });
}

void Trainer::StepSlice(int id, float learningRate) {
    Model& model = state.model;
    const double t = double(state.step);
    AdamConsts c{config.beta1, config.beta2, config.epsilon,
                 float(learningRate * std::sqrt(1.0 - std::pow(config.beta2, t)) / (1.0 - std::pow(config.beta1, t))),
                 learningRate * config.weightDecay};
    AdamConsts bucketC = c;
    bucketC.rate *= config.bucketRate;
    bucketC.decay *= config.bucketRate;
    float* m = state.m.data();
    float* v = state.v.data();
    const std::size_t factorAt = std::size_t(ROWS) * HIDDEN;
    const std::size_t biasAt = factorAt + std::size_t(INPUTS) * HIDDEN;
    const std::size_t outWAt = biasAt + HIDDEN;
    const std::size_t outBAt = outWAt + std::size_t(OUT_BUCKETS) * 2 * HIDDEN;
    const int s0 = id * slice, s1 = s0 + slice;
    std::vector<float> factorGrad(slice);

    for (int i = 0; i < INPUTS; ++i) {
        std::fill(factorGrad.begin(), factorGrad.end(), 0.0f);
        for (int b = 0; b < NNUE::INPUT_BUCKETS; ++b) {
            const float* g = &gradRows[(std::size_t(b) * INPUTS + i) * HIDDEN + s0];
            for (int j = 0; j < slice; ++j) factorGrad[j] += g[j];
        }
        const std::size_t f0 = std::size_t(i) * HIDDEN;
        for (int j = s0; j < s1; ++j) {
            Adam(model.factor[f0 + j], m[factorAt + f0 + j], v[factorAt + f0 + j], factorGrad[j - s0], c);
            model.factor[f0 + j] = std::clamp(model.factor[f0 + j], -WEIGHT_CLIP, WEIGHT_CLIP);
        }
        for (int b = 0; b < NNUE::INPUT_BUCKETS; ++b) {
            const std::size_t r0 = (std::size_t(b) * INPUTS + i) * HIDDEN;
            for (int j = s0; j < s1; ++j) {
                Adam(model.bucketed[r0 + j], m[r0 + j], v[r0 + j], gradRows[r0 + j], bucketC);
                gradRows[r0 + j] = 0.0f;
                // The sum is what gets quantised, so the sum is what must stay in range.
                const float merged = std::clamp(model.bucketed[r0 + j] + model.factor[f0 + j], -WEIGHT_CLIP, WEIGHT_CLIP);
                model.merged[r0 + j] = merged;
                model.bucketed[r0 + j] = merged - model.factor[f0 + j];
            }
        }
    }
    for (int j = s0; j < s1; ++j) {
        Adam(model.bias[j], m[biasAt + j], v[biasAt + j], gradBias[j], c);
        model.bias[j] = std::clamp(model.bias[j], -WEIGHT_CLIP, WEIGHT_CLIP);
        gradBias[j] = 0.0f;
    }
    for (int half = 0; half < OUT_BUCKETS * 2; ++half)
        for (int j = s0; j < s1; ++j) {
            const std::size_t k = std::size_t(half) * HIDDEN + j;
            Adam(model.outW[k], m[outWAt + k], v[outWAt + k], gradOutW[k], c);
            model.outW[k] = std::clamp(model.outW[k], -WEIGHT_CLIP, WEIGHT_CLIP);
            gradOutW[k] = 0.0f;
        }
    if (id == 0)
        for (int b = 0; b < OUT_BUCKETS; ++b) {
            Adam(model.outB[b], m[outBAt + b], v[outBAt + b], float(gradOutB[b]), c);
            model.outB[b] = std::clamp(model.outB[b], -WEIGHT_CLIP, WEIGHT_CLIP);
            gradOutB[b] = 0.0;
        }
}

double Trainer::MeanLoss(const TrainPos* positions, std::size_t count) {
    if (count == 0) return 0.0;
    RunOnAll([&](int id) { LossShare(id, positions, count); });
    double total = 0;
    for (double l : threadLoss) total += l;
    return total / double(count);
}

void Trainer::LossShare(int id, const TrainPos* positions, std::size_t count) {
    const Model& model = state.model;
    std::vector<float> acc(HIDDEN);
    Features f;
    double loss = 0;
    for (std::size_t p = id; p < count; p += threads) {
        ExtractFeatures(positions[p], f);
        double output = model.outB[f.outputBucket];
        for (int side = 0; side < 2; ++side) {
            std::memcpy(acc.data(), model.bias.data(), HIDDEN * sizeof(float));
            for (int i = 0; i < f.count; ++i) AddRow(acc.data(), &model.merged[std::size_t(f.rows[side][i]) * HIDDEN], HIDDEN);
            output += SquaredClippedDot(acc.data(), &model.outW[(std::size_t(f.outputBucket) * 2 + side) * HIDDEN], HIDDEN);
        }
        loss += PositionLoss(output, positions[p], config);
    }
    threadLoss[id] = loss;
}

} // namespace TRAINER
