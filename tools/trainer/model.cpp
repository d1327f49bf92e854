#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace TRAINER {

namespace {

constexpr char CHECKPOINT_MAGIC[8] = {'V', 'S', 'T', 'R', 'C', 'K', 'P', '1'};
constexpr std::size_t NETWORK_FILE_BYTES = 18926656;

int16_t Round(double value, double limit, const char* what) {
    const double r = std::nearbyint(value);
    if (!(std::fabs(r) <= limit))
        throw std::runtime_error(std::string("quantised ") + what + " " + std::to_string(r) + " is outside +-" +
                                 std::to_string(int(limit)));
    return int16_t(r);
}

template <typename T> void Put(std::string& out, const T* data, std::size_t count) {
    out.append(reinterpret_cast<const char*>(data), count * sizeof(T));
}

template <typename T> bool Get(std::ifstream& in, T* data, std::size_t count) {
    return bool(in.read(reinterpret_cast<char*>(data), std::streamsize(count * sizeof(T))));
}

} // namespace

Model::Model()
    : bucketed(std::size_t(ROWS) * HIDDEN), factor(std::size_t(INPUTS) * HIDDEN), merged(std::size_t(ROWS) * HIDDEN),
      bias(HIDDEN), outW(std::size_t(OUT_BUCKETS) * 2 * HIDDEN), outB(OUT_BUCKETS) {}

void Model::Randomise(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> feature(-0.1f, 0.1f);
    std::uniform_real_distribution<float> output(-1.0f / std::sqrt(float(HIDDEN)), 1.0f / std::sqrt(float(HIDDEN)));
    std::fill(bucketed.begin(), bucketed.end(), 0.0f);
    for (float& w : factor) w = feature(rng);
    std::fill(bias.begin(), bias.end(), 0.0f);
    for (float& w : outW) w = output(rng);
    std::fill(outB.begin(), outB.end(), 0.0f);
    Merge();
}

void Model::Merge() {
    for (int r = 0; r < ROWS; ++r) {
        const float* b = &bucketed[std::size_t(r) * HIDDEN];
        const float* f = &factor[std::size_t(r % INPUTS) * HIDDEN];
        float* m = &merged[std::size_t(r) * HIDDEN];
        for (int j = 0; j < HIDDEN; ++j) m[j] = b[j] + f[j];
    }
}

double Model::Forward(const TrainPos& pos) const {
    Features features;
    ExtractFeatures(pos, features);
    double out = outB[features.outputBucket];
    for (int side = 0; side < 2; ++side) {
        const float* weights = &outW[(std::size_t(features.outputBucket) * 2 + side) * HIDDEN];
        for (int j = 0; j < HIDDEN; ++j) {
            double acc = bias[j];
            for (int i = 0; i < features.count; ++i) {
                const int row = features.rows[side][i];
                acc += double(bucketed[std::size_t(row) * HIDDEN + j]) + factor[std::size_t(row % INPUTS) * HIDDEN + j];
            }
            const double a = std::clamp(acc, 0.0, 1.0);
            out += a * a * weights[j];
        }
    }
    return out;
}

std::string Quantise(const Model& model, double outputScale) {
    constexpr double QA = NNUE::QA, QB = NNUE::QB;
    std::vector<int16_t> values;
    values.reserve(std::size_t(ROWS) * HIDDEN + HIDDEN + std::size_t(OUT_BUCKETS) * 2 * HIDDEN + OUT_BUCKETS);
    for (int r = 0; r < ROWS; ++r)
        for (int j = 0; j < HIDDEN; ++j) {
            const double w = double(model.bucketed[std::size_t(r) * HIDDEN + j]) + model.factor[std::size_t(r % INPUTS) * HIDDEN + j];
            values.push_back(Round(w * QA, 505, "feature weight"));
        }
    // 32 rows of 505 plus the bias must stay inside int16.
    for (int j = 0; j < HIDDEN; ++j) values.push_back(Round(model.bias[j] * QA, 505, "feature bias"));
    for (float w : model.outW) values.push_back(Round(w * outputScale * QB, 127, "output weight"));
    for (float b : model.outB) values.push_back(Round(double(b) * outputScale * QA * QB, 32767, "output bias"));
    std::string out;
    out.reserve(NETWORK_FILE_BYTES);
    Put(out, values.data(), values.size());
    out.append(NETWORK_FILE_BYTES - out.size(), '\0');
    return out;
}

void WriteNetwork(const Model& model, const std::string& path, double outputScale) {
    const std::string bytes = Quantise(model, outputScale);
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), std::streamsize(bytes.size())) || !out.flush())
            throw std::runtime_error(temp + ": write failed");
    }
    std::filesystem::rename(temp, path);
}

void ReadNetwork(Model& model, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be opened");
    std::vector<int16_t> values(NETWORK_FILE_BYTES / sizeof(int16_t));
    if (!Get(in, values.data(), values.size()) || in.peek() != std::ifstream::traits_type::eof())
        throw std::runtime_error(path + ": not a network file of " + std::to_string(NETWORK_FILE_BYTES) + " bytes");
    constexpr float QA = NNUE::QA, QB = NNUE::QB;
    const int16_t* v = values.data();
    for (float& w : model.bucketed) w = float(*v++) / QA;
    std::fill(model.factor.begin(), model.factor.end(), 0.0f);
    for (float& b : model.bias) b = float(*v++) / QA;
    for (float& w : model.outW) w = float(*v++) / QB;
    for (float& b : model.outB) b = float(*v++) / (QA * QB);
    model.Merge();
}

void SaveCheckpoint(const Checkpoint& state, const std::string& path) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error(temp + ": cannot be created");
        std::string head(CHECKPOINT_MAGIC, sizeof CHECKPOINT_MAGIC);
        Put(head, &state.step, 1);
        const int64_t epoch = state.epoch;
        Put(head, &epoch, 1);
        out.write(head.data(), std::streamsize(head.size()));
        const Model& m = state.model;
        for (const std::vector<float>* part : {&m.bucketed, &m.factor, &m.bias, &m.outW, &m.outB, &state.m, &state.v})
            out.write(reinterpret_cast<const char*>(part->data()), std::streamsize(part->size() * sizeof(float)));
        if (!out.flush()) throw std::runtime_error(temp + ": write failed");
    }
    std::filesystem::rename(temp, path);
}

void LoadCheckpoint(Checkpoint& state, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be opened");
    char magic[sizeof CHECKPOINT_MAGIC];
    int64_t epoch = 0;
    if (!Get(in, magic, sizeof magic) || std::memcmp(magic, CHECKPOINT_MAGIC, sizeof magic) != 0)
        throw std::runtime_error(path + ": not a trainer checkpoint");
    state.m.resize(PARAM_COUNT);
    state.v.resize(PARAM_COUNT);
    Model& m = state.model;
    bool ok = Get(in, &state.step, 1) && Get(in, &epoch, 1);
    for (std::vector<float>* part : {&m.bucketed, &m.factor, &m.bias, &m.outW, &m.outB, &state.m, &state.v})
        ok = ok && Get(in, part->data(), part->size());
    if (!ok || in.peek() != std::ifstream::traits_type::eof()) throw std::runtime_error(path + ": truncated or wrong size");
    state.epoch = int(epoch);
    m.Merge();
}

} // namespace TRAINER
