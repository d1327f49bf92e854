// Trains the engine's network from self-play game files and writes it in the engine's format.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "dataset.h"
#include "model.h"
#include "movegen.h"
#include "trainer.h"
#include "utils.h"

using namespace TRAINER;

namespace {

constexpr const char* USAGE =
    "usage: vestrel_trainer [options] FILE.binpack...\n"
    "  --epochs N       passes over the data (20)\n"
    "  --batch N        positions per step (16384)\n"
    "  --lr X           peak learning rate (0.001)\n"
    "  --final-lr X     last learning rate as a share of the peak (0.03)\n"
    "  --warmup N       steps of linear warm-up (200)\n"
    "  --wdl X          share of the game result in the target (0.3)\n"
    "  --power X        loss exponent (2.5)\n"
    "  --decay X        AdamW weight decay (0.01)\n"
    "  --bucket-lr X    learning rate of the king buckets' own rows, a share of the rest's (1)\n"
    "  --mate-score CP  keep positions with a mate score, at +-CP centipawns (0: skip them)\n"
    "  --mate-pieces N  keep them only with at most N pieces on the board (32)\n"
    "  --calibrate K    rescale each file's scores so that sigmoid(score / K) fits its results (0: as recorded)\n"
    "  --output-scale X multiply the exported output layer by X (1)\n"
    "  --valid X        share of whole games held out for validation (0.03)\n"
    "  --threads N      training threads (8)\n"
    "  --seed N         seed of the initial weights and the shuffles (1)\n"
    "  --out FILE       network written after every pass (vestrel-trained.nnue)\n"
    "  --checkpoint F   float state written after every pass (trainer.ckpt)\n"
    "  --resume F       continue from a checkpoint\n"
    "  --init FILE      start from the weights of an engine network file instead of random ones\n"
    "  --unscale-material 0|1  divide each score by the engine's material scale of its position (0)\n"
    "  --max-steps N    stop after N steps without writing anything (throughput run)\n";

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted.store(true); }

struct Options {
    std::vector<std::string> files;
    int epochs = 20, batch = 16384, warmup = 200;
    double lr = 0.001, finalLr = 0.03, valid = 0.03;
    uint64_t seed = 1;
    long maxSteps = 0;
    int mateTarget = 0, matePieces = 32;
    double calibrate = 0, outputScale = 1;
    bool unscaleMaterial = false;
    std::string out = "vestrel-trained.nnue", checkpoint = "trainer.ckpt", resume, init;
    TrainConfig config;
};

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value);
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            o.files.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        double x = 0;
        const bool number = ParseNumber(value, x);
        auto whole = [&](double lo, double hi) { return number && x == std::floor(x) && x >= lo && x <= hi; };
        if (arg == "--out") o.out = value;
        else if (arg == "--checkpoint") o.checkpoint = value;
        else if (arg == "--resume") o.resume = value;
        else if (arg == "--init") o.init = value;
        else if (arg == "--unscale-material" && whole(0, 1)) o.unscaleMaterial = x != 0;
        else if (arg == "--epochs" && whole(1, 100000)) o.epochs = int(x);
        else if (arg == "--batch" && whole(1, 1 << 22)) o.batch = int(x);
        else if (arg == "--warmup" && whole(0, 1e9)) o.warmup = int(x);
        else if (arg == "--threads" && whole(1, 192)) o.config.threads = int(x);
        else if (arg == "--seed" && whole(0, 1e15)) o.seed = uint64_t(x);
        else if (arg == "--mate-score" && whole(0, MAX_PLAIN_SCORE)) o.mateTarget = int(x);
        else if (arg == "--mate-pieces" && whole(2, 32)) o.matePieces = int(x);
        else if (arg == "--max-steps" && whole(1, 1e12)) o.maxSteps = long(x);
        else if (arg == "--lr" && number && x > 0) o.lr = x;
        else if (arg == "--final-lr" && number && x > 0 && x <= 1) o.finalLr = x;
        else if (arg == "--calibrate" && number && (x == 0 || (x >= 50 && x <= 4000))) o.calibrate = x;
        else if (arg == "--output-scale" && number && x > 0 && x <= 16) o.outputScale = x;
        else if (arg == "--valid" && number && x >= 0 && x < 1) o.valid = x;
        else if (arg == "--wdl" && number && x >= 0 && x <= 1) o.config.wdl = float(x);
        else if (arg == "--power" && number && x >= 1 && x <= 4) o.config.power = float(x);
        else if (arg == "--decay" && number && x >= 0 && x <= 10) o.config.weightDecay = float(x);
        else if (arg == "--bucket-lr" && number && x >= 0 && x <= 1) o.config.bucketRate = float(x);
        else return false;
    }
    // A run starts from a checkpoint or from a network, not both.
    return !o.files.empty() && (o.resume.empty() || o.init.empty());
}

// Linear warm-up, then a cosine decay from the peak to its final share.
float LearningRate(const Options& o, uint64_t step, uint64_t total) {
    if (step < uint64_t(o.warmup)) return float(o.lr * double(step + 1) / double(o.warmup));
    const double progress = total > uint64_t(o.warmup) ? double(step - o.warmup) / double(total - o.warmup) : 1.0;
    const double cosine = 0.5 * (1.0 + std::cos(M_PI * std::min(progress, 1.0)));
    return float(o.lr * (o.finalLr + (1.0 - o.finalLr) * cosine));
}

std::string Duration(double seconds) {
    const long s = long(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, s / 60 % 60);
    else std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
    return text;
}

// Runs a step that may throw, printing the reason; false when it failed.
template <class Step> bool Reported(Step step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    InitAttackTables();
    InitZobristKeys();

    std::vector<TrainPos> train, valid;
    LoadStats stats;
    uint32_t gameNumber = 0;
    const auto loadStart = std::chrono::steady_clock::now();
    if (!Reported([&] {
            for (const std::string& file : o.files) {
                const std::size_t trainStart = train.size(), validStart = valid.size();
                LoadFile(file, gameNumber, o.valid, o.seed, train, valid, stats,
                         {.mateTarget = o.mateTarget, .matePieces = o.matePieces, .unscaleMaterial = o.unscaleMaterial});
                if (o.calibrate == 0) continue;
                const double fitted = FitScoreScale(train.data() + trainStart, train.size() - trainStart, o.mateTarget);
                if (fitted == 0) continue;
                const double factor = o.calibrate / fitted;
                RescaleScores(train.data() + trainStart, train.size() - trainStart, factor, o.mateTarget);
                RescaleScores(valid.data() + validStart, valid.size() - validStart, factor, o.mateTarget);
                std::printf("%s: results fit sigmoid(score / %.0f); scores scaled by %.3f\n", file.c_str(), fitted, factor);
            }
        }))
        return 1;
    const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    const std::string mateUse = !o.mateTarget         ? "skipped"
                                : o.matePieces < 32 ? "kept with at most " + std::to_string(o.matePieces) + " pieces"
                                                    : "kept";
    std::printf("read %zu games, %zu positions in %.1f s: kept %zu (training %zu, validation %zu); skipped %zu in check and "
                "%zu captures or promotions; %zu mate scores (%s)\n",
                stats.games, stats.moves, loadSeconds, stats.kept, train.size(), valid.size(), stats.inCheck, stats.noisy,
                stats.mateScore, mateUse.c_str());
    if (train.empty()) {
        std::fputs("error: no training positions\n", stderr);
        return 1;
    }

    Checkpoint state;
    if (!Reported([&] {
            if (!o.init.empty()) {
                ReadNetwork(state.model, o.init);
                std::printf("starting from the network %s\n", o.init.c_str());
            } else if (o.resume.empty()) {
                state.model.Randomise(o.seed);
            } else {
                LoadCheckpoint(state, o.resume);
                std::printf("resumed from %s after pass %d (step %llu)\n", o.resume.c_str(), state.epoch,
                            static_cast<unsigned long long>(state.step));
            }
        }))
        return 1;

    // A finished checkpoint only needs its network written, for instance at another output scale.
    if (state.epoch >= o.epochs) {
        if (!Reported([&] { WriteNetwork(state.model, o.out, o.outputScale); })) return 1;
        std::printf("the checkpoint holds all %d passes: network %s written\n", o.epochs, o.out.c_str());
        return 0;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    Trainer trainer(state, o.config);
    if (!o.init.empty())
        std::printf("validation loss of the starting network %.6f\n", trainer.MeanLoss(valid.data(), valid.size()));
    const uint64_t stepsPerEpoch = (train.size() + o.batch - 1) / o.batch;
    const uint64_t totalSteps = stepsPerEpoch * uint64_t(o.epochs);
    const auto runStart = std::chrono::steady_clock::now();
    std::size_t positionsDone = 0;
    double lastTrain = 0, lastValid = 0;
    long steps = 0;
    double gradientSeconds = 0, stepSeconds = 0;

    for (int epoch = state.epoch + 1; epoch <= o.epochs; ++epoch) {
        std::mt19937_64 shuffle(o.seed * 1000003 + uint64_t(epoch));
        std::shuffle(train.begin(), train.end(), shuffle);
        double lossSum = 0;
        float lr = 0;
        for (std::size_t first = 0; first < train.size(); first += o.batch) {
            const std::size_t count = std::min<std::size_t>(o.batch, train.size() - first);
            lr = LearningRate(o, state.step, totalSteps);
            const auto t0 = std::chrono::steady_clock::now();
            lossSum += trainer.AccumulateGradients(&train[first], count, double(count));
            const auto t1 = std::chrono::steady_clock::now();
            trainer.Step(lr);
            gradientSeconds += std::chrono::duration<double>(t1 - t0).count();
            stepSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
            positionsDone += count;
            ++steps;
            if (interrupted.load()) {
                std::printf("interrupted during pass %d: %s keeps the state after pass %d\n", epoch, o.checkpoint.c_str(),
                            state.epoch);
                return 130;
            }
            if (o.maxSteps && steps >= o.maxSteps) {
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
                std::printf("throughput: %ld steps of %d positions in %.2f s: %.0f positions per second (%d threads); "
                            "%.1f ms per batch in gradients, %.1f ms in optimiser steps\n",
                            steps, o.batch, s, double(positionsDone) / s, o.config.threads,
                            1000 * gradientSeconds / double(steps), 1000 * stepSeconds / double(steps));
                return 0;
            }
        }
        lastTrain = lossSum / double(train.size());
        lastValid = trainer.MeanLoss(valid.data(), valid.size());
        state.epoch = epoch;
        if (!Reported([&] {
                SaveCheckpoint(state, o.checkpoint);
                WriteNetwork(state.model, o.out, o.outputScale);
            }))
            return 1;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
        const double rate = double(positionsDone) / elapsed;
        const double left = double(o.epochs - epoch) * double(train.size()) / rate;
        std::printf("pass %d/%d  train loss %.6f  validation loss %.6f  lr %.6f  %.0f pos/s  elapsed %s  left %s\n", epoch,
                    o.epochs, lastTrain, lastValid, lr, rate, Duration(elapsed).c_str(), Duration(left).c_str());
        std::fflush(stdout);
    }
    std::printf("done: %d passes, final train loss %.6f, validation loss %.6f; network %s, checkpoint %s\n", o.epochs,
                lastTrain, lastValid, o.out.c_str(), o.checkpoint.c_str());
    return 0;
}
